#include "fake_pasteboard_platform.h"

#include <algorithm>
#include <variant>

#include "input/utf8.h"
#include "png_test_data.h"

namespace morvane::testing {

struct FakePasteboardPlatform::Object {
  struct Pool {};
  struct TypeList {
    std::vector<platform::PasteboardType> types;
  };
  struct ItemList {
    std::vector<FakeItem> items;
    std::int64_t change_count = 0;  // when the list was read
  };
  // An NSPasteboardItem: valid only while the change count it was read at is current.
  struct ItemRef {
    const FakeItem* item;
    std::int64_t change_count;
  };
  struct UrlList {
    std::vector<std::u16string> urls;
  };
  struct Text {
    std::u16string text;
  };
  struct Blob {
    Bytes bytes;
    bool borrowed = false;
    ByteView view;
  };
  struct Url {
    std::u16string text;
  };
  struct Source {
    ByteView bytes;
  };
  struct Thumbnail {};
  std::variant<Pool, TypeList, ItemList, UrlList, Text, Blob, Url, Source, Thumbnail, ItemRef>
      value;
};

namespace {

using Object = FakePasteboardPlatform::Object;

template <typename T>
T& as(const void* handle) {
  return std::get<T>(static_cast<Object*>(const_cast<void*>(handle))->value);
}

// The object behind a handle when it is of the kind asked; nullptr for nil, as a message to
// nil answers nil.
template <typename T>
T* maybe(const void* handle) {
  if (handle == nullptr) return nullptr;
  return std::get_if<T>(&static_cast<Object*>(const_cast<void*>(handle))->value);
}

// The calls that never raise (see raise_call).
bool never_raises(std::string_view call) {
  return call == "release" || call == "autorelease_pool_drain";
}

std::u16string ascii16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hex_value(char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Characters a URL may hold unescaped (RFC 3986 unreserved, sub-delims, ':', '@', '/', '?', '#').
bool url_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~!$&'()*+,;=:@/?#[]").find(c) != std::string_view::npos;
}

// A small model of the platform's URL parser: malformed text (raw spaces, non-ASCII, broken
// escapes) gives no URL.
bool well_formed_url(std::string_view text) {
  if (text.find(':') == std::string_view::npos) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2])) return false;
      i += 2;
    } else if (!url_char(text[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

// By default an image of another type converts: its 1 x 1 properties and a 1 x 1 PNG agree.
FakePasteboardPlatform::FakePasteboardPlatform() : encoded_png(minimal_png()) {}
FakePasteboardPlatform::~FakePasteboardPlatform() = default;

int FakePasteboardPlatform::count_calls(const std::string& name) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

void FakePasteboardPlatform::external_write(std::vector<FakeItem> new_items) {
  ++count;
  items = std::move(new_items);
  owns_pasteboard = false;
}

FakeItem FakePasteboardPlatform::text_item(std::u16string text) {
  FakeItem item;
  item.text = std::move(text);
  return item;
}
FakeItem FakePasteboardPlatform::url_item(std::u16string url) {
  FakeItem item;
  item.file_url = std::move(url);
  return item;
}
FakeItem FakePasteboardPlatform::png_item(Bytes png) {
  FakeItem item;
  item.png = std::move(png);
  return item;
}

bool FakePasteboardPlatform::note(const char* call) {
  const std::size_t index = calls.size();
  calls.emplace_back(call);
  if (before_call) before_call(call);
  if (raise_call == index && !never_raises(call)) {
    fault_applied = true;
    throw FakePlatformException(std::string(call) + " raised");
  }
  if (fail_call == index) {
    fault_applied = true;
    return true;
  }
  return false;
}

Object* FakePasteboardPlatform::autoreleased(std::unique_ptr<Object> object) {
  Object* raw = object.get();
  if (pools_.empty()) {
    leaked_autoreleased_.push_back(std::move(object));
  } else {
    pools_.back().push_back(std::move(object));
  }
  return raw;
}

Object* FakePasteboardPlatform::owned(std::unique_ptr<Object> object) {
  Object* raw = object.get();
  owned_[raw] = std::move(object);
  return raw;
}

FakeItem& FakePasteboardPlatform::first_item() {
  if (items.empty()) items.emplace_back();
  return items.front();
}

bool FakePasteboardPlatform::class_exists(platform::PlatformClass cls) {
  if (note("class_exists")) return false;
  return !missing_classes.contains(cls);
}

platform::Pool FakePasteboardPlatform::autorelease_pool_create() {
  if (note("autorelease_pool_create") || pool_create_nil) return nullptr;
  ++pools_created;
  pools_.emplace_back();
  return reinterpret_cast<platform::Pool>(&pools_.back());
}

void FakePasteboardPlatform::autorelease_pool_drain(platform::Pool) {
  if (note("autorelease_pool_drain")) fault_applied = false;  // nothing to fail
  ++pools_drained;
  if (!pools_.empty()) pools_.pop_back();
}

platform::Pasteboard FakePasteboardPlatform::general_pasteboard() {
  if (note("general_pasteboard")) return nullptr;
  return pasteboard_nil ? nullptr : reinterpret_cast<platform::Pasteboard>(&pasteboard_token_);
}

bool FakePasteboardPlatform::responds_to_access_behavior(platform::Pasteboard) {
  if (note("responds_to_access_behavior")) return false;
  return responds_to_access;
}

std::int64_t FakePasteboardPlatform::access_behavior(platform::Pasteboard) {
  if (note("access_behavior")) return -1;
  return access;
}

std::int64_t FakePasteboardPlatform::change_count(platform::Pasteboard) {
  if (note("change_count")) return -1;
  return count;
}

// Not a platform call that can fail or be faulted: it only bounds later waits.
void FakePasteboardPlatform::set_wait_limit(Instant limit) {
  wait_limit = limit;
  wait_limit_reached_ = false;
}

std::int64_t FakePasteboardPlatform::clear_contents(platform::Pasteboard) {
  if (note("clear_contents")) return -1;
  if (clear_waits_past_limit) {
    wait_limit_reached_ = true;
    return -1;
  }
  ++count;
  items.clear();
  owns_pasteboard = true;
  return clear_result.value_or(count);
}

platform::Array FakePasteboardPlatform::types(platform::Pasteboard) {
  if (note("types") || types_nil) return nullptr;
  Object::TypeList list;
  for (const FakeItem& item : items) {
    auto add = [&](platform::PasteboardType t) {
      if (std::find(list.types.begin(), list.types.end(), t) == list.types.end()) {
        list.types.push_back(t);
      }
    };
    if (item.text) add(platform::PasteboardType::string);
    if (item.png) add(platform::PasteboardType::png);
    if (item.file_url) add(platform::PasteboardType::file_url);
  }
  return reinterpret_cast<platform::Array>(autoreleased(std::make_unique<Object>(Object{list})));
}

bool FakePasteboardPlatform::array_contains_type(platform::Array types, platform::PasteboardType type) {
  if (note("array_contains_type")) return false;
  const auto* type_list = maybe<Object::TypeList>(types);
  if (type_list == nullptr) return false;
  const auto& list = type_list->types;
  return std::find(list.begin(), list.end(), type) != list.end();
}

platform::Array FakePasteboardPlatform::pasteboard_items(platform::Pasteboard) {
  if (note("pasteboard_items") || items_nil) return nullptr;
  return reinterpret_cast<platform::Array>(
      autoreleased(std::make_unique<Object>(Object{Object::ItemList{items, count}})));
}

std::size_t FakePasteboardPlatform::array_count(platform::Array array) {
  if (note("array_count") || array == nullptr) return 0;
  auto* object = reinterpret_cast<Object*>(array);
  if (auto* list = std::get_if<Object::ItemList>(&object->value)) return list->items.size();
  if (auto* urls = std::get_if<Object::UrlList>(&object->value)) return urls->urls.size();
  return std::get<Object::TypeList>(object->value).types.size();
}

platform::Item FakePasteboardPlatform::array_item_at(platform::Array array, std::size_t index) {
  if (note("array_item_at") || nil_item_indexes.contains(index)) return nullptr;
  auto* list = maybe<Object::ItemList>(array);
  if (list == nullptr || index >= list->items.size()) return nullptr;
  return reinterpret_cast<platform::Item>(autoreleased(
      std::make_unique<Object>(Object{Object::ItemRef{&list->items[index], list->change_count}})));
}

platform::String FakePasteboardPlatform::item_string_for_type(platform::Item item,
                                                              platform::PasteboardType type) {
  if (note("item_string_for_type")) return nullptr;
  const auto* ref = maybe<Object::ItemRef>(item);
  if (ref == nullptr || ref->change_count != count) return nullptr;
  const FakeItem* fake = ref->item;
  const auto& value = type == platform::PasteboardType::file_url ? fake->file_url : fake->text;
  if (!value || type == platform::PasteboardType::png) return nullptr;
  return reinterpret_cast<platform::String>(
      autoreleased(std::make_unique<Object>(Object{Object::Text{*value}})));
}

platform::String FakePasteboardPlatform::string_for_type(platform::Pasteboard,
                                                         platform::PasteboardType type) {
  if (note("string_for_type")) return nullptr;
  for (const FakeItem& item : items) {
    const auto& value = type == platform::PasteboardType::file_url ? item.file_url : item.text;
    if (value && type != platform::PasteboardType::png) {
      return reinterpret_cast<platform::String>(
          autoreleased(std::make_unique<Object>(Object{Object::Text{*value}})));
    }
  }
  return nullptr;
}

platform::Data FakePasteboardPlatform::data_for_type(platform::Pasteboard,
                                                     platform::PasteboardType type) {
  if (note("data_for_type") || type == platform::PasteboardType::file_url) return nullptr;
  if (type == platform::PasteboardType::string) {
    const auto item = std::find_if(items.begin(), items.end(),
                                   [](const FakeItem& i) { return i.text.has_value(); });
    if (item == items.end() || text_data_nil) return nullptr;
    std::optional<Bytes> bytes = item->text_data;
    if (!bytes) {
      const auto utf8 = utf16_to_utf8(*item->text);
      if (!utf8) return nullptr;
      bytes = Bytes(utf8->begin(), utf8->end());
    }
    return reinterpret_cast<platform::Data>(
        autoreleased(std::make_unique<Object>(Object{Object::Blob{*bytes}})));
  }
  for (const FakeItem& item : items) {
    if (item.png) {
      Object::Blob blob{*item.png};
      return reinterpret_cast<platform::Data>(autoreleased(std::make_unique<Object>(Object{blob})));
    }
  }
  return nullptr;
}

std::size_t FakePasteboardPlatform::data_length(platform::Data data) {
  if (note("data_length") || data == nullptr) return 0;
  const auto& blob = as<Object::Blob>(data);
  return blob.borrowed ? blob.view.size() : blob.bytes.size();
}

const std::uint8_t* FakePasteboardPlatform::data_bytes(platform::Data data) {
  if (note("data_bytes") || data_bytes_null || data == nullptr) return nullptr;
  const auto& blob = as<Object::Blob>(data);
  return blob.borrowed ? blob.view.data() : blob.bytes.data();
}

bool FakePasteboardPlatform::set_string(platform::Pasteboard, platform::String string,
                                        platform::PasteboardType type) {
  if (note("set_string") || refuse_set_string || !owns_pasteboard || string == nullptr ||
      type != platform::PasteboardType::string) {
    return false;
  }
  first_item().text = as<Object::Text>(string).text;
  first_item().text_data.reset();
  return true;
}

platform::Data FakePasteboardPlatform::data_with_bytes(ByteView bytes) {
  if (note("data_with_bytes") || data_with_bytes_nil) return nullptr;
  Object::Blob blob{Bytes(bytes.begin(), bytes.end())};
  return reinterpret_cast<platform::Data>(autoreleased(std::make_unique<Object>(Object{blob})));
}

bool FakePasteboardPlatform::set_data(platform::Pasteboard, platform::Data data,
                                      platform::PasteboardType type) {
  if (note("set_data") || refuse_set_data || !owns_pasteboard || data == nullptr ||
      type != platform::PasteboardType::png) {
    return false;
  }
  first_item().png = as<Object::Blob>(data).bytes;
  return true;
}

platform::Array FakePasteboardPlatform::mutable_array_create() {
  if (note("mutable_array_create") || mutable_array_nil) return nullptr;
  return reinterpret_cast<platform::Array>(owned(std::make_unique<Object>(Object{Object::UrlList{}})));
}

void FakePasteboardPlatform::array_add_url(platform::Array array, platform::Url url) {
  if (note("array_add_url")) fault_applied = false;  // nothing to fail
  as<Object::UrlList>(array).urls.push_back(as<Object::Url>(url).text);
}

bool FakePasteboardPlatform::write_objects(platform::Pasteboard, platform::Array array) {
  if (note("write_objects") || refuse_write_objects || !owns_pasteboard || array == nullptr) {
    return false;
  }
  for (const auto& url : as<Object::UrlList>(array).urls) items.push_back(url_item(url));
  return true;
}

std::size_t FakePasteboardPlatform::string_length(platform::String string) {
  if (note("string_length")) return 0;
  return as<Object::Text>(string).text.size();
}

std::optional<std::string> FakePasteboardPlatform::string_utf8(platform::String string) {
  if (note("string_utf8")) return std::nullopt;
  return utf16_to_utf8(as<Object::Text>(string).text);
}

platform::String FakePasteboardPlatform::string_create_utf8(std::string_view utf8) {
  if (note("string_create_utf8")) return nullptr;
  auto text = utf8_to_utf16(utf8);
  if (string_create_nil || !text) return nullptr;
  return reinterpret_cast<platform::String>(owned(std::make_unique<Object>(Object{Object::Text{*text}})));
}

platform::Url FakePasteboardPlatform::url_create_with_string(platform::String string) {
  if (note("url_create_with_string")) return nullptr;
  auto text = utf16_to_utf8(as<Object::Text>(string).text);
  if (!text || !well_formed_url(*text)) return nullptr;
  return reinterpret_cast<platform::Url>(
      owned(std::make_unique<Object>(Object{Object::Url{as<Object::Text>(string).text}})));
}

std::optional<std::string> FakePasteboardPlatform::url_file_system_representation(
    platform::Url url, std::size_t buffer_size) {
  if (note("url_file_system_representation")) return std::nullopt;
  auto text = utf16_to_utf8(as<Object::Url>(url).text);
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  // Only file URLs have a file-system path; the host part is skipped as the platform does.
  if (rest.size() < 7 || (rest.substr(0, 7) != "file://" && rest.substr(0, 7) != "FILE://")) {
    return std::nullopt;
  }
  rest.remove_prefix(7);
  const auto slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(slash);
  // The query and fragment are not part of the path.
  rest = rest.substr(0, rest.find_first_of("?#"));
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && is_hex(rest[i + 1]) && is_hex(rest[i + 2])) {
      path.push_back(static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2])));
      i += 2;
    } else {
      path.push_back(rest[i]);
    }
  }
  if (path.size() + 1 > buffer_size) return std::nullopt;
  return path.substr(0, path.find('\0'));
}

