// The simulated general pasteboard through the seam, as the helper uses it: store creation,
// pasteboard semantics, ownership, refused writes, corruption, and object lifetimes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "input/clipboard/sim/url_conversion_sim.h"
#include "input/utf8.h"
#include "support/test_data.h"
#include "sim_store_scope.h"

namespace morvane::sim {
namespace {

using platform::PasteboardType;
namespace fs = std::filesystem;

// Points this process's general pasteboard at a store of its own for one test.
class SimPasteboardPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.emplace("sim-unit");
    pool_ = p.autorelease_pool_create();
  }
  void TearDown() override {
    p.autorelease_pool_drain(pool_);
    store_.reset();
  }

  platform::Pasteboard pasteboard() {
    platform::Pasteboard pb = p.general_pasteboard();
    EXPECT_NE(pb, nullptr);
    return pb;
  }
  // Another application clears the pasteboard and becomes its owner.
  void clear_as_another_application() {
    ASSERT_TRUE(store_at(store_->path()).update([](StoreContents& c) {
      c.clear_by(process_owner_token() + 1);
      return true;
    }));
  }
  void replace_store_file(const Bytes& bytes) {
    const std::string temporary = store_->path() + ".new";
    std::ofstream(temporary, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fs::rename(temporary, store_->path());
  }
  std::string text_of(platform::String s) { return p.string_utf8(s).value_or("<none>"); }
  bool set_text(platform::Pasteboard pb, std::string_view text, PasteboardType type) {
    auto string = platform::own(p, p.string_create_utf8(text));
    return p.set_string(pb, string.get(), type);
  }

  platform::PasteboardPlatform& p = platform::pasteboard_platform();
  std::optional<testing::ScopedSimStore> store_;
  platform::Pool pool_ = nullptr;
};

TEST_F(SimPasteboardPlatformTest, FirstUseCreatesAnEmptyPrivateStore) {
  platform::Pasteboard pb = pasteboard();
  struct stat status {};
  ASSERT_EQ(::stat(store_->path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(p.change_count(pb), 0);
  EXPECT_TRUE(p.responds_to_access_behavior(pb));
  EXPECT_EQ(p.access_behavior(pb), 0);
  EXPECT_EQ(p.array_count(p.types(pb)), 0u);
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 0u);
  EXPECT_EQ(p.string_for_type(pb, PasteboardType::string), nullptr);
  EXPECT_EQ(p.data_for_type(pb, PasteboardType::png), nullptr);
}

TEST_F(SimPasteboardPlatformTest, OwnWritesAfterAClearKeepItsChangeCount) {
  platform::Pasteboard pb = pasteboard();
  const std::int64_t token = p.clear_contents(pb);
  EXPECT_EQ(token, 1);
  EXPECT_EQ(p.change_count(pb), token);

  ASSERT_TRUE(set_text(pb, "caf\xc3\xa9 \xf0\x9f\x98\x80", PasteboardType::string));
  const Bytes png{1, 2, 3, 4, 5};
  ASSERT_TRUE(p.set_data(pb, p.data_with_bytes(png), PasteboardType::png));
  auto array = platform::own(p, p.mutable_array_create());
  for (const char* path : {"/tmp/a b", "/tmp/c"}) {
    auto url = platform::own(p, p.url_create_from_path(path));
    p.array_add_url(array.get(), url.get());
  }
  ASSERT_TRUE(p.write_objects(pb, array.get()));
  EXPECT_EQ(p.change_count(pb), token);

  platform::String text = p.string_for_type(pb, PasteboardType::string);
  EXPECT_EQ(text_of(text), "caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(p.string_length(text), 7u);  // the emoji is two UTF-16 units
  platform::Data data = p.data_for_type(pb, PasteboardType::png);
  EXPECT_EQ(Bytes(p.data_bytes(data), p.data_bytes(data) + p.data_length(data)), png);

  // The text and PNG went to the first item; each URL became an item of its own after it.
  platform::Array types = p.types(pb);
  EXPECT_EQ(p.array_count(types), 3u);
  EXPECT_TRUE(p.array_contains_type(types, PasteboardType::file_url));
  platform::Array items = p.pasteboard_items(pb);
  ASSERT_EQ(p.array_count(items), 3u);
  EXPECT_EQ(p.item_string_for_type(p.array_item_at(items, 0), PasteboardType::file_url), nullptr);
  EXPECT_EQ(text_of(p.item_string_for_type(p.array_item_at(items, 1), PasteboardType::file_url)),
            "file:///tmp/a%20b");
  EXPECT_EQ(text_of(p.item_string_for_type(p.array_item_at(items, 2), PasteboardType::file_url)),
            "file:///tmp/c");
  EXPECT_EQ(text_of(p.string_for_type(pb, PasteboardType::file_url)), "file:///tmp/a%20b");
  EXPECT_EQ(p.array_item_at(items, 3), nullptr);

  EXPECT_EQ(p.clear_contents(pb), token + 1);
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 0u);
}

TEST_F(SimPasteboardPlatformTest, AWriterThatLostOwnershipIsRefused) {
  platform::Pasteboard pb = pasteboard();
  p.clear_contents(pb);
  ASSERT_TRUE(set_text(pb, "mine", PasteboardType::string));
  platform::Array items = p.pasteboard_items(pb);
  clear_as_another_application();

  EXPECT_FALSE(set_text(pb, "late", PasteboardType::string));
  EXPECT_FALSE(p.set_data(pb, p.data_with_bytes(Bytes{1}), PasteboardType::png));
  auto array = platform::own(p, p.mutable_array_create());
  EXPECT_FALSE(p.write_objects(pb, array.get()));
  EXPECT_EQ(p.string_for_type(pb, PasteboardType::string), nullptr);
  // An item read before the other application took over no longer answers.
  EXPECT_EQ(p.item_string_for_type(p.array_item_at(items, 0), PasteboardType::string), nullptr);
}

TEST_F(SimPasteboardPlatformTest, StoredSwitchesAreHonoured) {
  platform::Pasteboard pb = pasteboard();
  p.clear_contents(pb);
  ASSERT_TRUE(store_at(store_->path()).update([](StoreContents& c) {
    c.refuse_writes = true;
    c.access_behavior = 3;
    return true;
  }));
  EXPECT_EQ(p.access_behavior(pb), 3);
  EXPECT_FALSE(set_text(pb, "x", PasteboardType::string));
  EXPECT_FALSE(p.set_data(pb, p.data_with_bytes(Bytes{1}), PasteboardType::png));
  auto array = platform::own(p, p.mutable_array_create());
  EXPECT_FALSE(p.write_objects(pb, array.get()));
  EXPECT_EQ(p.array_count(p.pasteboard_items(pb)), 0u);
  // Clearing is not a write of content: it still works, and the switches survive it.
  EXPECT_EQ(p.clear_contents(pb), 2);
  EXPECT_EQ(p.access_behavior(pb), 3);
}

TEST_F(SimPasteboardPlatformTest, ACorruptOrUnreadableStoreIsNoPasteboard) {
  StoreContents contents;
  contents.change_count = 4;
  contents.first_item().put(EntryType::string, Value::of_utf16(u"text"));
  contents.first_item().put(EntryType::png, Value::of_bytes(Bytes(100, 7)));
  const Bytes good = encode_store(contents).flatten();
  auto flipped = [&good](std::size_t at) {
    Bytes bytes = good;
    bytes[at] ^= 0x40;
    return bytes;
  };
  auto with = [&good](auto edit) {
    Bytes bytes = good;
    edit(bytes);
    return bytes;
  };

  replace_store_file(good);
  ASSERT_NE(p.general_pasteboard(), nullptr);
  EXPECT_EQ(p.change_count(p.general_pasteboard()), 4);

  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"garbage", Bytes(300, 0xAB)},
      {"magic", flipped(0)},
      {"version", flipped(8)},
      {"change count", flipped(16)},
      {"entry table", flipped(60)},
      {"text value", flipped(56 + 2 * 32)},
      {"PNG value", flipped(good.size() - 1)},
      {"truncated", Bytes(good.begin(), good.end() - 1)},
      {"trailing byte", with([](Bytes& b) { b.push_back(0); })},
      {"header only", Bytes(good.begin(), good.begin() + 56)},
  };
  for (const Case& c : cases) {
    replace_store_file(c.bytes);
    EXPECT_EQ(p.general_pasteboard(), nullptr) << c.what;
  }

