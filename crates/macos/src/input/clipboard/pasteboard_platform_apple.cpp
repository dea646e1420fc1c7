// The platform seam on macOS: each member is the one AppKit, Foundation, CoreFoundation or
// ImageIO call it stands for. Objective-C classes are found by name and messages are sent
// through objc_msgSend cast to the method's exact C type (arm64 passes arguments by type, so
// an uncast or variadic call would read garbage). nil, NO and NULL come back unchanged.
//
// An NSException raised by AppKit (NSPasteboardCommunicationException) is not caught here:
// the seam has no way to report one. It unwinds through these plain C++ frames to the entry,
// which catches it; a test build (MORVANE_TEST_HOOKS) can raise one on request to prove that.
#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard/pasteboard_platform_recording.h"
#include "input/clipboard/pasteboard_platform_testing.h"
#include "input/utf8.h"
#include "system/apple_declarations.h"

namespace morvane::apple {

namespace {

using platform::PasteboardType;
using platform::PlatformClass;

// NSInteger and NSUInteger on 64-bit macOS.
using NSInteger = long;
using NSUInteger = unsigned long;

// Sends one message. The argument types are never deduced: each call spells the method's
// parameter types, so a wrong width cannot slip through an implicit conversion.
template <typename Result, typename... Params>
Result send(id receiver, SEL selector, std::type_identity_t<Params>... arguments) {
  using Method = Result (*)(id, SEL, Params...);
  return reinterpret_cast<Method>(&objc_msgSend)(receiver, selector, arguments...);
}

// Selectors are interned for the life of the process; look each up once.
struct Selectors {
  SEL alloc = sel_registerName("alloc");
  SEL init = sel_registerName("init");
  SEL drain = sel_registerName("drain");
  SEL general_pasteboard = sel_registerName("generalPasteboard");
  SEL responds_to_selector = sel_registerName("respondsToSelector:");
  SEL access_behavior = sel_registerName("accessBehavior");
  SEL change_count = sel_registerName("changeCount");
  SEL clear_contents = sel_registerName("clearContents");
  SEL types = sel_registerName("types");
  SEL contains_object = sel_registerName("containsObject:");
  SEL pasteboard_items = sel_registerName("pasteboardItems");
  SEL count = sel_registerName("count");
  SEL object_at_index = sel_registerName("objectAtIndex:");
  SEL string_for_type = sel_registerName("stringForType:");
  SEL data_for_type = sel_registerName("dataForType:");
  SEL length = sel_registerName("length");
  SEL bytes = sel_registerName("bytes");
  SEL set_string_for_type = sel_registerName("setString:forType:");
  SEL data_with_bytes_length = sel_registerName("dataWithBytes:length:");
  SEL set_data_for_type = sel_registerName("setData:forType:");
  SEL add_object = sel_registerName("addObject:");
  SEL write_objects = sel_registerName("writeObjects:");
  SEL pasteboard_with_name = sel_registerName("pasteboardWithName:");
  SEL retain = sel_registerName("retain");
  SEL release = sel_registerName("release");
  SEL release_globally = sel_registerName("releaseGlobally");
};

const Selectors& sel() {
  static const Selectors selectors;
  return selectors;
}

const char* class_name(PlatformClass cls) {
  switch (cls) {
    case PlatformClass::autorelease_pool: return "NSAutoreleasePool";
    case PlatformClass::pasteboard: return "NSPasteboard";
    case PlatformClass::data: return "NSData";
    case PlatformClass::mutable_array: return "NSMutableArray";
  }
  return "";
}

// A class as a message receiver; nil when the class is not loaded, and nil answers nil.
id class_object(PlatformClass cls) { return reinterpret_cast<id>(objc_getClass(class_name(cls))); }

// The AppKit constant for each pasteboard type, as the id the messages take.
id type_constant(PasteboardType type) {
  switch (type) {
    case PasteboardType::string: return (id)NSPasteboardTypeString;
    case PasteboardType::png: return (id)NSPasteboardTypePNG;
    case PasteboardType::file_url: return (id)NSPasteboardTypeFileURL;
  }
  return nullptr;
}

// The seam's opaque handles are the platform's object pointers.
id obj(const void* handle) { return (id)handle; }
template <typename Handle>
Handle handle_of(const void* object) {
  return reinterpret_cast<Handle>(const_cast<void*>(object));
}
CFStringRef cf_string(platform::String string) { return reinterpret_cast<CFStringRef>(string); }
CFURLRef cf_url(platform::Url url) { return reinterpret_cast<CFURLRef>(url); }
CGImageSourceRef cg_source(platform::ImageSource source) {
  return reinterpret_cast<CGImageSourceRef>(source);
}

// One owned CoreFoundation object, released once on every path; CFRelease must never see NULL.
class CfOwned {
 public:
  explicit CfOwned(CFTypeRef object) : object_(object) {}
  CfOwned(const CfOwned&) = delete;
  CfOwned& operator=(const CfOwned&) = delete;
  ~CfOwned() {
    if (object_ != nullptr) CFRelease(object_);
  }
  CFTypeRef get() const { return object_; }
  // Hands the object on to a new owner.
  CFTypeRef release() { return std::exchange(object_, nullptr); }

