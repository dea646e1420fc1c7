// The simulated general pasteboard: the platform seam on systems without AppKit. Pasteboard
// calls go to the per-user store file (sim/pasteboard_store_sim.h), URLs to the RFC 3986
// conversion (sim/url_conversion_sim.h) and image sources to the PNG decoder
// (sim/png_image_source_sim.h). Objects follow the platform's ownership rules: autoreleased
// ones live until their pool drains, owned ones until release().
//
// A store that cannot be used at the pasteboard lookup is no pasteboard (nil). Once looked up,
// a store that stops answering raises PasteboardCommunicationFailure from whichever call finds
// it so, as the platform raises when its pasteboard server fails: never a nil that would read
// as an empty pasteboard.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard/pasteboard_platform_recording.h"
#include "input/clipboard/pasteboard_platform_testing.h"
#include "input/clipboard/sim/communication_failure_sim.h"
#include "input/clipboard/sim/image_conversion_sim.h"
#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "input/clipboard/sim/png_image_source_sim.h"
#include "input/clipboard/sim/url_conversion_sim.h"
#include "input/utf8.h"

namespace morvane::sim {

namespace {

using platform::PasteboardType;

// Every object handed across the seam is one of these.
struct Object {
  virtual ~Object() = default;
};

struct PoolToken final : Object {};

struct PasteboardHandle final : Object {
  explicit PasteboardHandle(PasteboardStore& s) : store(&s) {}
  PasteboardStore* store;
};

struct TypeArray final : Object {
  std::vector<EntryType> types;
};

// An NSPasteboardItem: it answers only while the change count it was read at is current.
struct ItemHandle final : Object {
  ItemHandle(PasteboardStore* s, std::int64_t count, std::size_t i)
      : store(s), change_count(count), index(i) {}
  PasteboardStore* store;
  std::int64_t change_count;
  std::size_t index;
};

struct ItemArray final : Object {
  std::vector<ItemHandle> items;
};

struct UrlArray final : Object {
  std::vector<Value> urls;  // the URL texts as UTF-16
};

struct StringHandle final : Object {
  StringHandle(std::shared_ptr<const void> k, std::u16string_view t) : keep(std::move(k)), text(t) {}
  std::shared_ptr<const void> keep;
  std::u16string_view text;
  // For a file URL read from an item: the item's record of the file its reference names, read
  // with the text, so that the pasteboard changing afterwards cannot take it away.
  std::optional<FileReference> reference;
};

struct DataHandle final : Object {
  DataHandle(std::shared_ptr<const void> k, ByteView b, bool checked = false)
      : keep(std::move(k)), bytes(b), crcs_checked(checked) {}
  std::shared_ptr<const void> keep;  // null for data that borrows its bytes
  ByteView bytes;
  bool crcs_checked;  // PNG bytes whose chunk CRCs the caller has checked
};

struct UrlHandle final : Object {
  explicit UrlHandle(ParsedUrl parsed, std::u16string text)
      : url(std::move(parsed)),
        owned_text(std::make_shared<const std::u16string>(std::move(text))),
        string(owned_text, *owned_text) {}
  ParsedUrl url;
  std::shared_ptr<const std::u16string> owned_text;
  StringHandle string;  // what CFURLGetString returns; lives as long as the URL
  std::optional<FileReference> reference;  // taken over from the string it was made from
};

// ImageIO tells the type from the bytes: PNG, or one of the types converted to PNG.
ImageSourceFacts facts_of(ByteView bytes) {
  ImageSourceFacts facts = inspect_image_data(bytes);
  if (!facts.type.empty()) return facts;
  std::string converted = converted_image_type(bytes);
  if (converted.empty()) return facts;
  return ImageSourceFacts{std::move(converted), 1, platform::kImageStatusComplete};
}

struct ImageSourceHandle final : Object {
  ImageSourceHandle(std::shared_ptr<const void> k, ByteView b, bool checked)
      : keep(std::move(k)), bytes(b), crcs_checked(checked), facts(facts_of(b)) {}
  std::shared_ptr<const void> keep;
  ByteView bytes;
  bool crcs_checked;
  ImageSourceFacts facts;
};

struct ImageHandle final : Object {};

// A decoded image of another type, waiting to be encoded as PNG.
struct DecodedImageHandle final : Object {
  explicit DecodedImageHandle(DecodedImage i) : image(std::move(i)) {}
  DecodedImage image;
};

// The image types the stand-in decodes; the others it treats as absent.
std::optional<EntryType> decodable_entry_type(platform::ImageType type) {
  switch (type) {
    case platform::ImageType::tiff: return EntryType::tiff;
    case platform::ImageType::jpeg: return EntryType::jpeg;
    case platform::ImageType::heic:
    case platform::ImageType::gif:
    case platform::ImageType::bmp: return std::nullopt;
  }
  return std::nullopt;
}

template <typename T>
T* as(const void* handle) {
  return dynamic_cast<T*>(static_cast<Object*>(const_cast<void*>(handle)));
}

template <typename Handle>
Handle handle_of(Object* object) {
  return reinterpret_cast<Handle>(object);
}

std::optional<EntryType> string_entry_type(PasteboardType type) {
  switch (type) {
    case PasteboardType::string: return EntryType::string;
    case PasteboardType::file_url: return EntryType::file_url;
    case PasteboardType::png: return std::nullopt;
  }
  return std::nullopt;
}

EntryType entry_type(PasteboardType type) {
  switch (type) {
    case PasteboardType::string: return EntryType::string;
    case PasteboardType::png: return EntryType::png;
    case PasteboardType::file_url: return EntryType::file_url;
  }
  return EntryType::string;
}

// The autorelease pools of one thread, innermost last.
struct PoolFrame {
  std::unique_ptr<PoolToken> token;
  std::vector<std::unique_ptr<Object>> objects;
};
thread_local std::vector<PoolFrame> t_pools;

// Objects autoreleased with no pool open; the platform leaks these, the stand-in keeps them
// until the process ends.
std::mutex g_orphans_mutex;
std::vector<std::unique_ptr<Object>> g_orphans;

template <typename T>
T* autorelease(std::unique_ptr<T> object) {
  T* raw = object.get();
  if (t_pools.empty()) {
    std::lock_guard guard(g_orphans_mutex);
    g_orphans.push_back(std::move(object));
  } else {
    t_pools.back().objects.push_back(std::move(object));
  }
  return raw;
}

template <typename T>
T* owned(std::unique_ptr<T> object) {
  return object.release();
}

template <typename T>
T answered(std::expected<T, IoError> result) {
  if (!result) throw PasteboardCommunicationFailure(result.error().message);
  return std::move(*result);
}

// How long this thread's calls may wait for the store's lock, and whether one gave up.
thread_local std::optional<Instant> t_wait_limit;
thread_local bool t_wait_limit_reached = false;

// The store's answer; nullopt when its lock could not be had before the wait limit, so that
// nothing was done.
template <typename T>
std::optional<T> answered_in_time(std::expected<T, IoError> result) {
  if (!result && result.error().code == ETIMEDOUT) {
    t_wait_limit_reached = true;
    return std::nullopt;
  }
  return answered(std::move(result));
}

// The store as it is now, for a pasteboard already looked up.
Snapshot current_of(PasteboardStore& store) { return answered(store.load_existing()); }

// The store that stands in for the general pasteboard in the seam's tests; empty for none.
std::string g_named_store_path;

// The store of the general pasteboard.
PasteboardStore& general_store() {
  return g_named_store_path.empty() ? store_at(default_store_location())
                                    : store_at(g_named_store_path);
}

FileId id_of(const FileReference& reference) { return {reference.device, reference.inode}; }

// The file a reference was made for is still at its path.
bool still_there(const FileReference& reference) {
  struct stat info {};
  return ::lstat(reference.path.c_str(), &info) == 0 &&
         FileId{info.st_dev, info.st_ino} == id_of(reference);
}

std::optional<FileReference> reference_of(const StoreItem& item) {
  const Value* value = item.find(EntryType::file_reference);
  return value == nullptr ? std::nullopt : FileReference::decode(*value);
}

// CFURLCreateFilePathURL of a reference: the path recorded for the id, while a file with that
// device and inode is still there. The record read with the URL's item comes first; a URL made
// from any other text looks the id up among the current items (hard links share an id: the
// first item's path is taken).
std::optional<std::string> resolve_file_reference(FileId id,
                                                  const std::optional<FileReference>& carried) {
  if (carried && id_of(*carried) == id) {
    return still_there(*carried) ? std::optional(carried->path) : std::nullopt;
  }
  auto contents = general_store().load(t_wait_limit);
  if (!contents) return std::nullopt;
  for (const StoreItem& item : (*contents)->items) {
    const auto reference = reference_of(item);
    if (reference && id_of(*reference) == id && still_there(*reference)) return reference->path;
  }
  return std::nullopt;
}

// A write by the process that cleared the pasteboard last; anyone else is refused, as the
// platform refuses a writer that lost ownership.
bool may_write(const StoreContents& contents) {
  return !contents.refuse_writes && contents.owner == process_owner_token();
}

// Applies `change` when this process may write; false when it may not, or could not before
// the wait limit.
bool write_if_owner(PasteboardStore& store, const std::function<void(StoreContents&)>& change) {
  bool written = false;
  const auto done = answered_in_time(store.update_existing(
      [&](StoreContents& contents) {
        if (!may_write(contents)) return false;
        change(contents);
        written = true;
        return true;
      },
      t_wait_limit));
  return done && written;
}

bool write_to_first_item(PasteboardStore& store, EntryType type, const Value& value) {
  return write_if_owner(store, [&](StoreContents& contents) { contents.first_item().put(type, value); });
}

class SimPasteboardPlatform final : public platform::PasteboardPlatform {
 public:
  bool class_exists(platform::PlatformClass) override { return true; }