  fs::remove(store_->path());
  fs::create_symlink(store_->dir() / "elsewhere", store_->path());
  EXPECT_EQ(p.general_pasteboard(), nullptr) << "symbolic link";
  EXPECT_FALSE(fs::exists(store_->dir() / "elsewhere"));

  const std::string missing_dir = (store_->dir() / "missing" / "pasteboard").string();
  ::setenv("MORVANE_SIM_PASTEBOARD", missing_dir.c_str(), 1);
  EXPECT_EQ(p.general_pasteboard(), nullptr) << "no such directory";
}

TEST_F(SimPasteboardPlatformTest, LargeDataIsServedFromTheStoreWithoutCopies) {
  platform::Pasteboard pb = pasteboard();
  p.clear_contents(pb);
  Bytes big(64u << 20);
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<std::uint8_t>(i >> 12);
  ASSERT_TRUE(p.set_data(pb, p.data_with_bytes(big), PasteboardType::png));

  platform::Data first = p.data_for_type(pb, PasteboardType::png);
  platform::Data second = p.data_for_type(pb, PasteboardType::png);
  ASSERT_EQ(p.data_length(first), big.size());
  // Both reads see the one mapping of the store file, not buffers of their own.
  EXPECT_EQ(p.data_bytes(first), p.data_bytes(second));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), p.data_bytes(first)));

  // Adding text keeps the PNG as it was.
  ASSERT_TRUE(set_text(pb, "caption", PasteboardType::string));
  platform::Data after = p.data_for_type(pb, PasteboardType::png);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), p.data_bytes(after)));
  // Data read earlier stays valid after the store moved on, until its pool drains.
  EXPECT_EQ(p.data_bytes(first)[4096], 1);
}