 private:
  CFTypeRef object_;
};

CFIndex cf_index(std::size_t size) { return static_cast<CFIndex>(size); }

// A CFString of an ASCII identifier, made once and kept for the life of the process.
CFStringRef type_string(std::string_view ascii) {
  static std::vector<std::pair<std::string, CFStringRef>> made;
  for (const auto& [text, string] : made) {
    if (text == ascii) return string;
  }
  const std::u16string units(ascii.begin(), ascii.end());
  const CFStringRef string = CFStringCreateWithCharacters(
      kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units.data()), cf_index(units.size()));
  made.emplace_back(std::string(ascii), string);
  return string;
}

CFStringRef image_type_string(platform::ImageType type) {
  return type_string(platform::image_type_identifier(type));
}

// An integer entry of a properties dictionary; nullopt when absent or not a number.
std::optional<std::int64_t> number_in(CFDictionaryRef dictionary, CFStringRef key) {
  const auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, key));
  std::int64_t value = 0;
  if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID() ||
      !CFNumberGetValue(number, kCFNumberSInt64Type, &value)) {
    return std::nullopt;
  }
  return value;
}

// CGImageSourceCreateThumbnailAtIndex with kCGImageSourceThumbnailMaxPixelSize and the given
// boolean options. Without every entry the request would be a different one, so none is made
// when the options cannot be.
platform::Image thumbnail_at(platform::ImageSource source, std::size_t index,
                             std::int32_t max_pixel_size,
                             std::initializer_list<std::pair<CFStringRef, bool>> flags) {
  const CfOwned size(CFNumberCreate(nullptr, kCFNumberSInt32Type, &max_pixel_size));
  if (size.get() == nullptr) return nullptr;
  std::vector<const void*> keys{kCGImageSourceThumbnailMaxPixelSize};
  std::vector<const void*> values{size.get()};
  for (const auto& [key, on] : flags) {
    keys.push_back(key);
    values.push_back(on ? kCFBooleanTrue : kCFBooleanFalse);
  }
  const CfOwned dictionary(CFDictionaryCreate(nullptr, keys.data(), values.data(),
                                              cf_index(keys.size()),
                                              &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
  if (dictionary.get() == nullptr) return nullptr;
  return handle_of<platform::Image>(CGImageSourceCreateThumbnailAtIndex(
      cg_source(source), index, static_cast<CFDictionaryRef>(dictionary.get())));
}

// The whole string in UTF-8, or nullopt when it has no lossless UTF-8 form.
std::optional<std::string> utf8_of(CFStringRef string) {
  const CFIndex length = CFStringGetLength(string);
  // The fast pointer is NUL-terminated, so a string holding U+0000 would come back short: use
  // it only when its byte count equals the UTF-16 count, which proves it is the whole string.
  if (const char* fast = CFStringGetCStringPtr(string, kCFStringEncodingUTF8); fast != nullptr) {
    const std::string_view text(fast);
    if (cf_index(text.size()) == length) return std::string(text);
  }
  // A loss byte of 0 makes the conversion stop at an unconvertible unit (an unpaired
  // surrogate), which shows as fewer units converted than asked for.
  const CFRange whole = CFRangeMake(0, length);
  CFIndex needed = 0;
  if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed) !=
      length) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  CFIndex used = 0;
  if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false,
                       reinterpret_cast<UInt8*>(bytes.data()), needed, &used) != length ||
      used != needed) {
    return std::nullopt;
  }
  // What the converter does with a lone surrogate is not documented; never pass on bytes that
  // are not UTF-8.
  if (!is_valid_utf8(bytes)) return std::nullopt;
  return bytes;
}