bool FakePasteboardPlatform::url_is_file_reference(platform::Url url) {
  if (note("url_is_file_reference") || url == nullptr) return false;
  return file_references.contains(as<Object::Url>(url).text);
}

platform::Url FakePasteboardPlatform::url_create_file_path_url(platform::Url url) {
  if (note("url_create_file_path_url") || url == nullptr) return nullptr;
  std::u16string text = as<Object::Url>(url).text;
  if (auto reference = file_references.find(text); reference != file_references.end()) {
    if (!reference->second) return nullptr;
    text = *reference->second;
  }
  return reinterpret_cast<platform::Url>(owned(std::make_unique<Object>(Object{Object::Url{text}})));
}

platform::Url FakePasteboardPlatform::url_create_from_path(std::string_view path_bytes) {
  if (note("url_create_from_path") || url_from_path_nil) return nullptr;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (unsigned char c : path_bytes) {
    const bool raw = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::string_view("-._~/").find(static_cast<char>(c)) != std::string_view::npos;
    if (raw) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back('%');
      text.push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 15]);
    }
  }
  return reinterpret_cast<platform::Url>(owned(std::make_unique<Object>(Object{Object::Url{ascii16(text)}})));
}

platform::String FakePasteboardPlatform::url_string(platform::Url url) {
  if (note("url_string")) return nullptr;
  return reinterpret_cast<platform::String>(
      autoreleased(std::make_unique<Object>(Object{Object::Text{as<Object::Url>(url).text}})));
}