TEST_F(SimPasteboardPlatformTest, ObjectsLiveUntilTheirPoolDrainsOrTheirRelease) {
  platform::Pasteboard pb = pasteboard();
  p.clear_contents(pb);
  ASSERT_TRUE(set_text(pb, "kept", PasteboardType::string));

  platform::Pool inner = p.autorelease_pool_create();
  platform::String text = p.string_for_type(pb, PasteboardType::string);
  clear_as_another_application();
  EXPECT_EQ(text_of(text), "kept");  // still the value read, after the store moved on
  p.autorelease_pool_drain(inner);   // frees `text`; ASan reports any later use

  auto url = platform::own(p, p.url_create_from_path("/tmp/x y"));
  platform::String url_text = p.url_string(url.get());  // owned by the URL
  EXPECT_EQ(text_of(url_text), "file:///tmp/x%20y");
  auto parsed = platform::own(p, p.url_create_with_string(url_text));
  EXPECT_EQ(p.url_file_system_representation(parsed.get(), 1024), "/tmp/x y");
  auto malformed = platform::own(p, p.string_create_utf8("file:///tmp/x y"));
  EXPECT_EQ(p.url_create_with_string(malformed.get()), nullptr);
}

// A reference URL resolves through the record in the store for exactly as long as the file it
// was made for is at its path: not after the file is removed, nor once another file has taken
// its place.
TEST_F(SimPasteboardPlatformTest, FileReferencesResolveWhileTheirFileIsThere) {
  const fs::path file = store_->dir() / "named file";
  std::ofstream(file) << "x";
  struct stat info {};
  ASSERT_EQ(::lstat(file.c_str(), &info), 0);
  const FileId id{info.st_dev, info.st_ino};
  const std::string url_text = file_reference_url(id);
  ASSERT_TRUE(store_at(store_->path()).update([&](StoreContents& c) {
    StoreItem& item = c.items.emplace_back();
    item.put(EntryType::file_url, Value::of_utf16(std::u16string(url_text.begin(), url_text.end())));
    item.put(EntryType::file_reference, FileReference{id.device, id.inode, file.string()}.encode());
    return true;
  }));
  platform::Pasteboard pb = pasteboard();
  // The record is no pasteboard type of its own.
  platform::Array types = p.types(pb);
  EXPECT_EQ(p.array_count(types), 1u);
  EXPECT_TRUE(p.array_contains_type(types, PasteboardType::file_url));

  auto resolve = [&]() -> std::optional<std::string> {
    platform::String text = p.item_string_for_type(p.array_item_at(p.pasteboard_items(pb), 0),
                                                   PasteboardType::file_url);
    auto url = platform::own(p, p.url_create_with_string(text));
    EXPECT_TRUE(p.url_is_file_reference(url.get()));
    auto path_url = platform::own(p, p.url_create_file_path_url(url.get()));
    if (!path_url) return std::nullopt;
    EXPECT_FALSE(p.url_is_file_reference(path_url.get()));
    return p.url_file_system_representation(path_url.get(), 1024);
  };
  EXPECT_EQ(resolve(), file.string());
  const fs::path moved = store_->dir() / "moved";
  fs::rename(file, moved);
  EXPECT_EQ(resolve(), std::nullopt) << "gone from its path";
  std::ofstream(file) << "another file";  // moved still holds the old inode, so this is a new one
  EXPECT_EQ(resolve(), std::nullopt) << "another file in its place";
  fs::remove(file);
  fs::rename(moved, file);
  EXPECT_EQ(resolve(), file.string()) << "back again";
  // Reference text that comes from no item is looked up among the items.
  auto typed_text = platform::own(p, p.string_create_utf8(url_text));
  auto typed = platform::own(p, p.url_create_with_string(typed_text.get()));
  auto typed_path = platform::own(p, p.url_create_file_path_url(typed.get()));
  ASSERT_TRUE(typed_path);
  EXPECT_EQ(p.url_file_system_representation(typed_path.get(), 1024), file.string());
  // A URL read from the item keeps resolving after another application replaced the items,
  // as the platform resolves through the file system alone.
  {
    platform::String text = p.item_string_for_type(p.array_item_at(p.pasteboard_items(pb), 0),
                                                   PasteboardType::file_url);
    auto url = platform::own(p, p.url_create_with_string(text));
    clear_as_another_application();
    auto path_url = platform::own(p, p.url_create_file_path_url(url.get()));
    ASSERT_TRUE(path_url);
    EXPECT_EQ(p.url_file_system_representation(path_url.get(), 1024), file.string());
  }

  // A path URL stays what it is; a reference to an id nothing records does not resolve.
  auto plain = platform::own(p, p.url_create_from_path("/tmp/a b"));
  EXPECT_FALSE(p.url_is_file_reference(plain.get()));
  auto same = platform::own(p, p.url_create_file_path_url(plain.get()));
  EXPECT_EQ(p.url_file_system_representation(same.get(), 1024), "/tmp/a b");
  auto unknown_text = platform::own(p, p.string_create_utf8(file_reference_url({id.device, id.inode + 1})));
  auto unknown = platform::own(p, p.url_create_with_string(unknown_text.get()));
  EXPECT_TRUE(p.url_is_file_reference(unknown.get()));
  EXPECT_EQ(p.url_create_file_path_url(unknown.get()), nullptr);
}

