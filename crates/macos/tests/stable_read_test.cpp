// The stable read: which readers run, the change-count check and its one repetition, deadlines,
// and the pool drained once on every path.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_read.h"
#include "png_test_data.h"

namespace morvane {
namespace {

using namespace morvane::testing;

nlohmann::json kind(const char* name) { return {{"kind", name}}; }
std::string text_of(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

FakeItem everything_item() {
  FakeItem item = FakePasteboardPlatform::url_item(u"file:///tmp/a");
  item.png = minimal_png();
  item.text = u"text";
  return item;
}

class StableReadTest : public ::testing::Test {
 protected:
  FakeClock clock;
  FakePasteboardPlatform fake;
  Deadline deadline = *Deadline::after(1000);

  Outcome read(ReadKind kind) {
    Outcome outcome = stable_read_on(fake, kind, deadline);
    EXPECT_EQ(fake.pools_created, 1);
    EXPECT_EQ(fake.pools_drained, 1);
    EXPECT_EQ(fake.live_owned_objects(), 0u);
    return outcome;
  }
  // Runs `action` the n-th time `call` is made.
  void on_call(const std::string& call, int n, std::function<void()> action) {
    fake.before_call = [=, seen = 0](const std::string& name) mutable {
      if (name == call && ++seen == n) action();
    };
  }
};

TEST_F(StableReadTest, EachKindAndWhatItFinds) {
  FakeItem image_and_text = FakePasteboardPlatform::png_item(minimal_png());
  image_and_text.text = u"text";
  struct Case {
    const char* name;
    std::vector<FakeItem> items;
    ReadKind kind;
    nlohmann::json metadata;
    std::string payload;
  };
  const std::string png = text_of(minimal_png());
  const nlohmann::json image_metadata = {{"height", 1}, {"kind", "image"}, {"width", 1}};
  const Case cases[] = {
      {"auto prefers file URLs", {everything_item()}, ReadKind::auto_detect, kind("file_urls"), R"(["/tmp/a"])"},
      {"auto then image", {image_and_text}, ReadKind::auto_detect, image_metadata, png},
      {"auto then text", {FakePasteboardPlatform::text_item(u"t\u00e9")}, ReadKind::auto_detect, kind("text"), "t\xC3\xA9"},
      {"auto on empty", {}, ReadKind::auto_detect, kind("none"), ""},
      {"text", {everything_item()}, ReadKind::text, kind("text"), "text"},
      {"image", {everything_item()}, ReadKind::image, image_metadata, png},
      {"image when only text", {FakePasteboardPlatform::text_item(u"x")}, ReadKind::image, kind("none"), ""},
      {"file URLs", {everything_item()}, ReadKind::file_urls, kind("file_urls"), R"(["/tmp/a"])"},
      {"file URLs on empty", {}, ReadKind::file_urls, kind("none"), ""},
      {"empty text", {FakePasteboardPlatform::text_item(u"")}, ReadKind::text, kind("text"), ""},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.items = c.items;
    auto outcome = stable_read_on(fake, c.kind, deadline);
    ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().message;
    EXPECT_EQ(outcome->metadata, c.metadata) << c.name;
    EXPECT_EQ(text_of(outcome->payload.bytes()), c.payload) << c.name;
    EXPECT_EQ(fake.pools_drained, 1) << c.name;
  }
}

// Images offered only in another type: read after everything read today, in the order TIFF,
// JPEG, HEIC, GIF, BMP; budgets checked before the step they protect; the converted PNG held
// to the PNG's rules and to the upright size the header promised.
TEST_F(StableReadTest, ConvertedImagesOrderAndBudgets) {
  using platform::ImageProperties;
  using platform::ImageType;
  const auto with_images = [](std::vector<ImageType> types, FakeItem item = {}) {
    for (const ImageType type : types) item.images[type] = Bytes{1, 2, 3};
    return item;
  };
  const auto png_of = [](std::uint32_t width, std::uint32_t height) {
    return minimal_png(IhdrFields{.width = width, .height = height});
  };
  const Bytes over_budget((64u << 20) + 1, 0);
  FakeItem huge_source;
  huge_source.images[ImageType::tiff] = over_budget;
  struct Case {
    const char* name;
    FakeItem item;
    ReadKind kind = ReadKind::image;
    std::optional<ImageProperties> properties = ImageProperties{2, 1, 1, 8};
    std::optional<Bytes> encoded = Bytes();  // empty: a PNG of the upright size
    bool decode_fails = false;
    std::string expected;  // the metadata, or the error message
    int decodes = 1;       // full-size decodes asked of the platform
  };
  const std::string not_tiff = "Clipboard image (public.tiff) could not be converted to PNG";
  const std::string pixels = "Clipboard image exceeds the decoded-image budget";
  const std::string encoded = "Clipboard image exceeds the 64 MiB encoded-data budget";
  const std::string image_2x1 = R"({"height":1,"kind":"image","width":2})";
  const Case cases[] = {
      {.name = "TIFF only", .item = with_images({ImageType::tiff}), .expected = image_2x1},
      {.name = "TIFF only, auto", .item = with_images({ImageType::tiff}),
       .kind = ReadKind::auto_detect, .expected = image_2x1},
      {.name = "PNG first",
       .item = with_images({ImageType::tiff}, FakePasteboardPlatform::png_item(minimal_png())),
       .expected = R"({"height":1,"kind":"image","width":1})", .decodes = 0},
      {.name = "text before conversion in auto",
       .item = with_images({ImageType::tiff}, FakePasteboardPlatform::text_item(u"t")),
       .kind = ReadKind::auto_detect, .expected = R"({"kind":"text"})", .decodes = 0},
      {.name = "JPEG before GIF and BMP",
       .item = with_images({ImageType::bmp, ImageType::gif, ImageType::jpeg}), .decode_fails = true,
       .expected = "Clipboard image (public.jpeg) could not be converted to PNG"},
      {.name = "GIF before BMP", .item = with_images({ImageType::bmp, ImageType::gif}),
       .decode_fails = true,
       .expected = "Clipboard image (com.compuserve.gif) could not be converted to PNG"},
      {.name = "pixel budget from the header", .item = with_images({ImageType::tiff}),
       .properties = ImageProperties{8193, 8193, 1, 8}, .expected = pixels, .decodes = 0},
      {.name = "zero width", .item = with_images({ImageType::tiff}),
       .properties = ImageProperties{0, 5, 1, 8}, .expected = pixels, .decodes = 0},
      {.name = "no properties", .item = with_images({ImageType::tiff}),
       .properties = std::nullopt, .expected = not_tiff, .decodes = 0},
      {.name = "quarter turn swaps the sides", .item = with_images({ImageType::tiff}),
       .properties = ImageProperties{4, 2, 6, 8}, .encoded = png_of(2, 4),
       .expected = R"({"height":4,"kind":"image","width":2})"},
      {.name = "a PNG not of the upright size", .item = with_images({ImageType::tiff}),
       .properties = ImageProperties{4, 2, 6, 8}, .encoded = png_of(4, 2), .expected = not_tiff},
      {.name = "source over 64 MiB", .item = huge_source, .expected = encoded, .decodes = 0},
      {.name = "PNG over 64 MiB", .item = with_images({ImageType::tiff}), .encoded = over_budget,
       .expected = encoded},
      {.name = "encoder fails", .item = with_images({ImageType::tiff}), .encoded = std::nullopt,
       .expected = not_tiff},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.items = {c.item};
    fake.image_properties = c.properties;
    fake.upright_image_fails = c.decode_fails;
    fake.encoded_png = c.encoded && c.encoded->empty() ? std::optional(png_of(2, 1)) : c.encoded;
    auto outcome = stable_read_on(fake, c.kind, deadline);
    const std::string got = outcome ? outcome->metadata.dump() : outcome.error().message;
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(fake.count_calls("image_source_upright_image"), c.decodes) << c.name;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << c.name;
    EXPECT_EQ(fake.pools_drained, 1) << c.name;
  }
}

TEST_F(StableReadTest, FileUrlPayloadIsCompactEscapedJson) {
  fake.items = {FakePasteboardPlatform::url_item(u"file:///a"),
                FakePasteboardPlatform::url_item(u"file:///b%22c")};
  auto outcome = read(ReadKind::file_urls);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(text_of(outcome->payload.bytes()), R"(["/a","/b\"c"])");
}

TEST_F(StableReadTest, DisturbedFirstPassIsReadAgain) {
  fake.items = {FakePasteboardPlatform::text_item(u"first")};
  on_call("data_for_type", 1,
          [&] { fake.external_write({FakePasteboardPlatform::text_item(u"second")}); });
  auto outcome = read(ReadKind::text);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(text_of(outcome->payload.bytes()), "second");
  EXPECT_EQ(fake.count_calls("change_count"), 4);
}

TEST_F(StableReadTest, DisturbedTwiceIsTheConcurrencyError) {
  fake.items = {FakePasteboardPlatform::text_item(u"first")};
  fake.before_call = [&](const std::string& call) {
    if (call == "data_for_type") fake.external_write({FakePasteboardPlatform::text_item(u"x")});
  };
  auto outcome = read(ReadKind::text);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().code, ErrorCode::APP_UNRESPONSIVE);
  EXPECT_EQ(outcome.error().message, "Clipboard changed concurrently during a stable operation");
  EXPECT_EQ(outcome.error().retry, RetrySafety::safe);
  EXPECT_EQ(outcome.error().delivery, DeliveryState::unknown);
  EXPECT_EQ(*outcome.error().details,
            nlohmann::json({{"phase", "read"}, {"concurrent_change", true}, {"retryable", true}}));
  EXPECT_EQ(fake.count_calls("data_for_type"), 2);
}

TEST_F(StableReadTest, DeadlinePassingDuringTheReaderDiscardsItsContent) {
  fake.items = {FakePasteboardPlatform::text_item(u"late")};
  on_call("data_for_type", 1, [] { FakeClock::advance_ms(1000); });
  auto outcome = read(ReadKind::text);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().code, ErrorCode::TIMEOUT);
  EXPECT_EQ(fake.count_calls("change_count"), 1);
}