  platform::Pool autorelease_pool_create() override {
    t_pools.push_back(PoolFrame{std::make_unique<PoolToken>(), {}});
    return handle_of<platform::Pool>(t_pools.back().token.get());
  }

  void autorelease_pool_drain(platform::Pool pool) override {
    // Draining a pool also drains every pool opened inside it.
    for (std::size_t depth = t_pools.size(); depth > 0; --depth) {
      if (handle_of<platform::Pool>(t_pools[depth - 1].token.get()) != pool) continue;
      while (t_pools.size() >= depth) {
        // Objects go before the frame so that none outlives what it was made from.
        t_pools.back().objects.clear();
        t_pools.pop_back();
      }
      return;
    }
  }

  platform::Pasteboard general_pasteboard() override {
    PasteboardStore& store = general_store();
    if (auto loaded = store.load(t_wait_limit); !loaded) {
      if (loaded.error().code == ETIMEDOUT) t_wait_limit_reached = true;
      return nullptr;
    }
    static std::mutex mutex;
    static std::vector<std::unique_ptr<PasteboardHandle>> handles;
    std::lock_guard guard(mutex);
    for (const auto& handle : handles) {
      if (handle->store == &store) return handle_of<platform::Pasteboard>(handle.get());
    }
    handles.push_back(std::make_unique<PasteboardHandle>(store));
    return handle_of<platform::Pasteboard>(handles.back().get());
  }