// Strings made through the seam hold the text's code units exactly, whatever they are.
TEST_F(SimPasteboardPlatformTest, TextKeepsEveryCodeUnit) {
  platform::Pasteboard pb = pasteboard();
  for (const std::string& text : {std::string("\xEF\xBB\xBF" "begins with U+FEFF"),
                                 std::string("a\0b", 3), std::string("\xF0\x9F\x98\x80")}) {
    p.clear_contents(pb);
    ASSERT_TRUE(set_text(pb, text, PasteboardType::string));
    platform::String read = p.string_for_type(pb, PasteboardType::string);
    EXPECT_EQ(p.string_length(read), utf16_length(text));
    EXPECT_EQ(text_of(read), text);
  }
}

TEST_F(SimPasteboardPlatformTest, ImageSourceBorrowsAndDecodes) {
  const Bytes suite_image = [] {
    std::ifstream in(testing::png_suite() / "basn2c08.png", std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  ASSERT_FALSE(suite_image.empty());
  Bytes broken = suite_image;
  broken[broken.size() / 2] ^= 1;
  for (const auto& [bytes, decodes] : {std::pair{&suite_image, true}, std::pair{static_cast<const Bytes*>(&broken), false}}) {
    auto data = platform::own(p, p.data_create_borrowing(*bytes));
    auto source = platform::own(p, p.image_source_create(data.get()));
    ASSERT_TRUE(source);
    EXPECT_EQ(p.image_source_type(source.get()), platform::kPngTypeIdentifier);
    EXPECT_EQ(p.image_source_count(source.get()), 1u);
    EXPECT_EQ(p.image_source_status(source.get()), platform::kImageStatusComplete);
    EXPECT_EQ(p.image_source_status_at_index(source.get(), 0), platform::kImageStatusComplete);
    auto thumbnail = platform::own(p, p.image_source_thumbnail(source.get(), 0, {}));
    EXPECT_EQ(static_cast<bool>(thumbnail), decodes);
    EXPECT_EQ(p.image_source_thumbnail(source.get(), 1, {}), nullptr);
  }
}

TEST(SimStoreFormatTest, EncodingRoundTrips) {
  StoreContents contents;
  contents.change_count = 9;
  contents.access_behavior = 2;
  contents.refuse_writes = true;
  contents.owner = 77;
  contents.first_item().put(EntryType::png, Value::of_bytes(Bytes{1, 2, 3}));
  contents.first_item().put(EntryType::string, Value::of_utf16(u"odd"));
  contents.items.emplace_back();  // an item with nothing on it
  contents.items.emplace_back().put(EntryType::file_url, Value::of_utf16(u"file:///x"));
  contents.items.back().put(EntryType::file_reference,
                            FileReference{7, 1ull << 40, "/odd length \xC3\xA9"}.encode());

  const Bytes bytes = encode_store(contents).flatten();
  auto decoded = decode_store(bytes, nullptr, true);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->change_count, 9);
  EXPECT_EQ(decoded->access_behavior, 2);
  EXPECT_TRUE(decoded->refuse_writes);
  EXPECT_EQ(decoded->owner, 77u);
  ASSERT_EQ(decoded->items.size(), 3u);
  EXPECT_TRUE(decoded->items[1].entries.empty());
  EXPECT_EQ(decoded->first(EntryType::string)->utf16(), u"odd");
  EXPECT_EQ(decoded->first(EntryType::file_url)->utf16(), u"file:///x");
  const std::vector<EntryType> declared{EntryType::png, EntryType::string, EntryType::file_url};
  EXPECT_EQ(decoded->types(), declared);
  const auto reference = FileReference::decode(*decoded->first(EntryType::file_reference));
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->device, 7u);
  EXPECT_EQ(reference->inode, 1ull << 40);
  EXPECT_EQ(reference->path, "/odd length \xC3\xA9");
  EXPECT_FALSE(FileReference::decode(Value::of_bytes(Bytes(15, 0))));
}

}  // namespace
}  // namespace morvane::sim