// The named pasteboard that stands in for the general one in the seam's tests; retained.
id g_named_pasteboard = nullptr;

// Test builds only: when MORVANE_TEST_RAISE_IN names `member`, raises the exception AppKit
// raises when the pasteboard server fails, from Foundation, below this plain C++ frame. The
// shipped helper has no such hook: without MORVANE_TEST_HOOKS this does nothing.
void raise_if_asked([[maybe_unused]] std::string_view member) {
#if defined(MORVANE_TEST_HOOKS)
  const char* asked = std::getenv("MORVANE_TEST_RAISE_IN");
  if (asked == nullptr || member != asked) return;
  auto ns_string = [](std::u16string_view text) {
    return CfOwned(CFStringCreateWithCharacters(
        nullptr, reinterpret_cast<const UniChar*>(text.data()), cf_index(text.size())));
  };
  const CfOwned name = ns_string(u"NSPasteboardCommunicationException");
  const CfOwned reason = ns_string(u"raised on request by a test build");
  // The exception copies its name and reason; it is autoreleased, and the runtime keeps it
  // alive while it is raised.
  const id exception = send<id, id, id, id>(reinterpret_cast<id>(objc_getClass("NSException")),
                                            sel_registerName("exceptionWithName:reason:userInfo:"),
                                            (id)name.get(), (id)reason.get(), nullptr);
  send<void>(exception, sel_registerName("raise"));
#endif
}

class ApplePasteboardPlatform final : public platform::PasteboardPlatform {
 public:
  bool class_exists(PlatformClass cls) override { return class_object(cls) != nullptr; }

  platform::Pool autorelease_pool_create() override {
    const id allocated = send<id>(class_object(PlatformClass::autorelease_pool), sel().alloc);
    return handle_of<platform::Pool>(send<id>(allocated, sel().init));
  }

  void autorelease_pool_drain(platform::Pool pool) override { send<void>(obj(pool), sel().drain); }

  platform::Pasteboard general_pasteboard() override {
    if (g_named_pasteboard != nullptr) return handle_of<platform::Pasteboard>(g_named_pasteboard);
    return handle_of<platform::Pasteboard>(
        send<id>(class_object(PlatformClass::pasteboard), sel().general_pasteboard));
  }

  bool responds_to_access_behavior(platform::Pasteboard pasteboard) override {
    return send<BOOL, SEL>(obj(pasteboard), sel().responds_to_selector, sel().access_behavior);
  }

  std::int64_t access_behavior(platform::Pasteboard pasteboard) override {
    return send<NSInteger>(obj(pasteboard), sel().access_behavior);
  }

  std::int64_t change_count(platform::Pasteboard pasteboard) override {
    raise_if_asked("change_count");
    return send<NSInteger>(obj(pasteboard), sel().change_count);
  }

  std::int64_t clear_contents(platform::Pasteboard pasteboard) override {
    raise_if_asked("clear_contents");
    return send<NSInteger>(obj(pasteboard), sel().clear_contents);
  }

  platform::Array types(platform::Pasteboard pasteboard) override {
    return handle_of<platform::Array>(send<id>(obj(pasteboard), sel().types));
  }

  bool array_contains_type(platform::Array types, PasteboardType type) override {
    return send<BOOL, id>(obj(types), sel().contains_object, type_constant(type));
  }

  platform::Array pasteboard_items(platform::Pasteboard pasteboard) override {
    return handle_of<platform::Array>(send<id>(obj(pasteboard), sel().pasteboard_items));
  }

  std::size_t array_count(platform::Array array) override {
    return send<NSUInteger>(obj(array), sel().count);
  }

  platform::Item array_item_at(platform::Array array, std::size_t index) override {
    return handle_of<platform::Item>(
        send<id, NSUInteger>(obj(array), sel().object_at_index, index));
  }

  platform::String item_string_for_type(platform::Item item, PasteboardType type) override {
    return handle_of<platform::String>(
        send<id, id>(obj(item), sel().string_for_type, type_constant(type)));
  }

  platform::String string_for_type(platform::Pasteboard pasteboard, PasteboardType type) override {
    return handle_of<platform::String>(
        send<id, id>(obj(pasteboard), sel().string_for_type, type_constant(type)));
  }