  bool responds_to_access_behavior(platform::Pasteboard pasteboard) override {
    return as<PasteboardHandle>(pasteboard) != nullptr;
  }

  std::int64_t access_behavior(platform::Pasteboard pasteboard) override {
    auto contents = current(pasteboard);
    return contents ? contents->access_behavior : 0;
  }

  std::int64_t change_count(platform::Pasteboard pasteboard) override {
    auto contents = current(pasteboard);
    return contents ? contents->change_count : -1;
  }

  std::int64_t clear_contents(platform::Pasteboard pasteboard) override {
    auto* handle = as<PasteboardHandle>(pasteboard);
    if (handle == nullptr) return -1;
    const auto contents = answered_in_time(handle->store->update_existing(
        [](StoreContents& next) {
          next.clear_by(process_owner_token());
          return true;
        },
        t_wait_limit));
    return contents ? (*contents)->change_count : -1;
  }

  platform::Array types(platform::Pasteboard pasteboard) override {
    auto contents = current(pasteboard);
    if (!contents) return nullptr;
    auto array = std::make_unique<TypeArray>();
    array->types = contents->types();
    return handle_of<platform::Array>(autorelease(std::move(array)));
  }

  bool array_contains_type(platform::Array types, PasteboardType type) override {
    auto* array = as<TypeArray>(types);
    if (array == nullptr) return false;
    return std::find(array->types.begin(), array->types.end(), entry_type(type)) !=
           array->types.end();
  }

