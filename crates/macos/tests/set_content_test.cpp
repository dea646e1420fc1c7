// The write entry on the fake: budgets and preparation refused before the pasteboard is
// touched, and whole writes of each kind through the transaction and its read-back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/imp.h"
#include "input/utf8.h"
#include "png_test_data.h"

namespace morvane {
namespace {

using testing::FakeClock;
using testing::FakePasteboardPlatform;

struct Fixture {
  FakeClock clock;
  FakePasteboardPlatform fake;
  Deadline deadline = *Deadline::after(5000);
  Fixture() {
    fake.items = {FakePasteboardPlatform::text_item(u"prior")};
    fake.count = 7;
  }
  Status write(const ClipboardContent& content) {
    return imp::set_content_direct(fake, content, deadline);
  }
  bool untouched() const { return fake.count == 7 && fake.items.size() == 1; }
};

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

TEST(SetContentTest, TextBudgetIsCheckedBeforeAnythingElse) {
  const std::string emoji = "\xf0\x9f\x98\x80";  // two UTF-16 units
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {repeat("a", 1'000'000), true},
      {repeat("a", 1'000'001), false},
      {repeat(emoji, 500'000), true},
      {repeat(emoji, 500'001), false},
      {"", true},
  };
  for (const auto& c : cases) {
    Fixture f;
    Status result = f.write(TextContent{c.text});
    if (c.accepted) {
      EXPECT_TRUE(result) << c.text.size() << ": " << result.error().message;
      ASSERT_EQ(f.fake.items.size(), 1u);
      EXPECT_EQ(f.fake.items[0].text->size(), utf16_length(c.text));
      continue;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, ErrorCode::INVALID_ARGS);
    EXPECT_EQ(result.error().message, "clipboard text exceeds the supported resource budget");
    EXPECT_EQ(result.error().details->dump(),
              R"({"kind":"clipboard text","observed":)" +
                  std::to_string(c.text.size() == 1'000'001 ? 1'000'001 : 1'000'002) + "}");
    EXPECT_EQ(f.fake.pools_created, 0);
    EXPECT_TRUE(f.untouched());
  }
}

// The text reaches the pasteboard unit for unit: a leading U+FEFF is a character like any
// other, not a byte-order mark to drop, and the read-back agrees.
TEST(SetContentTest, TextArrivesWithEveryCodeUnit) {
  const std::string cases[] = {
      "\xEF\xBB\xBF" "begins with U+FEFF",
      "\xEF\xBB\xBF",
      "\xEF\xBB\xBF\xEF\xBB\xBF" "two",
      "ends with U+FEFF \xEF\xBB\xBF",
      std::string("embedded\0NUL", 12),
      "\xF0\x9F\x98\x80 outside the basic plane",
  };
  for (const auto& text : cases) {
    Fixture f;
    Status result = f.write(TextContent{text});
    EXPECT_TRUE(result) << text << ": " << (result ? "" : result.error().message);
    ASSERT_EQ(f.fake.items.size(), 1u);
    EXPECT_EQ(f.fake.items[0].text, utf8_to_utf16(text)) << text;
  }
}

TEST(SetContentTest, OversizedTextIsRefusedEvenWithAnExpiredDeadline) {
  Fixture f;
  FakeClock::advance_ms(10'000);
  Status result = f.write(TextContent{repeat("a", 1'000'001)});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ErrorCode::INVALID_ARGS);
  Status expired = f.write(TextContent{"x"});
  ASSERT_FALSE(expired);
  EXPECT_EQ(expired.error().code, ErrorCode::TIMEOUT);
  EXPECT_EQ(expired.error().delivery, DeliveryState::unknown);
  EXPECT_EQ(f.fake.pools_drained, f.fake.pools_created);
  EXPECT_TRUE(f.untouched());
}

TEST(SetContentTest, ImageValidation) {
  const Bytes png = testing::minimal_png();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    ImageContent image;
    std::optional<std::string> message;
  };
  Bytes bad_signature = png;
  bad_signature[0] = 0;
  Bytes bad_crc = png;
  bad_crc[bad_crc.size() - 1] ^= 1;
  const Case cases[] = {
      {"valid", {png, 1.0, 1, 1, false}, std::nullopt},
      {"subnormal scale", {png, 5e-324, 1, 1, false}, std::nullopt},
      {"scale 0", {png, 0.0, 1, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"scale -0", {png, -0.0, 1, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"negative scale", {png, -1.0, 1, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"NaN scale", {png, nan, 1, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"infinite scale", {png, inf, 1, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"width differs", {png, 1.0, 2, 1, false}, "Clipboard image metadata does not match its PNG payload"},
      {"height differs", {png, 1.0, 1, 0, false}, "Clipboard image metadata does not match its PNG payload"},
      {"mismatch flag", {png, 1.0, 1, 1, true}, "Clipboard image metadata does not match its PNG payload"},
      {"bad signature", {bad_signature, 1.0, 1, 1, false}, "Clipboard image is missing a valid PNG header"},
      {"bad CRC", {bad_crc, 1.0, 1, 1, false}, "Clipboard PNG failed platform validation"},
      {"bit depth rule", {testing::minimal_png({.depth = 3}), 1.0, 1, 1, false},
       "Clipboard images must be complete, valid PNG payloads"},
      {"too many pixels", {testing::minimal_png({.width = 8193, .height = 8192}), 1.0, 8193, 8192, false},
       "Image exceeds the decoded-image budget"},
  };
  for (const auto& c : cases) {
    Fixture f;
    Status result = f.write(ImageContent{c.image.png, c.image.scale, c.image.width,
                                         c.image.height, c.image.metadata_mismatch});
    if (!c.message) {
      EXPECT_TRUE(result) << c.name << ": " << result.error().message;
      ASSERT_EQ(f.fake.items.size(), 1u);
      EXPECT_EQ(*f.fake.items[0].png, png);
      continue;
    }
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().code, ErrorCode::INVALID_ARGS) << c.name;
    EXPECT_EQ(result.error().message, *c.message) << c.name;
    EXPECT_TRUE(f.untouched()) << c.name;
  }
}

TEST(SetContentTest, EncodedImageBudget) {
  Bytes big = testing::minimal_png();
  big.resize(67'108'865, 0);
  Fixture f;
  Status result = f.write(ImageContent{big, 1.0, 1, 1, false});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Image exceeds the 64 MiB encoded-data budget");
  big.resize(67'108'864);
  Status at_limit = f.write(ImageContent{big, 1.0, 1, 1, false});
  ASSERT_FALSE(at_limit);
  // Passes the size step; bytes after IEND then fail the walk.
  EXPECT_EQ(at_limit.error().message, "Clipboard PNG failed platform validation");
}

std::vector<std::string> numbered_paths(std::size_t count, std::size_t length = 8) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < count; ++i) {
    std::string path = "/" + std::to_string(i) + "/";
    path.resize(std::max(length, path.size()), 'p');
    paths.push_back(path);
  }
  return paths;
}

TEST(SetContentTest, FilePathPreparation) {
  struct Case {
    const char* name;
    std::vector<std::string> paths;
    std::optional<std::string> message;
  };
  const Case cases[] = {
      {"one path", {"/tmp/a b"}, std::nullopt},
      {"root alone", {"/"}, std::nullopt},
      {"dot components kept", {"/tmp/../x/./y"}, std::nullopt},
      {"1024 paths", numbered_paths(1024), std::nullopt},
      {"no path", {}, "File URL list must contain 1 to 1024 paths"},
      {"1025 paths", numbered_paths(1025), "File URL list must contain 1 to 1024 paths"},
      {"relative", {"/a", "tmp/a"}, "Every file path must be a bounded absolute path"},
      {"empty", {""}, "Every file path must be a bounded absolute path"},
      {"NUL", {std::string("/a\0b", 4)}, "Every file path must be a bounded absolute path"},
      {"16385 units", {"/" + std::string(16'384, 'a')}, "Every file path must be a bounded absolute path"},
      {"2000 characters", {"/" + std::string(1999, 'a')}, "Every file URL must resolve to a local UTF-8 path"},
      {"1023 bytes", {"/" + std::string(1022, 'a')}, std::nullopt},
      {"1024 bytes", {"/" + std::string(1023, 'a')}, "Every file URL must resolve to a local UTF-8 path"},
      // The path of a file reference URL: written and verified as the path of its file.
      {"file reference", {"/.file/id=1.2"}, std::nullopt},
      {"reference to nothing", {"/.file/id=1.3"}, "Every file URL must resolve to a local UTF-8 path"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.fake.file_references = {{u"file:///.file/id%3D1.2", u"file:///Users/me/copied.txt"},
                              {u"file:///.file/id%3D1.3", std::nullopt}};
    Status result = f.write(FileUrlsContent{c.paths});
    EXPECT_EQ(f.fake.live_owned_objects(), 0u) << c.name;
    EXPECT_EQ(f.fake.bad_releases, 0) << c.name;
    if (!c.message) {
      EXPECT_TRUE(result) << c.name << ": " << result.error().message;
      EXPECT_EQ(f.fake.items.size(), c.paths.size()) << c.name;
      continue;
    }
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().code, ErrorCode::INVALID_ARGS) << c.name;
    EXPECT_EQ(result.error().message, *c.message) << c.name;
    EXPECT_TRUE(f.untouched()) << c.name;
  }
}

TEST(SetContentTest, UrlTextBudgetIsCheckedBeforeTheClear) {
  // Paths of 1000 bytes, each with 100 spaces: the URL text ("file://" and "%20" escapes) is
  // 1207 units against 1000 units of path, so the paths alone (829,000 units) would pass while
  // the read-back of the URLs could not.
  auto paths_with_spaces = [](std::size_t count) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      std::string path = "/" + std::to_string(i) + "/" + std::string(100, ' ');
      path.resize(1000, 'q');
      paths.push_back(path);
    }
    return paths;
  };
  // 828 URLs of 1207 units = 999,396: the largest list under the URL-text budget.
  {
    Fixture f;
    EXPECT_TRUE(f.write(FileUrlsContent{paths_with_spaces(828)}));
  }
  {
    Fixture f;
    Status result = f.write(FileUrlsContent{paths_with_spaces(829)});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "File URLs exceed the total text budget");
    EXPECT_EQ(f.fake.count_calls("clear_contents"), 0);
    EXPECT_TRUE(f.untouched());
  }
}

TEST(SetContentTest, WriteRefusedLeavesAnEmptyPasteboard) {
  struct Case {
    const char* name;
    ClipboardContent content;
    std::function<void(FakePasteboardPlatform&)> refuse;
    std::string message;
    std::string detail;
  };
  const Case cases[] = {
      {"text", TextContent{"hello"}, [](FakePasteboardPlatform& f) { f.refuse_set_string = true; },
       "Clipboard text replacement failed after clearing prior content", "Clipboard text write failed"},
      {"text string nil", TextContent{"hello"}, [](FakePasteboardPlatform& f) { f.string_create_nil = true; },
       "Clipboard text replacement failed after clearing prior content", "Clipboard text write failed"},
      {"image", ImageContent{testing::minimal_png(), 2.0, 1, 1, false},
       [](FakePasteboardPlatform& f) { f.refuse_set_data = true; },
       "Clipboard image replacement failed after clearing prior content", "Clipboard image write failed"},
      {"image data nil", ImageContent{testing::minimal_png(), 2.0, 1, 1, false},
       [](FakePasteboardPlatform& f) { f.data_with_bytes_nil = true; },
       "Clipboard image replacement failed after clearing prior content", "Clipboard image write failed"},
      {"file URLs", FileUrlsContent{{"/a", "/b"}},
       [](FakePasteboardPlatform& f) { f.refuse_write_objects = true; },
       "Clipboard file URLs replacement failed after clearing prior content",
       "Clipboard file URLs write failed"},
      {"array class missing", FileUrlsContent{{"/a"}},
       [](FakePasteboardPlatform& f) { f.missing_classes.insert(platform::PlatformClass::mutable_array); },
       "Clipboard file URLs replacement failed after clearing prior content",
       "Clipboard file URLs write failed"},
      {"array nil", FileUrlsContent{{"/a"}},
       [](FakePasteboardPlatform& f) { f.mutable_array_nil = true; },
       "Clipboard file URLs replacement failed after clearing prior content",
       "System clipboard is unavailable"},
  };
  for (const auto& c : cases) {
    Fixture f;
    c.refuse(f.fake);
    Status result = f.write(c.content);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().message, c.message) << c.name;
    EXPECT_EQ(result.error().platform_detail, c.detail) << c.name;
    EXPECT_EQ(result.error().delivery, DeliveryState::delivered_unverified) << c.name;
    EXPECT_EQ(result.error().details->dump(), R"({"cleanup_verified":true,"concurrent_change":false})");
    EXPECT_TRUE(f.fake.items.empty()) << c.name;
    EXPECT_EQ(f.fake.count_calls("clear_contents"), 2) << c.name;
    EXPECT_EQ(f.fake.live_owned_objects(), 0u) << c.name;
    // An image's data object has a pool of its own inside the operation's.
    const bool image = std::holds_alternative<ImageContent>(c.content);
    EXPECT_EQ(f.fake.pools_created, image ? 2 : 1) << c.name;
    EXPECT_EQ(f.fake.pools_drained, f.fake.pools_created) << c.name;
  }
}

// The data object is a whole copy of the PNG: it is freed before the image is read back, so
// that the request, the copy read back and the pasteboard's own bytes are all a write holds.
TEST(SetContentTest, ImageDataObjectIsFreedBeforeTheReadBack) {
  Fixture f;
  ASSERT_TRUE(f.write(ImageContent{testing::minimal_png(), 1.0, 1, 1, false}));
  const auto& calls = f.fake.calls;
  const auto made = std::find(calls.begin(), calls.end(), "data_with_bytes");
  const auto read_back = std::find(made, calls.end(), "data_for_type");
  ASSERT_NE(read_back, calls.end());
  EXPECT_NE(std::find(made, read_back, "autorelease_pool_drain"), read_back);
  EXPECT_EQ(f.fake.pools_drained, f.fake.pools_created);
}

TEST(SetContentTest, ReadBackMismatchesGoThroughCleanup) {
  // A file list that comes back in another order.
  Fixture f;
  int writes = 0;
  f.fake.before_call = [&](const std::string& call) {
    if (call == "pasteboard_items" && writes++ == 0) std::swap(f.fake.items[0], f.fake.items[1]);
  };
  Status result = f.write(FileUrlsContent{{"/first", "/second"}});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "Clipboard file URLs replacement failed after clearing prior content");
  EXPECT_EQ(result.error().platform_detail, "Clipboard file URLs did not retain the intended content");
  EXPECT_TRUE(f.fake.items.empty());

  // A text that is read back changed.
  Fixture g;
  g.fake.before_call = [&](const std::string& call) {
    if (call == "data_for_type") g.fake.items[0].text = u"other";
  };
  Status text = g.write(TextContent{"mine"});
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().platform_detail, "Clipboard text did not retain the intended content");
}

TEST(SetContentTest, TextReadBackThatTimesOut) {
  Fixture f;
  f.fake.before_call = [](const std::string& call) {
    if (call == "data_for_type") FakeClock::advance_ms(4800);
  };
  Status result = f.write(TextContent{"mine"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().delivery, DeliveryState::delivered_unverified);
  EXPECT_EQ(result.error().platform_detail,
            "content verification failed: Operation exceeded its deadline");
}

}  // namespace
}  // namespace morvane