  platform::Data data_for_type(platform::Pasteboard pasteboard, PasteboardType type) override {
    return handle_of<platform::Data>(
        send<id, id>(obj(pasteboard), sel().data_for_type, type_constant(type)));
  }

  std::size_t data_length(platform::Data data) override {
    return send<NSUInteger>(obj(data), sel().length);
  }

  const std::uint8_t* data_bytes(platform::Data data) override {
    return static_cast<const std::uint8_t*>(send<const void*>(obj(data), sel().bytes));
  }

  bool set_string(platform::Pasteboard pasteboard, platform::String string,
                  PasteboardType type) override {
    raise_if_asked("set_string");
    return send<BOOL, id, id>(obj(pasteboard), sel().set_string_for_type, obj(string),
                              type_constant(type));
  }

  platform::Data data_with_bytes(ByteView bytes) override {
    return handle_of<platform::Data>(
        send<id, const void*, NSUInteger>(class_object(PlatformClass::data),
                                          sel().data_with_bytes_length, bytes.data(), bytes.size()));
  }

  bool set_data(platform::Pasteboard pasteboard, platform::Data data, PasteboardType type) override {
    return send<BOOL, id, id>(obj(pasteboard), sel().set_data_for_type, obj(data),
                              type_constant(type));
  }

  platform::Array mutable_array_create() override {
    const id allocated = send<id>(class_object(PlatformClass::mutable_array), sel().alloc);
    return handle_of<platform::Array>(send<id>(allocated, sel().init));
  }

  void array_add_url(platform::Array array, platform::Url url) override {
    send<void, id>(obj(array), sel().add_object, obj(url));
  }

  bool write_objects(platform::Pasteboard pasteboard, platform::Array array) override {
    return send<BOOL, id>(obj(pasteboard), sel().write_objects, obj(array));
  }

  std::size_t string_length(platform::String string) override {
    return static_cast<std::size_t>(CFStringGetLength(cf_string(string)));
  }

  std::optional<std::string> string_utf8(platform::String string) override {
    return utf8_of(cf_string(string));
  }

