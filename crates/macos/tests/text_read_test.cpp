// Reading plain text under the UTF-16 budget: the stored UTF-8 bytes when they are UTF-8, the
// platform's string otherwise.
#include <gtest/gtest.h>

#include "fake_pasteboard_platform.h"
#include "input/clipboard/imp.h"
#include "input/utf8.h"

namespace morvane {
namespace {

using testing::FakePasteboardPlatform;

Result<std::optional<std::string>> read_text(FakePasteboardPlatform& fake) {
  return imp::read_string(fake, fake.general_pasteboard());
}

TEST(TextReadTest, BudgetCountsUtf16Units) {
  const std::u16string astral = u"\U0001F600";  // two units, four UTF-8 bytes
  struct Case {
    const char* name;
    std::u16string text;
    std::optional<std::size_t> observed;  // set when over the budget
  };
  std::u16string astral_500k, astral_over;
  for (int i = 0; i < 500'000; ++i) astral_500k += astral;
  astral_over = astral_500k + astral;
  const Case cases[] = {
      {"exactly the budget", std::u16string(1'000'000, u'a'), std::nullopt},
      {"one unit over", std::u16string(1'000'001, u'a'), 1'000'001},
      {"500,000 astral characters", astral_500k, std::nullopt},
      {"500,001 astral characters", astral_over, 1'000'002},
      {"three UTF-8 bytes per unit", std::u16string(1'000'000, u'\u20AC'), std::nullopt},
  };
  // Measured on the stored UTF-8 bytes and, for text offered only as UTF-16, on the string.
  for (const auto& c : cases) {
    for (const bool utf16_only : {false, true}) {
      SCOPED_TRACE(utf16_only ? "string" : "stored bytes");
      FakePasteboardPlatform fake;
      fake.items = {FakePasteboardPlatform::text_item(c.text)};
      fake.text_data_nil = utf16_only;
      auto text = read_text(fake);
      if (!c.observed) {
        ASSERT_TRUE(text) << c.name;
        ASSERT_TRUE(*text) << c.name;
        EXPECT_EQ(utf16_length(**text), c.text.size()) << c.name;
        continue;
      }
      ASSERT_FALSE(text) << c.name;
      EXPECT_EQ(text.error().code, ErrorCode::ACTION_FAILED);
      EXPECT_EQ(text.error().message, "clipboard text exceeds the supported resource budget");
      EXPECT_EQ(*text.error().details,
                nlohmann::json({{"kind", "clipboard text"}, {"observed", *c.observed}}));
      EXPECT_EQ(text.error().retry, RetrySafety::unknown);
      EXPECT_EQ(fake.count_calls("string_utf8"), 0) << "oversized text must not be converted";
    }
  }
}

// What stringForType: answers is the stored bytes decoded, and the decoder drops a leading
// byte-order mark: the bytes are what was written. The string answers only when there are no
// bytes or they are not UTF-8.
TEST(TextReadTest, StoredUtf8BytesAreReadAsTheyAre) {
  struct Case {
    const char* name;
    std::u16string string;              // what stringForType: answers
    std::optional<std::string> stored;  // the UTF-8 plain text bytes; nullopt: none
    bool bytes_pointer_null;
    std::string read;
    bool second_item = false;  // stringForType: joins every item's text; the bytes are one item's
  };
  const Case cases[] = {
      {"a leading U+FEFF survives", u"begins", "\xEF\xBB\xBF" "begins", false,
       "\xEF\xBB\xBF" "begins"},
      {"only U+FEFF", u"", "\xEF\xBB\xBF", false, "\xEF\xBB\xBF"},
      {"bytes that are not UTF-8", u"the string", "\xFF", false, "the string"},
      {"offered only as UTF-16", u"the string", std::nullopt, false, "the string"},
      {"bytes without a pointer", u"the string", "x", true, "the string"},
      {"several items", u"joined", "first", false, "joined", true},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.items = {FakePasteboardPlatform::text_item(c.string)};
    if (c.stored) fake.items[0].text_data = Bytes(c.stored->begin(), c.stored->end());
    if (c.second_item) fake.items.push_back(FakePasteboardPlatform::text_item(u"second"));
    fake.text_data_nil = !c.stored;
    fake.data_bytes_null = c.bytes_pointer_null;
    auto text = read_text(fake);
    ASSERT_TRUE(text && *text) << c.name;
    EXPECT_EQ(**text, c.read) << c.name;
  }
}

TEST(TextReadTest, ConvertsToUtf8) {
  FakePasteboardPlatform fake;
  fake.items = {FakePasteboardPlatform::text_item(u"\u20AC\U0001F600x")};
  auto text = read_text(fake);
  ASSERT_TRUE(text && *text);
  EXPECT_EQ(**text, "\xE2\x82\xAC\xF0\x9F\x98\x80x");
}

TEST(TextReadTest, EmptyStringIsPresentAndMissingTextIsAbsent) {
  FakePasteboardPlatform with_empty;
  with_empty.items = {FakePasteboardPlatform::text_item(u"")};
  auto empty = read_text(with_empty);
  ASSERT_TRUE(empty && *empty);
  EXPECT_EQ(**empty, "");

  FakePasteboardPlatform image_only;
  image_only.items = {FakePasteboardPlatform::png_item({1, 2}),
                      FakePasteboardPlatform::url_item(u"file:///a")};
  auto none = read_text(image_only);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
}

TEST(TextReadTest, UnpairedSurrogateIsAnErrorNotAnAlteredText) {
  FakePasteboardPlatform fake;
  fake.items = {FakePasteboardPlatform::text_item(std::u16string(u"ab") + char16_t{0xDC00})};
  auto text = read_text(fake);
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().code, ErrorCode::ACTION_FAILED);
  EXPECT_EQ(text.error().message, "Clipboard text is not valid Unicode");
}

}  // namespace
}  // namespace morvane