TEST_F(StableReadTest, ExpiredBeforeTheFirstPassRunsNoReader) {
  fake.items = {everything_item()};
  FakeClock::advance_ms(1000);
  auto outcome = read(ReadKind::auto_detect);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().code, ErrorCode::TIMEOUT);
  EXPECT_EQ(fake.count_calls("change_count"), 0);
}

TEST_F(StableReadTest, ReaderErrorStopsAutoBeforeTheNextReader) {
  fake.items = {everything_item()};
  fake.items_nil = true;
  auto outcome = read(ReadKind::auto_detect);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message, "Clipboard file URL items are unavailable");
  EXPECT_EQ(fake.count_calls("data_for_type"), 0);
  EXPECT_EQ(fake.count_calls("string_for_type"), 0);
  EXPECT_EQ(fake.count_calls("change_count"), 1);  // no second pass after an error
}

TEST_F(StableReadTest, ImageErrorStopsAutoBeforeText) {
  FakeItem broken = FakePasteboardPlatform::png_item({1, 2, 3});
  broken.text = u"text";
  fake.items = {broken};
  auto outcome = read(ReadKind::auto_detect);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message, "Clipboard image is missing a valid PNG header");
  EXPECT_EQ(fake.count_calls("data_for_type"), 1) << "the image's, and no text read";
  EXPECT_EQ(fake.count_calls("string_for_type"), 0);
}