platform::Data FakePasteboardPlatform::data_create_borrowing(ByteView bytes) {
  if (note("data_create_borrowing") || data_borrow_nil) return nullptr;
  Object::Blob blob{Bytes{}, true, bytes};
  return reinterpret_cast<platform::Data>(owned(std::make_unique<Object>(Object{blob})));
}

platform::ImageSource FakePasteboardPlatform::image_source_create(platform::Data data) {
  if (note("image_source_create") || image_source_nil) return nullptr;
  const auto& blob = as<Object::Blob>(data);
  return reinterpret_cast<platform::ImageSource>(
      owned(std::make_unique<Object>(Object{Object::Source{blob.borrowed ? blob.view : ByteView(blob.bytes)}})));
}

std::string FakePasteboardPlatform::image_source_type(platform::ImageSource) {
  if (note("image_source_type")) return {};
  return image_type;
}

std::size_t FakePasteboardPlatform::image_source_count(platform::ImageSource) {
  if (note("image_source_count")) return 0;
  return image_count;
}

int FakePasteboardPlatform::image_source_status(platform::ImageSource) {
  if (note("image_source_status")) return -1;
  return image_status;
}

int FakePasteboardPlatform::image_source_status_at_index(platform::ImageSource, std::size_t) {
  if (note("image_source_status_at_index")) return -1;
  return image_status_at_0;
}