  platform::Array pasteboard_items(platform::Pasteboard pasteboard) override {
    auto contents = current(pasteboard);
    if (!contents) return nullptr;
    auto array = std::make_unique<ItemArray>();
    const auto& snapshot = *contents;
    array->items.reserve(snapshot.items.size());
    for (std::size_t i = 0; i < snapshot.items.size(); ++i) {
      array->items.emplace_back(as<PasteboardHandle>(pasteboard)->store, snapshot.change_count, i);
    }
    return handle_of<platform::Array>(autorelease(std::move(array)));
  }

  std::size_t array_count(platform::Array array) override {
    if (auto* items = as<ItemArray>(array)) return items->items.size();
    if (auto* urls = as<UrlArray>(array)) return urls->urls.size();
    if (auto* types = as<TypeArray>(array)) return types->types.size();
    return 0;
  }

  platform::Item array_item_at(platform::Array array, std::size_t index) override {
    auto* items = as<ItemArray>(array);
    if (items == nullptr || index >= items->items.size()) return nullptr;
    return handle_of<platform::Item>(&items->items[index]);
  }

  platform::String item_string_for_type(platform::Item item, PasteboardType type) override {
    auto* handle = as<ItemHandle>(item);
    const auto wanted = string_entry_type(type);
    if (handle == nullptr || !wanted) return nullptr;
    const Snapshot contents = current_of(*handle->store);
    if (contents->change_count != handle->change_count || handle->index >= contents->items.size()) {
      return nullptr;
    }
    const StoreItem& stored = contents->items[handle->index];
    platform::String string = string_handle(stored.find(*wanted));
    if (string != nullptr && *wanted == EntryType::file_url) {
      as<StringHandle>(string)->reference = reference_of(stored);
    }
    return string;
  }

  platform::String string_for_type(platform::Pasteboard pasteboard, PasteboardType type) override {
    auto contents = current(pasteboard);
    const auto wanted = string_entry_type(type);
    if (!contents || !wanted) return nullptr;
    return string_handle(contents->first(*wanted));
  }

  platform::Data data_for_type(platform::Pasteboard pasteboard, PasteboardType type) override {
    auto contents = current(pasteboard);
    if (!contents || type == PasteboardType::file_url) return nullptr;
    if (type == PasteboardType::string) return utf8_data(contents->first(EntryType::string));
    const Value* value = contents->first(EntryType::png);
    if (value == nullptr) return nullptr;
    return handle_of<platform::Data>(autorelease(std::make_unique<DataHandle>(value->keep, value->bytes)));
  }

  std::size_t data_length(platform::Data data) override {
    auto* handle = as<DataHandle>(data);
    return handle == nullptr ? 0 : handle->bytes.size();
  }

  const std::uint8_t* data_bytes(platform::Data data) override {
    auto* handle = as<DataHandle>(data);
    return handle == nullptr ? nullptr : handle->bytes.data();
  }

