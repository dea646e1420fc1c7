#include "pasteboard_contract.h"

#include <gtest/gtest.h>

#include "png_test_data.h"

namespace morvane::testing {

namespace {

using platform::PasteboardType;

std::optional<std::string> text_of(platform::PasteboardPlatform& p, platform::String s) {
  if (s == nullptr) return std::nullopt;
  return p.string_utf8(s);
}

std::optional<Bytes> bytes_of(platform::PasteboardPlatform& p, platform::Data d) {
  if (d == nullptr) return std::nullopt;
  const std::uint8_t* bytes = p.data_bytes(d);
  const std::size_t length = p.data_length(d);
  if (bytes == nullptr) return Bytes{};
  return Bytes(bytes, bytes + length);
}

ContractItem text_item(std::string text) { return {std::move(text), std::nullopt, std::nullopt}; }
ContractItem url_item(std::string url) { return {std::nullopt, std::move(url), std::nullopt}; }
ContractItem png_item(Bytes png) { return {std::nullopt, std::nullopt, std::move(png)}; }

bool set_text(platform::PasteboardPlatform& p, platform::Pasteboard pb, std::string_view text) {
  auto string = platform::own(p, p.string_create_utf8(text));
  return string && p.set_string(pb, string.get(), PasteboardType::string);
}

bool set_png(platform::PasteboardPlatform& p, platform::Pasteboard pb, const Bytes& png) {
  platform::Data data = p.data_with_bytes(png);
  return data != nullptr && p.set_data(pb, data, PasteboardType::png);
}

bool write_urls(platform::PasteboardPlatform& p, platform::Pasteboard pb,
                const std::vector<std::string>& paths) {
  auto array = platform::own(p, p.mutable_array_create());
  if (!array) return false;
  std::vector<platform::Owned<platform::Url>> urls;
  for (const auto& path : paths) {
    urls.push_back(platform::own(p, p.url_create_from_path(path)));
    if (!urls.back()) return false;
    p.array_add_url(array.get(), urls.back().get());
  }
  return p.write_objects(pb, array.get());
}

void clear_answers_the_new_count_and_empties(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  s.other_writer({{"before", std::nullopt, minimal_png()}, url_item("file:///before")});
  const std::int64_t before = p.change_count(pb);
  const std::int64_t token = p.clear_contents(pb);
  EXPECT_GE(token, 0);
  EXPECT_NE(token, before);
  EXPECT_EQ(p.change_count(pb), token);
  // An empty pasteboard offers no type and no item (an empty list or nil, which answers 0) and
  // nil for every value.
  platform::Array types = p.types(pb);
  EXPECT_EQ(p.array_count(types), 0u);
  EXPECT_FALSE(p.array_contains_type(types, PasteboardType::file_url));
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 0u);
  EXPECT_EQ(p.string_for_type(pb, PasteboardType::string), nullptr);
  EXPECT_EQ(p.data_for_type(pb, PasteboardType::png), nullptr);
}

void another_writer_moves_the_count_and_replaces_everything(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  const std::int64_t token = p.clear_contents(pb);
  ASSERT_TRUE(set_text(p, pb, "ours"));
  s.other_writer({text_item("theirs")});
  EXPECT_NE(p.change_count(pb), token);
  EXPECT_EQ(text_of(p, p.string_for_type(pb, PasteboardType::string)), "theirs");
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 1u);
}

void writes_after_our_clear_keep_the_count(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  const std::int64_t token = p.clear_contents(pb);
  ASSERT_TRUE(set_text(p, pb, "ours"));
  EXPECT_EQ(p.change_count(pb), token);
  EXPECT_EQ(text_of(p, p.string_for_type(pb, PasteboardType::string)), "ours");
  const Bytes png = minimal_png();
  ASSERT_TRUE(set_png(p, pb, png));
  EXPECT_EQ(p.change_count(pb), token);
  EXPECT_EQ(bytes_of(p, p.data_for_type(pb, PasteboardType::png)), png);
  // Both were written to the first item.
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 1u);
}

void write_objects_adds_one_item_per_url(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  const std::int64_t token = p.clear_contents(pb);
  ASSERT_TRUE(write_urls(p, pb, {"/tmp/a b", "/tmp/c"}));
  EXPECT_EQ(p.change_count(pb), token);
  platform::Array types = p.types(pb);
  ASSERT_NE(types, nullptr);
  EXPECT_TRUE(p.array_contains_type(types, PasteboardType::file_url));
  EXPECT_FALSE(p.array_contains_type(types, PasteboardType::png));
  platform::Array items = p.pasteboard_items(pb);
  ASSERT_EQ(p.array_count(items), 2u);
  std::vector<std::optional<std::string>> paths;
  for (std::size_t i = 0; i < 2; ++i) {
    platform::String url_text = p.item_string_for_type(p.array_item_at(items, i),
                                                       PasteboardType::file_url);
    ASSERT_NE(url_text, nullptr);
    auto url = platform::own(p, p.url_create_with_string(url_text));
    ASSERT_TRUE(url);
    paths.push_back(p.url_file_system_representation(url.get(), 1024));
  }
  EXPECT_EQ(paths[0], "/tmp/a b");
  EXPECT_EQ(paths[1], "/tmp/c");
}

