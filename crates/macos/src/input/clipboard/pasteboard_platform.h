#pragma once

// The one seam between the clipboard logic and the platform. Each member is one AppKit,
// Foundation, CoreFoundation or ImageIO call (or the smallest group of calls that always go
// together), with the platform's own way of failing left visible: nil objects come back as
// nullptr, BOOLs as bool, counts as integers. Every decision about those results is made by
// the callers above the seam, never here.
//
// Two implementations exist: the Apple one (pasteboard_platform_apple.cpp) and the simulated
// general pasteboard used on other systems (pasteboard_platform_sim.cpp). Unit tests drive the
// logic through an in-process fake of this interface instead.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "system/bytes.h"
#include "wait/monotonic_clock.h"

namespace morvane::platform {

// Opaque platform objects; on Apple, Objective-C or CoreFoundation object pointers.
struct PoolObject;
struct PasteboardObject;
struct ArrayObject;
struct ItemObject;
struct StringObject;
struct DataObject;
struct UrlObject;
struct ImageSourceObject;
struct ImageObject;

using Pool = PoolObject*;
using Pasteboard = PasteboardObject*;
using Array = ArrayObject*;
using Item = ItemObject*;
using String = StringObject*;
using Data = DataObject*;
using Url = UrlObject*;
using ImageSource = ImageSourceObject*;
using Image = ImageObject*;

// NSPasteboardTypeString, NSPasteboardTypePNG, NSPasteboardTypeFileURL.
enum class PasteboardType { string, png, file_url };

// The Objective-C classes the helper looks up by name.
enum class PlatformClass { autorelease_pool, pasteboard, data, mutable_array };

// CGImageSourceStatus value for a complete source or image.
inline constexpr int kImageStatusComplete = 0;
// The UTI ImageIO reports for PNG data.
inline constexpr std::string_view kPngTypeIdentifier = "public.png";

// The thumbnail request: kCGImageSourceCreateThumbnailFromImageAlways,
// kCGImageSourceThumbnailMaxPixelSize and kCGImageSourceShouldCacheImmediately.
struct ThumbnailOptions {
  bool from_image_always = true;
  std::int32_t max_pixel_size = 1;
  bool cache_immediately = true;
};

// The image types read when the pasteboard holds no PNG, converted to PNG; in the order read.
enum class ImageType { tiff, jpeg, heic, gif, bmp };
inline constexpr ImageType kConvertedImageTypes[] = {ImageType::tiff, ImageType::jpeg,
                                                     ImageType::heic, ImageType::gif,
                                                     ImageType::bmp};

// The UTI of each, as the pasteboard and ImageIO name it.
constexpr std::string_view image_type_identifier(ImageType type) {
  switch (type) {
    case ImageType::tiff: return "public.tiff";
    case ImageType::jpeg: return "public.jpeg";
    case ImageType::heic: return "public.heic";
    case ImageType::gif: return "com.compuserve.gif";
    case ImageType::bmp: return "com.microsoft.bmp";
  }
  return "";
}

// What an image source's properties say of image 0 (kCGImagePropertyPixelWidth, PixelHeight,
// Orientation, Depth): the stored size, before the orientation is applied. An absent entry is
// nullopt, except the orientation, which is then 1.
struct ImageProperties {
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  std::int64_t orientation = 1;
  std::optional<std::int64_t> depth;
};

class PasteboardPlatform {
 public:
  virtual ~PasteboardPlatform() = default;

  // objc_getClass(name) != nil.
  virtual bool class_exists(PlatformClass cls) = 0;

  // [[NSAutoreleasePool alloc] init]; nullptr when nil.
  virtual Pool autorelease_pool_create() = 0;
  // [pool drain]: frees every object autoreleased since the pool was created.
  virtual void autorelease_pool_drain(Pool pool) = 0;

  // [NSPasteboard generalPasteboard]; not retained; nullptr when nil.
  virtual Pasteboard general_pasteboard() = 0;
  // [pasteboard respondsToSelector:@selector(accessBehavior)].
  virtual bool responds_to_access_behavior(Pasteboard pasteboard) = 0;
  // [pasteboard accessBehavior]: 3 means reads are always denied.
  virtual std::int64_t access_behavior(Pasteboard pasteboard) = 0;
  virtual std::int64_t change_count(Pasteboard pasteboard) = 0;
  // [pasteboard clearContents]: the new change count; negative is invalid.
  virtual std::int64_t clear_contents(Pasteboard pasteboard) = 0;