  bool set_string(platform::Pasteboard pasteboard, platform::String string,
                  PasteboardType type) override {
    auto* handle = as<PasteboardHandle>(pasteboard);
    auto* text = as<StringHandle>(string);
    const auto wanted = string_entry_type(type);
    if (handle == nullptr || text == nullptr || !wanted) return false;
    const Value value{text->keep, ByteView(reinterpret_cast<const std::uint8_t*>(text->text.data()),
                                          text->text.size() * sizeof(char16_t)),
                      std::nullopt};
    return write_to_first_item(*handle->store, *wanted, value);
  }

  platform::Data data_with_bytes(ByteView bytes) override {
    auto copy = std::make_shared<const Bytes>(bytes.begin(), bytes.end());
    const ByteView view(*copy);
    return handle_of<platform::Data>(autorelease(std::make_unique<DataHandle>(std::move(copy), view)));
  }

  bool set_data(platform::Pasteboard pasteboard, platform::Data data, PasteboardType type) override {
    auto* handle = as<PasteboardHandle>(pasteboard);
    auto* blob = as<DataHandle>(data);
    if (handle == nullptr || blob == nullptr || type != PasteboardType::png) return false;
    return write_to_first_item(*handle->store, EntryType::png, Value{blob->keep, blob->bytes, std::nullopt});
  }

  platform::Array mutable_array_create() override {
    return handle_of<platform::Array>(owned(std::make_unique<UrlArray>()));
  }

  void array_add_url(platform::Array array, platform::Url url) override {
    auto* urls = as<UrlArray>(array);
    auto* handle = as<UrlHandle>(url);
    if (urls == nullptr || handle == nullptr) return;
    urls->urls.push_back(Value::of_utf16(*handle->owned_text));
  }

  bool write_objects(platform::Pasteboard pasteboard, platform::Array array) override {
    auto* handle = as<PasteboardHandle>(pasteboard);
    auto* urls = as<UrlArray>(array);
    if (handle == nullptr || urls == nullptr) return false;
    return write_if_owner(*handle->store, [&](StoreContents& contents) {
      for (const Value& url : urls->urls) {
        contents.items.emplace_back().put(EntryType::file_url, url);
      }
    });
  }

  std::size_t string_length(platform::String string) override {
    auto* text = as<StringHandle>(string);
    return text == nullptr ? 0 : text->text.size();
  }

  std::optional<std::string> string_utf8(platform::String string) override {
    auto* text = as<StringHandle>(string);
    if (text == nullptr) return std::nullopt;
    return utf16_to_utf8(text->text);
  }

  platform::String string_create_utf8(std::string_view utf8) override {
    auto text = utf8_to_utf16(utf8);
    if (!text) return nullptr;
    auto shared = std::make_shared<const std::u16string>(std::move(*text));
    const std::u16string_view view(*shared);
    return handle_of<platform::String>(owned(std::make_unique<StringHandle>(std::move(shared), view)));
  }

  platform::Url url_create_with_string(platform::String string) override {
    auto* text = as<StringHandle>(string);
    if (text == nullptr) return nullptr;
    auto utf8 = utf16_to_utf8(text->text);
    if (!utf8) return nullptr;
    auto parsed = parse_url(*utf8);
    if (!parsed) return nullptr;
    auto url = std::make_unique<UrlHandle>(std::move(*parsed), std::u16string(text->text));
    url->reference = text->reference;
    return handle_of<platform::Url>(owned(std::move(url)));
  }

  std::optional<std::string> url_file_system_representation(platform::Url url,
                                                            std::size_t buffer_size) override {
    auto* handle = as<UrlHandle>(url);
    if (handle == nullptr) return std::nullopt;
    return file_system_representation(handle->url, buffer_size);
  }

  bool url_is_file_reference(platform::Url url) override {
    auto* handle = as<UrlHandle>(url);
    return handle != nullptr && handle->url.file_path &&
           is_file_reference_path(*handle->url.file_path);
  }

