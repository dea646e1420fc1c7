// Reading file URLs: path rules, item and text budgets, deadlines, and what is released.
#include <gtest/gtest.h>

#include <string>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_file_urls.h"
#include "input/utf8.h"

namespace morvane {
namespace {

using testing::FakeClock;
using testing::FakeItem;
using testing::FakePasteboardPlatform;

std::u16string u16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// "file:///" plus a path of `path_bytes` bytes in total.
std::u16string url_with_path_bytes(std::size_t path_bytes) {
  return u"file://" + u16("/" + std::string(path_bytes - 1, 'p'));
}

// A local file URL of exactly `units` UTF-16 units; the query keeps its path short.
std::u16string url_of_units(std::size_t units) {
  std::u16string url = u"file:///tmp/a?";
  url.append(units - url.size(), u'q');
  return url;
}

Result<std::vector<std::string>> read(FakePasteboardPlatform& fake, const Deadline& deadline) {
  return clipboard_file_urls::read_file_urls(fake, fake.general_pasteboard(), deadline);
}

class FileUrlsTest : public ::testing::Test {
 protected:
  FakeClock clock;
  FakePasteboardPlatform fake;
  Deadline deadline = *Deadline::after(1000);

  Result<std::vector<std::string>> read_urls(std::vector<std::u16string> urls) {
    for (auto& url : urls) fake.items.push_back(FakePasteboardPlatform::url_item(std::move(url)));
    return read(fake, deadline);
  }
  void expect_error(const Result<std::vector<std::string>>& result, const std::string& message,
                    const std::string& label = "") {
    ASSERT_FALSE(result) << label;
    EXPECT_EQ(result.error().code, ErrorCode::ACTION_FAILED) << label;
    EXPECT_EQ(result.error().message, message) << label;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << label;
    EXPECT_EQ(fake.bad_releases, 0) << label;
  }
};

TEST_F(FileUrlsTest, UrlTextToPathRules) {
  const std::u16string unpaired = std::u16string(u"file:///tmp/") + char16_t{0xD800};
  struct Case {
    std::u16string url;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {u"file:///tmp/a%20b", "/tmp/a b"},
      {u"file:///tmp/%2500", "/tmp/%00"},
      {u"file:///tmp/%C3%A9", "/tmp/\xC3\xA9"},
      {u"file:///", "/"},
      {u"file:///tmp/x%00y", std::nullopt},
      {u"file://localhost/tmp/x", std::nullopt},
      {u"FILE:///tmp/x", std::nullopt},
      {u"File:///tmp/x", std::nullopt},
      {u"file:/tmp/x", std::nullopt},
      {u"http:///tmp/x", std::nullopt},
      {u"file:///tmp/%FF", std::nullopt},
      {u"file:///tmp/%C3", std::nullopt},
      {u"file:///tmp/a b", std::nullopt},  // not a URL: raw space
      {u"file:///tmp/%zz", std::nullopt},
      {std::u16string(u"file:///tmp/a\0b", 15), std::nullopt},
      {unpaired, std::nullopt},
      {url_with_path_bytes(1023), "/" + std::string(1022, 'p')},
      {url_with_path_bytes(1024), std::nullopt},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.items = {FakePasteboardPlatform::url_item(c.url)};
    auto paths = read(fake, deadline);
    const std::string label(c.url.begin(), c.url.begin() + std::min<std::size_t>(c.url.size(), 40));
    if (c.path) {
      ASSERT_TRUE(paths) << label << ": " << paths.error().message;
      EXPECT_EQ(*paths, std::vector<std::string>{*c.path}) << label;
    } else {
      ASSERT_FALSE(paths) << label;
      EXPECT_EQ(paths.error().message, "Clipboard file URL is not a local UTF-8 path") << label;
    }
    EXPECT_EQ(fake.live_owned_objects(), 0u) << label;
  }
}

// Finder's copied files are file reference URLs; each is read as the path of the file it names,
// and that path then meets the same rules as any other.
TEST_F(FileUrlsTest, FileReferenceUrlsAreReadAsThePathsTheyName) {
  const std::u16string reference = u"file:///.file/id=6571367.2773272";
  struct Case {
    std::optional<std::u16string> resolves_to;  // nullopt: the file is gone
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {u"file:///Users/me/a%20b%25%23%C3%A9.txt", "/Users/me/a b%#\xC3\xA9.txt"},
      {std::nullopt, std::nullopt},
      {u"file:///tmp/%FF", std::nullopt},                         // not UTF-8
      {url_with_path_bytes(1023), "/" + std::string(1022, 'p')},  // fits the buffer
      {url_with_path_bytes(1024), std::nullopt},
  };
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.file_references[reference] = c.resolves_to;
    fake.items = {FakePasteboardPlatform::url_item(u"file:///plain"),
                  FakePasteboardPlatform::url_item(reference)};
    auto paths = read(fake, deadline);
    const std::string label = c.path.value_or("<refused>").substr(0, 40);
    if (c.path) {
      ASSERT_TRUE(paths) << label << ": " << paths.error().message;
      EXPECT_EQ(*paths, (std::vector<std::string>{"/plain", *c.path})) << label;
    } else {
      ASSERT_FALSE(paths) << label;  // never a partial list
      EXPECT_EQ(paths.error().message, "Clipboard file URL is not a local UTF-8 path") << label;
    }
    EXPECT_EQ(fake.count_calls("url_create_file_path_url"), 1) << label;
    EXPECT_EQ(fake.live_owned_objects(), 0u) << label;
    EXPECT_EQ(fake.bad_releases, 0) << label;
  }
}

TEST_F(FileUrlsTest, OnlyAParsedLocalUrlIsAskedWhetherItIsAReference) {
  const std::u16string refused[] = {u"file://localhost/.file/id=1.2", u"FILE:///.file/id=1.2",
                                    u"file:///.file/id=1.2%00", u"file:///.file/id=1 2"};
  for (const auto& url : refused) {
    FakePasteboardPlatform fake;
    fake.file_references[url] = u"file:///resolved";
    fake.items = {FakePasteboardPlatform::url_item(url)};
    auto paths = read(fake, deadline);
    ASSERT_FALSE(paths);
    EXPECT_EQ(paths.error().message, "Clipboard file URL is not a local UTF-8 path");
    EXPECT_EQ(fake.count_calls("url_is_file_reference"), 0);
    EXPECT_EQ(fake.count_calls("url_create_file_path_url"), 0);
  }
  // A path URL is used as it is.
  fake.items = {FakePasteboardPlatform::url_item(u"file:///plain")};
  ASSERT_TRUE(read(fake, deadline));
  EXPECT_EQ(fake.count_calls("url_is_file_reference"), 1);
  EXPECT_EQ(fake.count_calls("url_create_file_path_url"), 0);
}

// The budgets measure the URL text on the pasteboard, never the path URL it resolves to.
TEST_F(FileUrlsTest, BudgetsCountTheReferenceTextAsItStands) {
  // A reference padded to 16,385 units is over, however short its file's path.
  std::u16string long_reference = url_of_units(16'385);
  fake.file_references[long_reference] = u"file:///short";
  expect_error(read_urls({long_reference}), "File URL exceeds its text budget");

  // 61 URLs of 16,384 units, one of 556 and a reference of 20 make exactly 1,000,000; the
  // reference resolves to a path URL of 3,008 units, which is not counted.
  const std::u16string reference = u"file:///.file/id=1.2";
  ASSERT_EQ(reference.size(), 20u);
  std::u16string resolved = u"file:///";
  for (int i = 0; i < 500; ++i) resolved += u"%C3%A9";
  for (std::size_t last : {556u, 557u}) {
    FakePasteboardPlatform fresh;
    fresh.file_references[reference] = resolved;
    for (int i = 0; i < 61; ++i) fresh.items.push_back(FakePasteboardPlatform::url_item(url_of_units(16'384)));
    fresh.items.push_back(FakePasteboardPlatform::url_item(url_of_units(last)));
    fresh.items.push_back(FakePasteboardPlatform::url_item(reference));
    auto paths = read(fresh, deadline);
    if (last == 556) {
      ASSERT_TRUE(paths) << paths.error().message;
      ASSERT_EQ(paths->size(), 63u);
      EXPECT_EQ(utf16_length(paths->back()), 501u);
    } else {
      ASSERT_FALSE(paths);
      EXPECT_EQ(paths.error().message, "File URLs exceed the total text budget");
    }
  }
}

TEST_F(FileUrlsTest, ItemsWithoutFileUrlAreSkippedInOrder) {
  fake.items = {FakePasteboardPlatform::url_item(u"file:///a"),
                FakePasteboardPlatform::text_item(u"plain"),
                FakePasteboardPlatform::url_item(u"file:///b")};
  auto paths = read(fake, deadline);
  ASSERT_TRUE(paths);
  EXPECT_EQ(*paths, (std::vector<std::string>{"/a", "/b"}));
}

TEST_F(FileUrlsTest, NoFileUrlsIsAnEmptyListWithBothDeadlineChecks) {
  for (bool types_nil : {false, true}) {
    FakePasteboardPlatform fake;
    fake.types_nil = types_nil;
    fake.items = {FakePasteboardPlatform::text_item(u"plain")};
    auto paths = read(fake, deadline);
    ASSERT_TRUE(paths);
    EXPECT_TRUE(paths->empty());
    EXPECT_EQ(fake.count_calls("pasteboard_items"), 0);
  }
  // The final check still runs when the pasteboard offers nothing.
  fake.before_call = [](const std::string& call) {
    if (call == "types") FakeClock::advance_ms(1000);
  };
  auto late = read(fake, deadline);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().code, ErrorCode::TIMEOUT);
}

TEST_F(FileUrlsTest, ItemCountLimitCountsItemsWithoutUrls) {
  for (std::size_t count : {1024u, 1025u}) {
    FakePasteboardPlatform fake;
    fake.items.assign(count, FakePasteboardPlatform::text_item(u"plain"));
    fake.items.back() = FakePasteboardPlatform::url_item(u"file:///last");
    auto paths = read(fake, deadline);
    if (count == 1024) {
      ASSERT_TRUE(paths);
      EXPECT_EQ(*paths, std::vector<std::string>{"/last"});
    } else {
      ASSERT_FALSE(paths);
      EXPECT_EQ(paths.error().message, "Clipboard contains too many file URLs");
      EXPECT_EQ(fake.count_calls("array_item_at"), 0);
    }
  }
}

TEST_F(FileUrlsTest, TextBudgetsAreInclusive) {
  EXPECT_TRUE(read_urls({url_of_units(16'384)}));
  fake.items.clear();
  expect_error(read_urls({url_of_units(16'385)}), "File URL exceeds its text budget");

  // 61 full URLs and one of 576 units make exactly 1,000,000; one more unit is over.
  for (std::size_t last : {576u, 577u}) {
    FakePasteboardPlatform fresh;
    for (int i = 0; i < 61; ++i) fresh.items.push_back(FakePasteboardPlatform::url_item(url_of_units(16'384)));
    fresh.items.push_back(FakePasteboardPlatform::url_item(url_of_units(last)));
    auto paths = read(fresh, deadline);
    if (last == 576) {
      ASSERT_TRUE(paths);
      EXPECT_EQ(paths->size(), 62u);
    } else {
      ASSERT_FALSE(paths);
      EXPECT_EQ(paths.error().message, "File URLs exceed the total text budget");
    }
  }
}

TEST_F(FileUrlsTest, PlatformFailures) {
  fake.items = {FakePasteboardPlatform::url_item(u"file:///a"),
                FakePasteboardPlatform::url_item(u"file:///b")};
  fake.items_nil = true;
  expect_error(read(fake, deadline), "Clipboard file URL items are unavailable");
  fake.items_nil = false;
  fake.nil_item_indexes = {1};
  expect_error(read(fake, deadline), "Pasteboard item disappeared during read");
}

TEST_F(FileUrlsTest, DeadlinePassingBetweenItemsDiscardsThePaths) {
  fake.items = {FakePasteboardPlatform::url_item(u"file:///a"),
                FakePasteboardPlatform::url_item(u"file:///b")};
  int reads = 0;
  fake.before_call = [&](const std::string& call) {
    if (call == "item_string_for_type" && ++reads == 1) FakeClock::advance_ms(1000);
  };
  auto paths = read(fake, deadline);
  ASSERT_FALSE(paths);
  EXPECT_EQ(paths.error().code, ErrorCode::TIMEOUT);
  EXPECT_EQ(fake.count_calls("array_item_at"), 1);
}

TEST_F(FileUrlsTest, ExpiredBeforeStartTouchesNothing) {
  FakeClock::advance_ms(1000);
  auto paths = read_urls({u"file:///a"});
  ASSERT_FALSE(paths);
  EXPECT_EQ(paths.error().code, ErrorCode::TIMEOUT);
  EXPECT_EQ(fake.count_calls("types"), 0);
}

TEST(FileUrlsDataErrorTest, CarriesOnlyCodeAndMessage) {
  const AdapterError error = clipboard_file_urls::data_error("x");
  EXPECT_EQ(error.code, ErrorCode::ACTION_FAILED);
  EXPECT_FALSE(error.suggestion || error.platform_detail || error.details);
  EXPECT_EQ(error.retry, RetrySafety::unknown);
  EXPECT_EQ(error.delivery, DeliveryState::unknown);
}

}  // namespace
}  // namespace morvane