  // [pasteboard types]; autoreleased; nullptr when nil.
  virtual Array types(Pasteboard pasteboard) = 0;
  // [array containsObject:<type constant>].
  virtual bool array_contains_type(Array types, PasteboardType type) = 0;
  // [pasteboard pasteboardItems]; autoreleased; nullptr when nil.
  virtual Array pasteboard_items(Pasteboard pasteboard) = 0;
  virtual std::size_t array_count(Array array) = 0;
  // [array objectAtIndex:index]; nullptr when nil.
  virtual Item array_item_at(Array array, std::size_t index) = 0;
  // [item stringForType:type]; autoreleased; nullptr when nil.
  virtual String item_string_for_type(Item item, PasteboardType type) = 0;
  // [pasteboard stringForType:type]; autoreleased; nullptr when nil.
  virtual String string_for_type(Pasteboard pasteboard, PasteboardType type) = 0;
  // [pasteboard dataForType:type]; autoreleased; nullptr when nil. For `string`, the bytes
  // stored under public.utf8-plain-text, undecoded (a leading EF BB BF included), of the first
  // item that has the type.
  virtual Data data_for_type(Pasteboard pasteboard, PasteboardType type) = 0;
  // [data length].
  virtual std::size_t data_length(Data data) = 0;
  // [data bytes]; nullptr when NULL.
  virtual const std::uint8_t* data_bytes(Data data) = 0;

  // [pasteboard setString:string forType:type].
  virtual bool set_string(Pasteboard pasteboard, String string, PasteboardType type) = 0;
  // [NSData dataWithBytes:length:]: an autoreleased copy; nullptr when nil.
  virtual Data data_with_bytes(ByteView bytes) = 0;
  // [pasteboard setData:data forType:type].
  virtual bool set_data(Pasteboard pasteboard, Data data, PasteboardType type) = 0;
  // [[NSMutableArray alloc] init]: owned (release()); nullptr when nil.
  virtual Array mutable_array_create() = 0;
  // [array addObject:url]: the array retains the URL.
  virtual void array_add_url(Array array, Url url) = 0;
  // [pasteboard writeObjects:array].
  virtual bool write_objects(Pasteboard pasteboard, Array array) = 0;

  // CFStringGetLength: UTF-16 code units.
  virtual std::size_t string_length(String string) = 0;
  // CFStringGetCStringPtr / CFStringGetBytes in UTF-8; nullopt when the string has no
  // lossless UTF-8 form (an unpaired surrogate).
  virtual std::optional<std::string> string_utf8(String string) = 0;
  // The platform string of exactly the UTF-16 code units of `utf8`
  // (CFStringCreateWithCharacters): every character arrives as given, a leading U+FEFF and
  // U+0000 included; no byte-order mark is consumed, as decoding the bytes as UTF-8 would.
  // Owned; nullptr when `utf8` is not valid UTF-8 or the call fails.
  virtual String string_create_utf8(std::string_view utf8) = 0;

  // CFURLCreateWithString(NULL, string, NULL): owned; nullptr when malformed.
  virtual Url url_create_with_string(String string) = 0;
  // CFURLGetFileSystemRepresentation(url, true, buffer, buffer_size): the bytes before the
  // first NUL; nullopt when the call returns false.
  virtual std::optional<std::string> url_file_system_representation(Url url,
                                                                   std::size_t buffer_size) = 0;
  // CFURLIsFileReferenceURL: the URL names a file by volume and file id
  // (file:///.file/id=...), as Finder's copied files do, rather than by path.
  virtual bool url_is_file_reference(Url url) = 0;
  // CFURLCreateFilePathURL(NULL, url, NULL): the path URL of the file the URL names; owned;
  // nullptr when it cannot be made, as for a reference to a file that no longer exists.
  virtual Url url_create_file_path_url(Url url) = 0;
  // CFURLCreateFromFileSystemRepresentation(NULL, bytes, length, false): owned; nullptr on failure.
  virtual Url url_create_from_path(std::string_view path_bytes) = 0;
  // CFURLGetString: the URL's text as the pasteboard will hold it; not owned.
  virtual String url_string(Url url) = 0;