  platform::Url url_create_file_path_url(platform::Url url) override {
    auto* handle = as<UrlHandle>(url);
    if (handle == nullptr || !handle->url.file_path) return nullptr;
    if (!is_file_reference_path(*handle->url.file_path)) {
      return handle_of<platform::Url>(
          owned(std::make_unique<UrlHandle>(handle->url, std::u16string(*handle->owned_text))));
    }
    const auto id = file_reference_id(*handle->url.file_path);
    const auto path = id ? resolve_file_reference(*id, handle->reference) : std::nullopt;
    return path ? url_create_from_path(*path) : nullptr;
  }

  platform::Url url_create_from_path(std::string_view path_bytes) override {
    auto text = file_url_for_path(path_bytes);
    if (!text) return nullptr;
    auto parsed = parse_url(*text);
    if (!parsed) return nullptr;
    std::u16string utf16(text->begin(), text->end());  // the encoded text is ASCII
    return handle_of<platform::Url>(owned(std::make_unique<UrlHandle>(std::move(*parsed), std::move(utf16))));
  }

  platform::String url_string(platform::Url url) override {
    auto* handle = as<UrlHandle>(url);
    return handle == nullptr ? nullptr : handle_of<platform::String>(&handle->string);
  }

  platform::Data data_create_borrowing(ByteView bytes) override {
    return handle_of<platform::Data>(owned(std::make_unique<DataHandle>(nullptr, bytes)));
  }

  platform::Data data_create_borrowing_crc_checked_png(ByteView bytes) override {
    return handle_of<platform::Data>(owned(std::make_unique<DataHandle>(nullptr, bytes, true)));
  }

  platform::ImageSource image_source_create(platform::Data data) override {
    auto* blob = as<DataHandle>(data);
    if (blob == nullptr) return nullptr;
    return handle_of<platform::ImageSource>(
        owned(std::make_unique<ImageSourceHandle>(blob->keep, blob->bytes, blob->crcs_checked)));
  }

  std::string image_source_type(platform::ImageSource source) override {
    auto* handle = as<ImageSourceHandle>(source);
    return handle == nullptr ? std::string() : handle->facts.type;
  }

  std::size_t image_source_count(platform::ImageSource source) override {
    auto* handle = as<ImageSourceHandle>(source);
    return handle == nullptr ? 0 : handle->facts.count;
  }

  int image_source_status(platform::ImageSource source) override {
    auto* handle = as<ImageSourceHandle>(source);
    return handle == nullptr ? kImageStatusUnknownType : handle->facts.status;
  }

  int image_source_status_at_index(platform::ImageSource source, std::size_t index) override {
    auto* handle = as<ImageSourceHandle>(source);
    if (handle == nullptr || index >= handle->facts.count) return kImageStatusUnknownType;
    return handle->facts.status;
  }

  platform::Image image_source_thumbnail(platform::ImageSource source, std::size_t index,
                                         const platform::ThumbnailOptions&) override {
    // Whatever the requested size, the whole image is decoded, as a thumbnail made from the
    // full image is; only the default image (index 0) can be decoded.
    auto* handle = as<ImageSourceHandle>(source);
    if (handle == nullptr || index != 0 || handle->facts.count == 0 ||
        !decode_png_completely(handle->bytes, handle->crcs_checked)) {
      return nullptr;
    }
    return handle_of<platform::Image>(owned(std::make_unique<ImageHandle>()));
  }

  void set_wait_limit(Instant limit) override {
    t_wait_limit = limit;
    t_wait_limit_reached = false;
  }

  bool wait_limit_reached() override { return t_wait_limit_reached; }

  platform::Data data_for_image_type(platform::Pasteboard pasteboard,
                                     platform::ImageType type) override {
    auto contents = current(pasteboard);
    const auto entry = decodable_entry_type(type);
    if (!contents || !entry) return nullptr;
    const Value* value = contents->first(*entry);
    if (value == nullptr) return nullptr;
    return handle_of<platform::Data>(
        autorelease(std::make_unique<DataHandle>(value->keep, value->bytes)));
  }

  std::optional<platform::ImageProperties> image_source_properties(platform::ImageSource source,
                                                                   std::size_t index) override {
    auto* handle = as<ImageSourceHandle>(source);
    if (handle == nullptr || index != 0) return std::nullopt;
    const auto header = read_image_header(handle->bytes);
    if (!header) return std::nullopt;
    return platform::ImageProperties{header->width, header->height, header->orientation,
                                     header->depth};
  }