TEST_F(StableReadTest, AccessDeniedRunsNoReader) {
  fake.items = {everything_item()};
  fake.access = 3;
  auto outcome = read(ReadKind::auto_detect);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().code, ErrorCode::PERM_DENIED);
  EXPECT_EQ(outcome.error().message, "System clipboard read access is denied");
  EXPECT_EQ(fake.count_calls("change_count"), 0);
  EXPECT_EQ(fake.count_calls("types"), 0);
}

TEST_F(StableReadTest, UnavailablePasteboardDrainsThePool) {
  fake.pasteboard_nil = true;
  auto outcome = read(ReadKind::text);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().platform_detail, "NSPasteboard generalPasteboard returned null");
}

TEST_F(StableReadTest, NoPoolNoRead) {
  fake.pool_create_nil = true;
  auto outcome = stable_read_on(fake, ReadKind::text, deadline);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().platform_detail, "NSAutoreleasePool initialization failed");
  EXPECT_EQ(fake.pools_drained, 0);
  EXPECT_EQ(fake.count_calls("general_pasteboard"), 0);
}

TEST_F(StableReadTest, PoolIsDrainedBeforeTheOutputIsBuilt) {
  fake.items = {FakePasteboardPlatform::text_item(u"x")};
  auto outcome = read(ReadKind::text);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(fake.calls.back(), "autorelease_pool_drain");
}

}  // namespace
}  // namespace morvane

namespace morvane {
namespace {

// The text the platform converted to UTF-8 is the response payload itself, not a copy of it.
// (Text read from its stored UTF-8 bytes is copied once out of the platform's data object,
// into the string that becomes the payload; that copy cannot be observed from here.)
TEST(StableReadPayloadTest, TextPayloadIsThePlatformsConvertedBuffer) {
  struct RecordingFake : testing::FakePasteboardPlatform {
    const char* converted = nullptr;
    std::optional<std::string> string_utf8(platform::String string) override {
      auto text = FakePasteboardPlatform::string_utf8(string);
      if (text) converted = text->data();
      return text;
    }
  };
  testing::FakeClock clock;
  RecordingFake fake;
  fake.items = {testing::FakePasteboardPlatform::text_item(std::u16string(4096, u'x'))};
  fake.text_data_nil = true;  // offered only as UTF-16, so the platform converts it
  const auto deadline = Deadline::after(1000);
  ASSERT_TRUE(deadline);
  Outcome outcome = stable_read_on(fake, ReadKind::text, *deadline);
  ASSERT_TRUE(outcome);
  ASSERT_EQ(outcome->payload.size(), 4096u);
  EXPECT_EQ(reinterpret_cast<const char*>(outcome->payload.bytes().data()), fake.converted);
}

}  // namespace
}  // namespace morvane