platform::Image FakePasteboardPlatform::image_source_thumbnail(platform::ImageSource, std::size_t,
                                                               const platform::ThumbnailOptions&) {
  if (note("image_source_thumbnail") || thumbnail_fails) return nullptr;
  return reinterpret_cast<platform::Image>(owned(std::make_unique<Object>(Object{Object::Thumbnail{}})));
}

platform::Data FakePasteboardPlatform::data_for_image_type(platform::Pasteboard,
                                                           platform::ImageType type) {
  if (note("data_for_image_type")) return nullptr;
  for (const FakeItem& item : items) {
    if (const auto found = item.images.find(type); found != item.images.end()) {
      Object::Blob blob{found->second};
      return reinterpret_cast<platform::Data>(autoreleased(std::make_unique<Object>(Object{blob})));
    }
  }
  return nullptr;
}

std::optional<platform::ImageProperties> FakePasteboardPlatform::image_source_properties(
    platform::ImageSource, std::size_t) {
  if (note("image_source_properties")) return std::nullopt;
  return image_properties;
}

platform::Image FakePasteboardPlatform::image_source_upright_image(platform::ImageSource,
                                                                   std::size_t, std::int32_t) {
  if (note("image_source_upright_image") || upright_image_fails) return nullptr;
  return reinterpret_cast<platform::Image>(owned(std::make_unique<Object>(Object{Object::Thumbnail{}})));
}

platform::Data FakePasteboardPlatform::image_png_data(platform::Image) {
  if (note("image_png_data") || !encoded_png) return nullptr;
  Object::Blob blob{*encoded_png};
  return reinterpret_cast<platform::Data>(owned(std::make_unique<Object>(Object{blob})));
}

void FakePasteboardPlatform::release(const void* object) {
  if (note("release")) fault_applied = false;  // nothing to fail
  if (owned_.erase(object) == 0) ++bad_releases;
}

}  // namespace morvane::testing
