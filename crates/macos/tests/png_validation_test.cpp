// The PNG chunk walk, the platform decode step, the header rule, read_image and "validate:png".
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/clipboard_validate_png.h"
#include "png_test_data.h"

namespace morvane {
namespace {

using namespace morvane::testing;
using clipboard_image_io::has_complete_chunk_structure;
using clipboard_image_io::is_complete_png;

Bytes idat() { return png_chunk("IDAT", one_pixel_idat_data()); }
Bytes iend() { return png_chunk("IEND"); }

// The chunk layout of a valid PNG with the IDAT data split into two runs of chunks.
Bytes split_idat(std::string_view between) {
  Bytes data = one_pixel_idat_data();
  const Bytes first(data.begin(), data.begin() + 4), second(data.begin() + 4, data.end());
  std::vector<Bytes> chunks = {ihdr_chunk(), png_chunk("IDAT", first)};
  if (!between.empty()) chunks.push_back(png_chunk(between, {'x'}));
  chunks.push_back(png_chunk("IDAT", second));
  chunks.push_back(iend());
  return png_from(chunks);
}

Bytes with_chunk_count(std::size_t total) {
  std::vector<Bytes> chunks = {ihdr_chunk(), idat()};
  for (std::size_t i = 3; i < total; ++i) chunks.push_back(png_chunk("IDAT"));
  chunks.push_back(iend());
  return png_from(chunks);
}

Bytes corrupt_byte(Bytes png, std::size_t index) {
  png[index] ^= 0x01;
  return png;
}

TEST(PngWalkTest, ChunkRules) {
  Bytes after_iend = minimal_png();
  after_iend.push_back(0);
  Bytes truncated = minimal_png();
  truncated.pop_back();
  Bytes bad_signature = minimal_png();
  bad_signature[1] = 'Q';
  const std::size_t ihdr_crc = 8 + 8 + 13;
  struct Case {
    const char* name;
    Bytes png;
    bool accepted;
  };
  const Case cases[] = {
      {"minimal", minimal_png(), true},
      {"ancillary before and after the data", png_from({ihdr_chunk(), png_chunk("tEXt", {'a'}), idat(), png_chunk("tIME", {1}), iend()}), true},
      {"consecutive IDAT", split_idat(""), true},
      {"IDAT split by another chunk", split_idat("tEXt"), false},
      {"walk ignores the signature", bad_signature, true},
      {"byte after IEND", after_iend, false},
      {"IEND with data", png_from({ihdr_chunk(), idat(), png_chunk("IEND", {0})}), false},
      {"no IEND", png_from({ihdr_chunk(), idat()}), false},
      {"chunk runs past the end", truncated, false},
      {"no IDAT", png_from({ihdr_chunk(), iend()}), false},
      {"IDAT before IHDR", png_from({idat(), ihdr_chunk(), iend()}), false},
      {"IHDR not first", png_from({png_chunk("tEXt", {'a'}), ihdr_chunk(), idat(), iend()}), false},
      {"second IHDR", png_from({ihdr_chunk(), ihdr_chunk(), idat(), iend()}), false},
      {"IHDR of 12 bytes", png_from({png_chunk("IHDR", Bytes(12)), idat(), iend()}), false},
      {"wrong IHDR CRC", corrupt_byte(minimal_png(), ihdr_crc), false},
      {"wrong IDAT data", corrupt_byte(minimal_png(), 8 + 25 + 8), false},
      {"private ancillary chunk", png_from({ihdr_chunk(), png_chunk("prIv", {'a'}), idat(), iend()}), true},
      {"lower-case third letter", png_from({ihdr_chunk(), png_chunk("tExt", {'a'}), idat(), iend()}), false},
      {"digit in type", png_from({ihdr_chunk(), png_chunk("tEX1", {'a'}), idat(), iend()}), false},
      {"eight bytes only", png_signature(), false},
      {"nine bytes", Bytes(9), false},
      {"length field cut", Bytes(png_signature().size() + 7), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(has_complete_chunk_structure(c.png), c.accepted) << c.name;
  }
}

TEST(PngWalkTest, LengthNearTheTopOfItsRangeDoesNotWrap) {
  Bytes png = png_from({ihdr_chunk(), idat()});
  append_be32(png, 0xFFFFFFFF);
  png.insert(png.end(), {'I', 'E', 'N', 'D', 0, 0, 0, 0});
  EXPECT_FALSE(has_complete_chunk_structure(png));
}

TEST(PngWalkTest, ChunkBudgetIncludesIhdrAndIend) {
  EXPECT_TRUE(has_complete_chunk_structure(with_chunk_count(65'536)));
  EXPECT_FALSE(has_complete_chunk_structure(with_chunk_count(65'537)));
}

struct PlatformCase {
  const char* name;
  std::function<void(FakePasteboardPlatform&)> script;
  bool accepted;
};

TEST(PngPlatformStepTest, EveryPlatformAnswerCounts) {
  const PlatformCase cases[] = {
      {"all complete", [](auto&) {}, true},
      {"borrowed data nil", [](auto& f) { f.data_borrow_nil = true; }, false},
      {"no image source", [](auto& f) { f.image_source_nil = true; }, false},
      {"not public.png", [](auto& f) { f.image_type = "public.jpeg"; }, false},
      {"two images", [](auto& f) { f.image_count = 2; }, false},
      {"no image", [](auto& f) { f.image_count = 0; }, false},
      {"source incomplete", [](auto& f) { f.image_status = -1; }, false},
      {"image 0 incomplete", [](auto& f) { f.image_status_at_0 = 1; }, false},
      {"decode fails", [](auto& f) { f.thumbnail_fails = true; }, false},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    c.script(fake);
    EXPECT_EQ(is_complete_png(fake, minimal_png()), c.accepted) << c.name;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << c.name;
    EXPECT_EQ(fake.bad_releases, 0) << c.name;
  }
}

TEST(PngPlatformStepTest, BrokenWalkNeverReachesThePlatform) {
  FakePasteboardPlatform fake;
  EXPECT_FALSE(is_complete_png(fake, png_from({ihdr_chunk(), idat()})));
  EXPECT_TRUE(fake.calls.empty());
}

TEST(PngHeaderTest, ModeChoosesCodeAndBudgetMessage) {
  Bytes cut = minimal_png();
  cut.resize(23);
  Bytes zero_width = minimal_png({.width = 0});
  const Bytes too_many = minimal_png({.width = 8193, .height = 8193});
  const Bytes at_budget = minimal_png({.width = 8192, .height = 8192});
  for (bool for_write : {false, true}) {
    const ErrorCode code = for_write ? ErrorCode::INVALID_ARGS : ErrorCode::ACTION_FAILED;
    const std::string budget = for_write ? "Image exceeds the decoded-image budget"
                                         : "Clipboard image exceeds the decoded-image budget";
    struct Case {
      const char* name;
      Bytes png;
      std::string message;
    };
    const Case cases[] = {
        {"23 bytes", cut, "Clipboard image is missing a valid PNG header"},
        {"bad signature", corrupt_byte(minimal_png(), 0), "Clipboard image is missing a valid PNG header"},
        {"IHDR length 12", corrupt_byte(minimal_png(), 11), "Clipboard image is missing a valid PNG header"},
        {"zero width", zero_width, budget},
        {"8193 x 8193", too_many, budget},
    };
    for (const auto& c : cases) {
      auto result = clipboard_rich::validate_png_header(c.png, for_write);
      ASSERT_FALSE(result) << c.name;
      EXPECT_EQ(result.error().code, code) << c.name;
      EXPECT_EQ(result.error().message, c.message) << c.name;
      EXPECT_EQ(result.error().retry, RetrySafety::unknown) << c.name;
    }
    auto ok = clipboard_rich::validate_png_header(at_budget, for_write);
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, (PngDimensions{8192, 8192}));
  }
}

// ---- read_image ----

Result<std::optional<ImageContent>> read_image_from(FakePasteboardPlatform& fake,
                                                    const Deadline& deadline) {
  return clipboard_rich::read_image(fake, fake.general_pasteboard(), deadline);
}

void plant(FakePasteboardPlatform& fake, Bytes png) {
  fake.items = {FakePasteboardPlatform::png_item(std::move(png))};
}

void expire_on(FakePasteboardPlatform& fake, const std::string& call) {
  fake.before_call = [call](const std::string& name) {
    if (name == call) FakeClock::advance_ms(1000);
  };
}

class ReadImageTest : public ::testing::Test {
 protected:
  FakeClock clock;
  FakePasteboardPlatform fake;
  Deadline deadline = *Deadline::after(1000);

  Result<std::optional<ImageContent>> read() { return read_image_from(fake, deadline); }
  void plant(Bytes png) { morvane::plant(fake, std::move(png)); }
};

TEST_F(ReadImageTest, ReturnsAnOwnedCopyWithHeaderDimensions) {
  const Bytes png = minimal_png({.width = 1, .height = 1});
  plant(png);
  auto image = read();
  ASSERT_TRUE(image);
  ASSERT_TRUE(*image);
  EXPECT_EQ((*image)->png, png);
  EXPECT_EQ((*image)->width, 1u);
  EXPECT_EQ((*image)->height, 1u);
  EXPECT_EQ((*image)->scale, 1.0);
  EXPECT_FALSE((*image)->metadata_mismatch);
  EXPECT_EQ(fake.live_owned_objects(), 0u);
}

TEST_F(ReadImageTest, NoPngIsNoImageAndNoError) {
  fake.items = {FakePasteboardPlatform::text_item(u"text")};
  auto image = read();
  ASSERT_TRUE(image);
  EXPECT_FALSE(*image);
}

TEST_F(ReadImageTest, EachDefectHasItsMessage) {
  const Bytes whole = minimal_png();
  const Bytes header_only(whole.begin(), whole.begin() + 32);
  Bytes no_iend = minimal_png();
  no_iend.resize(no_iend.size() - 12);
  struct Case {
    const char* name;
    Bytes png;
    std::function<void(FakePasteboardPlatform&)> script;
    std::string message;
  };
  const Case cases[] = {
      {"empty data", {}, {}, "Clipboard image is missing a valid PNG header"},
      {"bad signature", corrupt_byte(minimal_png(), 3), {}, "Clipboard image is missing a valid PNG header"},
      {"null bytes", minimal_png(), [](auto& f) { f.data_bytes_null = true; }, "NSData returned null bytes"},
      {"zero height", minimal_png({.height = 0}), {}, "Clipboard image exceeds the decoded-image budget"},
      {"colour 3 depth 16", minimal_png({.depth = 16, .colour = 3}), {}, "Clipboard PNG payload failed complete validation"},
      {"interlace 2", minimal_png({.interlace = 2}), {}, "Clipboard PNG payload failed complete validation"},
      {"header without its CRC", header_only, {}, "Clipboard PNG payload failed complete validation"},
      {"walk fails", no_iend, {}, "Clipboard PNG failed platform validation"},
      {"decode fails", minimal_png(), [](auto& f) { f.thumbnail_fails = true; }, "Clipboard PNG failed platform validation"},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    if (c.script) c.script(fake);
    morvane::plant(fake, c.png);
    auto image = read_image_from(fake, deadline);
    ASSERT_FALSE(image) << c.name;
    EXPECT_EQ(image.error().code, ErrorCode::ACTION_FAILED) << c.name;
    EXPECT_EQ(image.error().message, c.message) << c.name;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << c.name;
  }
}

TEST_F(ReadImageTest, BadHeaderIsRefusedBeforeAnyDecode) {
  plant(corrupt_byte(minimal_png(), 0));
  ASSERT_FALSE(read());
  EXPECT_EQ(fake.count_calls("data_create_borrowing"), 0);
}

TEST_F(ReadImageTest, EncodedBudgetIsInclusive) {
  // Data of exactly the budget passes the size step and is refused only for its header.
  const std::size_t budget = clipboard_rich::kMaxEncodedPngBytes;
  for (std::size_t size : {budget, budget + 1}) {
    fake.items.clear();
    fake.items.emplace_back().png.emplace(size, 0);
    auto refused = read();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, size == budget
                                           ? "Clipboard image is missing a valid PNG header"
                                           : "Clipboard image exceeds the 64 MiB encoded-data budget");
  }
  EXPECT_EQ(fake.count_calls("data_bytes"), 1);  // the oversized data is never touched
}

TEST_F(ReadImageTest, DeadlineIsCheckedAtEachStep) {
  // Expiry seen at the start, after the lookup, after the copy and at the end.
  for (const char* call : {"", "data_for_type", "data_bytes", "image_source_thumbnail"}) {
    FakePasteboardPlatform fake;
    morvane::plant(fake, minimal_png());
    const Deadline deadline = *Deadline::after(1000);
    if (*call == '\0') {
      FakeClock::advance_ms(1000);
    } else {
      expire_on(fake, call);
    }
    auto image = read_image_from(fake, deadline);
    ASSERT_FALSE(image) << call;
    EXPECT_EQ(image.error().code, ErrorCode::TIMEOUT) << call;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << call;
  }
}

// ---- "validate:png" ----

TEST(ValidatePngTest, AcceptsOnlyCompletePngsAndNeverTouchesThePasteboard) {
  struct Case {
    const char* name;
    Bytes png;
    bool accepted;
  };
  const Case cases[] = {
      {"empty", {}, false},
      {"minimal", minimal_png(), true},
      {"byte after IEND", [] { Bytes b = minimal_png(); b.push_back(0); return b; }(), false},
      {"8192 x 8192 declared", minimal_png({.width = 8192, .height = 8192}), true},
      // Refused before any decode: an unbounded image is a decompression bomb.
      {"8193 x 8192 declared", minimal_png({.width = 8193, .height = 8192}), false},
      {"2^31-1 x 1 declared", minimal_png({.width = 0x7FFFFFFF, .height = 1}), false},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.pasteboard_nil = true;
    auto outcome = validate_png_on(fake, c.png);
    EXPECT_EQ(fake.pools_created, 0) << c.name;
    EXPECT_EQ(fake.count_calls("general_pasteboard"), 0) << c.name;
    if (c.accepted) {
      ASSERT_TRUE(outcome) << c.name;
      EXPECT_EQ(outcome->metadata, nlohmann::json({{"kind", "none"}}));
      EXPECT_TRUE(outcome->payload.empty());
    } else {
      ASSERT_FALSE(outcome) << c.name;
      EXPECT_EQ(outcome.error().code, ErrorCode::INVALID_ARGS) << c.name;
      EXPECT_EQ(outcome.error().message, "Clipboard PNG failed platform validation") << c.name;
      EXPECT_EQ(outcome.error().delivery, DeliveryState::unknown) << c.name;
      EXPECT_EQ(fake.count_calls("image_source_thumbnail"), 0) << c.name;
    }
  }
}

}  // namespace
}  // namespace morvane