void stale_items_answer_nothing(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  s.other_writer({url_item("file:///first")});
  platform::Array items = p.pasteboard_items(pb);
  ASSERT_EQ(p.array_count(items), 1u);
  platform::Item item = p.array_item_at(items, 0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(text_of(p, p.item_string_for_type(item, PasteboardType::file_url)), "file:///first");
  // The count moves on: the item read before answers nil, whatever the new contents.
  s.other_writer({url_item("file:///second")});
  EXPECT_EQ(p.item_string_for_type(item, PasteboardType::file_url), nullptr);
  // Our own clear moves it on too.
  platform::Item fresh = p.array_item_at(p.pasteboard_items(pb), 0);
  ASSERT_NE(fresh, nullptr);
  p.clear_contents(pb);
  EXPECT_EQ(p.item_string_for_type(fresh, PasteboardType::file_url), nullptr);
}

void writes_after_lost_ownership_are_refused(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  p.clear_contents(pb);
  s.other_writer({text_item("theirs")});
  const std::int64_t theirs = p.change_count(pb);
  EXPECT_FALSE(set_text(p, pb, "ours"));
  EXPECT_FALSE(set_png(p, pb, minimal_png()));
  EXPECT_FALSE(write_urls(p, pb, {"/tmp/ours"}));
  EXPECT_EQ(p.change_count(pb), theirs);
  EXPECT_EQ(text_of(p, p.string_for_type(pb, PasteboardType::string)), "theirs");
  EXPECT_EQ(p.data_for_type(pb, PasteboardType::png), nullptr);
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 1u);
  // Clearing again takes ownership back.
  const std::int64_t token = p.clear_contents(pb);
  EXPECT_TRUE(set_text(p, pb, "ours"));
  EXPECT_EQ(p.change_count(pb), token);
}

void values_come_from_the_first_item_that_has_them(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  const Bytes first = minimal_png();
  s.other_writer({png_item(first), url_item("file:///a"), url_item("file:///b")});
  EXPECT_EQ(bytes_of(p, p.data_for_type(pb, PasteboardType::png)), first);
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 3u);
  // The types are the union over the items. (What else a URL declares, such as its text, is
  // the platform's own affair and not part of the contract.)
  platform::Array types = p.types(pb);
  EXPECT_TRUE(p.array_contains_type(types, PasteboardType::png));
  EXPECT_TRUE(p.array_contains_type(types, PasteboardType::file_url));
}

// A string written as text is also offered as data of the text type: its UTF-8 bytes as
// written, a leading U+FEFF included. (What stringForType: makes of such a text is the
// platform's own affair: its UTF-8 decoder drops a leading byte-order mark.)
void text_is_also_offered_as_its_utf8_bytes(ContractSubject& s) {
  auto& p = s.platform();
  auto pb = s.pasteboard();
  auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
  const std::string ours = "\xEF\xBB\xBF" "ours \xF0\x9F\x98\x80";
  p.clear_contents(pb);
  ASSERT_TRUE(set_text(p, pb, ours));
  EXPECT_EQ(bytes_of(p, p.data_for_type(pb, PasteboardType::string)), bytes(ours));
  const std::string theirs = "\xEF\xBB\xBF" "theirs";
  s.other_writer({text_item(theirs)});
  EXPECT_EQ(bytes_of(p, p.data_for_type(pb, PasteboardType::string)), bytes(theirs));
  p.clear_contents(pb);
  EXPECT_EQ(p.data_for_type(pb, PasteboardType::string), nullptr);
}

void nil_receivers_answer_nil_no_or_zero(ContractSubject& s) {
  auto& p = s.platform();
  EXPECT_EQ(p.array_count(nullptr), 0u);
  EXPECT_FALSE(p.array_contains_type(nullptr, PasteboardType::string));
  EXPECT_EQ(p.array_item_at(nullptr, 0), nullptr);
  EXPECT_EQ(p.item_string_for_type(nullptr, PasteboardType::file_url), nullptr);
  EXPECT_EQ(p.data_length(nullptr), 0u);
  EXPECT_EQ(p.data_bytes(nullptr), nullptr);
}

void strings_and_urls_convert_losslessly(ContractSubject& s) {
  auto& p = s.platform();
  const std::string text = "a\xF0\x9F\x98\x80\xC3\xA9";  // a, U+1F600, e-acute
  auto string = platform::own(p, p.string_create_utf8(text));
  ASSERT_TRUE(string);
  EXPECT_EQ(p.string_length(string.get()), 4u);
  EXPECT_EQ(p.string_utf8(string.get()), text);
  EXPECT_EQ(p.string_create_utf8("\xFF"), nullptr);
  auto url = platform::own(p, p.url_create_from_path("/tmp/a b"));
  ASSERT_TRUE(url);
  EXPECT_EQ(text_of(p, p.url_string(url.get())), "file:///tmp/a%20b");
  EXPECT_EQ(p.url_file_system_representation(url.get(), 1024), "/tmp/a b");
  EXPECT_EQ(p.url_file_system_representation(url.get(), 8), std::nullopt);
}

constexpr ContractCase kCases[] = {
    {"clear answers the new count and empties", &clear_answers_the_new_count_and_empties},
    {"another writer moves the count and replaces everything",
     &another_writer_moves_the_count_and_replaces_everything},
    {"writes after our clear keep the count", &writes_after_our_clear_keep_the_count},
    {"writeObjects adds one item per URL", &write_objects_adds_one_item_per_url},
    {"stale items answer nothing", &stale_items_answer_nothing},
    {"writes after lost ownership are refused", &writes_after_lost_ownership_are_refused},
    {"values come from the first item that has them",
     &values_come_from_the_first_item_that_has_them},
    {"text is also offered as its UTF-8 bytes", &text_is_also_offered_as_its_utf8_bytes},
    {"nil receivers answer nil, NO or 0", &nil_receivers_answer_nil_no_or_zero},
    {"strings and URLs convert losslessly", &strings_and_urls_convert_losslessly},
};

}  // namespace

std::span<const ContractCase> contract_cases() { return kCases; }

}  // namespace morvane::testing