  // CFDataCreateWithBytesNoCopy(NULL, bytes, length, kCFAllocatorNull): owned, borrows bytes.
  virtual Data data_create_borrowing(ByteView bytes) = 0;
  // The same for PNG bytes whose every chunk CRC the caller has just checked, so that a decoder
  // of this platform that can leave them unchecked may. ImageIO cannot be told: by default
  // this is data_create_borrowing.
  virtual Data data_create_borrowing_crc_checked_png(ByteView bytes) {
    return data_create_borrowing(bytes);
  }
  // CGImageSourceCreateWithData(data, NULL): owned; nullptr on failure.
  virtual ImageSource image_source_create(Data data) = 0;
  // CGImageSourceGetType; empty when NULL.
  virtual std::string image_source_type(ImageSource source) = 0;
  virtual std::size_t image_source_count(ImageSource source) = 0;
  virtual int image_source_status(ImageSource source) = 0;
  virtual int image_source_status_at_index(ImageSource source, std::size_t index) = 0;
  // CGImageSourceCreateThumbnailAtIndex: owned; nullptr when decoding fails.
  virtual Image image_source_thumbnail(ImageSource source, std::size_t index,
                                       const ThumbnailOptions& options) = 0;

  // The instant past which no call of this thread may wait for the pasteboard; a call that
  // would have to wait longer fails as the platform fails (nil, NO, an invalid count) without
  // having sent anything, and wait_limit_reached() then says so until the limit is set again.
  // AppKit gives the helper nothing to wait on that it could bound, so on Apple this is
  // nothing; the simulated pasteboard waits on its store's lock.
  virtual void set_wait_limit(Instant) {}
  virtual bool wait_limit_reached() { return false; }

  // ---- Images of other types, converted to PNG when the pasteboard offers no PNG ----

  // [pasteboard dataForType:<the type's UTI>]; autoreleased; nullptr when nil. The Data is
  // an NSData, so image_source_create takes it as it is.
  virtual Data data_for_image_type(Pasteboard pasteboard, ImageType type) = 0;
  // CGImageSourceCopyPropertiesAtIndex(source, index, NULL): the header's facts, read without
  // decoding any pixel; nullopt when it returns NULL.
  virtual std::optional<ImageProperties> image_source_properties(ImageSource source,
                                                                 std::size_t index) = 0;
  // CGImageSourceCreateThumbnailAtIndex with kCGImageSourceCreateThumbnailFromImageAlways,
  // kCGImageSourceCreateThumbnailWithTransform and kCGImageSourceShouldCacheImmediately true
  // and kCGImageSourceThumbnailMaxPixelSize = max_pixel_size: given the longer side, the whole
  // image at full size with its orientation applied. Owned; nullptr when decoding fails.
  virtual Image image_source_upright_image(ImageSource source, std::size_t index,
                                           std::int32_t max_pixel_size) = 0;
  // CFDataCreateMutable, CGImageDestinationCreateWithData(data, "public.png", 1, NULL),
  // CGImageDestinationAddImage and CGImageDestinationFinalize, which always go together: the
  // image encoded as PNG. Owned; nullptr when any of them fails.
  virtual Data image_png_data(Image image) = 0;

  // CFRelease / -release of an owned object of any of the kinds above.
  virtual void release(const void* object) = 0;
};

// The implementation this program was built with.
PasteboardPlatform& pasteboard_platform();

// Owns one platform object and releases it exactly once, on every path.
template <typename Handle>
class Owned {
 public:
  Owned() = default;
  Owned(PasteboardPlatform& platform, Handle handle) : platform_(&platform), handle_(handle) {}
  Owned(Owned&& other) noexcept
      : platform_(other.platform_), handle_(std::exchange(other.handle_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      platform_ = other.platform_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) platform_->release(handle_);
    handle_ = nullptr;
  }

 private:
  PasteboardPlatform* platform_ = nullptr;
  Handle handle_ = nullptr;
};

template <typename Handle>
Owned<Handle> own(PasteboardPlatform& platform, Handle handle) {
  return Owned<Handle>(platform, handle);
}

}  // namespace morvane::platform