  platform::Image image_source_upright_image(platform::ImageSource source, std::size_t index,
                                             std::int32_t) override {
    // The whole image is decoded and kept as stored; its orientation is applied as it is
    // encoded, so that no second full-size copy is made to turn it.
    auto* handle = as<ImageSourceHandle>(source);
    if (handle == nullptr || index != 0) return nullptr;
    auto image = decode_image(handle->bytes);
    if (!image) return nullptr;
    return handle_of<platform::Image>(
        owned(std::make_unique<DecodedImageHandle>(std::move(*image))));
  }

  platform::Data image_png_data(platform::Image image) override {
    auto* handle = as<DecodedImageHandle>(image);
    if (handle == nullptr) return nullptr;
    auto png = encode_png(handle->image);
    if (!png) return nullptr;
    return handle_of<platform::Data>(
        owned(std::make_unique<DataHandle>(std::move(png->keep), png->bytes)));
  }

  void release(const void* object) override {
    delete static_cast<Object*>(const_cast<void*>(object));
  }

 private:
  // Null for what is not a pasteboard, as messaging nil answers nil.
  Snapshot current(platform::Pasteboard pasteboard) {
    auto* handle = as<PasteboardHandle>(pasteboard);
    if (handle == nullptr) return nullptr;
    return current_of(*handle->store);
  }

  // The platform keeps a string written as text as its UTF-8 bytes and offers them as the
  // data of the text type; the store keeps UTF-16, so the bytes are made on request. A string
  // with no UTF-8 form (an unpaired surrogate) offers none.
  platform::Data utf8_data(const Value* value) {
    if (value == nullptr) return nullptr;
    auto utf8 = utf16_to_utf8(value->utf16());
    if (!utf8) return nullptr;
    auto owned = std::make_shared<const std::string>(std::move(*utf8));
    const ByteView view(reinterpret_cast<const std::uint8_t*>(owned->data()), owned->size());
    return handle_of<platform::Data>(
        autorelease(std::make_unique<DataHandle>(std::move(owned), view)));
  }

  platform::String string_handle(const Value* value) {
    if (value == nullptr) return nullptr;
    return handle_of<platform::String>(
        autorelease(std::make_unique<StringHandle>(value->keep, value->utf16())));
  }
};

// MORVANE_SIM_PASTEBOARD_STALL=NAME: the call to the seam member NAME never returns, as a
// pasteboard server that stops answering, or a read held by a permission alert nobody can see,
// never returns. Read once, at start-up; nullptr when unset or not a member's name.
const platform::PlatformCall* const g_stalled_call = [] {
  const char* name = std::getenv("MORVANE_SIM_PASTEBOARD_STALL");
  return name == nullptr ? nullptr : platform::find_platform_call(name);
}();

void stall_if_chosen(const platform::PlatformCall& call) {
  if (&call != g_stalled_call) return;
  for (;;) ::pause();
}

}  // namespace

}  // namespace morvane::sim

namespace morvane::platform {

PasteboardPlatform& pasteboard_platform() {
  static sim::SimPasteboardPlatform platform;
  static RecordingPasteboardPlatform recording(
      platform, sim::g_stalled_call != nullptr ? &sim::stall_if_chosen : nullptr);
  return recording;
}

void use_named_pasteboard_for_testing(std::string_view name) {
  std::error_code ignored;
  if (!sim::g_named_store_path.empty()) {
    std::filesystem::remove(sim::g_named_store_path, ignored);
    std::filesystem::remove(sim::g_named_store_path + ".lock", ignored);
  }
  sim::g_named_store_path.clear();
  if (name.empty()) return;
  sim::g_named_store_path =
      (std::filesystem::temp_directory_path() / ("morvane-named-pasteboard-" + std::string(name)))
          .string();
}

}  // namespace morvane::platform