  platform::String string_create_utf8(std::string_view utf8) override {
    // CFStringCreateWithBytes would decode the bytes and drop a leading byte-order mark, so
    // text that begins with U+FEFF would lose it; the code units go in as they are instead.
    const std::optional<std::u16string> units = utf8_to_utf16(utf8);
    if (!units) return nullptr;
    static_assert(sizeof(char16_t) == sizeof(UniChar));
    return handle_of<platform::String>(CFStringCreateWithCharacters(
        kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units->data()),
        cf_index(units->size())));
  }

  platform::Url url_create_with_string(platform::String string) override {
    return handle_of<platform::Url>(CFURLCreateWithString(nullptr, cf_string(string), nullptr));
  }

  std::optional<std::string> url_file_system_representation(platform::Url url,
                                                            std::size_t buffer_size) override {
    std::vector<UInt8> buffer(buffer_size);
    if (!CFURLGetFileSystemRepresentation(cf_url(url), true, buffer.data(), cf_index(buffer_size))) {
      return std::nullopt;
    }
    const auto end = std::find(buffer.begin(), buffer.end(), UInt8{0});
    return std::string(buffer.begin(), end);
  }

  bool url_is_file_reference(platform::Url url) override {
    return CFURLIsFileReferenceURL(cf_url(url)) != 0;
  }

  platform::Url url_create_file_path_url(platform::Url url) override {
    return handle_of<platform::Url>(CFURLCreateFilePathURL(nullptr, cf_url(url), nullptr));
  }

  platform::Url url_create_from_path(std::string_view path_bytes) override {
    return handle_of<platform::Url>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path_bytes.data()), cf_index(path_bytes.size()),
        false));
  }

  platform::String url_string(platform::Url url) override {
    return handle_of<platform::String>(CFURLGetString(cf_url(url)));
  }

  platform::Data data_create_borrowing(ByteView bytes) override {
    return handle_of<platform::Data>(CFDataCreateWithBytesNoCopy(
        nullptr, bytes.data(), cf_index(bytes.size()), kCFAllocatorNull));
  }

  platform::ImageSource image_source_create(platform::Data data) override {
    return handle_of<platform::ImageSource>(
        CGImageSourceCreateWithData(reinterpret_cast<CFDataRef>(data), nullptr));
  }

  std::string image_source_type(platform::ImageSource source) override {
    const CFStringRef type = CGImageSourceGetType(cg_source(source));  // not owned
    if (type == nullptr) return {};
    return utf8_of(type).value_or(std::string());
  }

  std::size_t image_source_count(platform::ImageSource source) override {
    return CGImageSourceGetCount(cg_source(source));
  }

  int image_source_status(platform::ImageSource source) override {
    return CGImageSourceGetStatus(cg_source(source));
  }

  int image_source_status_at_index(platform::ImageSource source, std::size_t index) override {
    return CGImageSourceGetStatusAtIndex(cg_source(source), index);
  }

  platform::Image image_source_thumbnail(platform::ImageSource source, std::size_t index,
                                         const platform::ThumbnailOptions& options) override {
    return thumbnail_at(source, index, options.max_pixel_size,
                        {{kCGImageSourceCreateThumbnailFromImageAlways, options.from_image_always},
                         {kCGImageSourceShouldCacheImmediately, options.cache_immediately}});
  }

  platform::Data data_for_image_type(platform::Pasteboard pasteboard,
                                     platform::ImageType type) override {
    return handle_of<platform::Data>(
        send<id, id>(obj(pasteboard), sel().data_for_type, (id)image_type_string(type)));
  }

  std::optional<platform::ImageProperties> image_source_properties(platform::ImageSource source,
                                                                   std::size_t index) override {
    const CfOwned properties(CGImageSourceCopyPropertiesAtIndex(cg_source(source), index, nullptr));
    if (properties.get() == nullptr) return std::nullopt;
    const auto dictionary = static_cast<CFDictionaryRef>(properties.get());
    return platform::ImageProperties{
        number_in(dictionary, kCGImagePropertyPixelWidth),
        number_in(dictionary, kCGImagePropertyPixelHeight),
        number_in(dictionary, kCGImagePropertyOrientation).value_or(1),
        number_in(dictionary, kCGImagePropertyDepth)};
  }

  platform::Image image_source_upright_image(platform::ImageSource source, std::size_t index,
                                             std::int32_t max_pixel_size) override {
    return thumbnail_at(source, index, max_pixel_size,
                        {{kCGImageSourceCreateThumbnailFromImageAlways, true},
                         {kCGImageSourceCreateThumbnailWithTransform, true},
                         {kCGImageSourceShouldCacheImmediately, true}});
  }

  platform::Data image_png_data(platform::Image image) override {
    CfOwned data(CFDataCreateMutable(nullptr, 0));
    if (data.get() == nullptr) return nullptr;
    const CfOwned destination(CGImageDestinationCreateWithData(
        static_cast<CFMutableDataRef>(const_cast<void*>(data.get())),
        type_string(platform::kPngTypeIdentifier), 1, nullptr));
    if (destination.get() == nullptr) return nullptr;
    const auto writer = static_cast<CGImageDestinationRef>(const_cast<void*>(destination.get()));
    CGImageDestinationAddImage(writer, reinterpret_cast<CGImageRef>(image), nullptr);
    if (!CGImageDestinationFinalize(writer)) return nullptr;
    return handle_of<platform::Data>(data.release());
  }

  // Every owned object of the seam is a CoreFoundation object or toll-free bridged to one
  // (NSMutableArray is CFMutableArray), so CFRelease releases them all.
  void release(const void* object) override {
    if (object != nullptr) CFRelease(object);
  }
};

}  // namespace

}  // namespace morvane::apple

namespace morvane::platform {

PasteboardPlatform& pasteboard_platform() {
  static apple::ApplePasteboardPlatform platform;
  static RecordingPasteboardPlatform recording(platform);
  return recording;
}

void use_named_pasteboard_for_testing(std::string_view name) {
  using namespace apple;
  if (g_named_pasteboard != nullptr) {
    send<void>(g_named_pasteboard, sel().release_globally);
    send<void>(g_named_pasteboard, sel().release);
    g_named_pasteboard = nullptr;
  }
  if (name.empty()) return;
  const std::optional<std::u16string> units = utf8_to_utf16(name);
  if (!units) return;
  const CfOwned cf_name(CFStringCreateWithCharacters(
      kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units->data()), cf_index(units->size())));
  if (cf_name.get() == nullptr) return;
  const id named = send<id, id>(class_object(PlatformClass::pasteboard),
                                sel().pasteboard_with_name, (id)cf_name.get());
  if (named != nullptr) g_named_pasteboard = send<id>(named, sel().retain);
}

}  // namespace morvane::platform
