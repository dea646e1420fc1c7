#include "input/clipboard/pasteboard_platform_recording.h"

#include "input/clipboard/clipboard_watchdog.h"

namespace morvane::platform {

namespace {

#define MORVANE_WAITING_ON(call) "no answer from " call " before the deadline"

constexpr PlatformCall kCalls[] = {
    {"class_exists", MORVANE_WAITING_ON("objc_getClass")},
    {"autorelease_pool_create", MORVANE_WAITING_ON("NSAutoreleasePool's init")},
    {"autorelease_pool_drain", MORVANE_WAITING_ON("NSAutoreleasePool's drain")},
    {"general_pasteboard", MORVANE_WAITING_ON("NSPasteboard's generalPasteboard")},
    {"responds_to_access_behavior", MORVANE_WAITING_ON("the pasteboard's respondsToSelector:")},
    {"access_behavior", MORVANE_WAITING_ON("the pasteboard's accessBehavior")},
    {"change_count", MORVANE_WAITING_ON("the pasteboard's changeCount")},
    {"clear_contents", MORVANE_WAITING_ON("the pasteboard's clearContents")},
    {"types", MORVANE_WAITING_ON("the pasteboard's types")},
    {"array_contains_type", MORVANE_WAITING_ON("NSArray's containsObject:")},
    {"pasteboard_items", MORVANE_WAITING_ON("the pasteboard's pasteboardItems")},
    {"array_count", MORVANE_WAITING_ON("NSArray's count")},
    {"array_item_at", MORVANE_WAITING_ON("NSArray's objectAtIndex:")},
    {"item_string_for_type", MORVANE_WAITING_ON("a pasteboard item's stringForType:")},
    {"string_for_type", MORVANE_WAITING_ON("the pasteboard's stringForType:")},
    {"data_for_type", MORVANE_WAITING_ON("the pasteboard's dataForType:")},
    {"data_length", MORVANE_WAITING_ON("NSData's length")},
    {"data_bytes", MORVANE_WAITING_ON("NSData's bytes")},
    {"set_string", MORVANE_WAITING_ON("the pasteboard's setString:forType:")},
    {"data_with_bytes", MORVANE_WAITING_ON("NSData's dataWithBytes:length:")},
    {"set_data", MORVANE_WAITING_ON("the pasteboard's setData:forType:")},
    {"mutable_array_create", MORVANE_WAITING_ON("NSMutableArray's init")},
    {"array_add_url", MORVANE_WAITING_ON("NSMutableArray's addObject:")},
    {"write_objects", MORVANE_WAITING_ON("the pasteboard's writeObjects:")},
    {"string_length", MORVANE_WAITING_ON("CFStringGetLength")},
    {"string_utf8", MORVANE_WAITING_ON("CFStringGetBytes")},
    {"string_create_utf8", MORVANE_WAITING_ON("CFStringCreateWithCharacters")},
    {"url_create_with_string", MORVANE_WAITING_ON("CFURLCreateWithString")},
    {"url_file_system_representation", MORVANE_WAITING_ON("CFURLGetFileSystemRepresentation")},
    {"url_is_file_reference", MORVANE_WAITING_ON("CFURLIsFileReferenceURL")},
    {"url_create_file_path_url", MORVANE_WAITING_ON("CFURLCreateFilePathURL")},
    {"url_create_from_path", MORVANE_WAITING_ON("CFURLCreateFromFileSystemRepresentation")},
    {"url_string", MORVANE_WAITING_ON("CFURLGetString")},
    {"data_create_borrowing", MORVANE_WAITING_ON("CFDataCreateWithBytesNoCopy")},
    {"data_create_borrowing_crc_checked_png", MORVANE_WAITING_ON("CFDataCreateWithBytesNoCopy")},
    {"image_source_create", MORVANE_WAITING_ON("CGImageSourceCreateWithData")},
    {"image_source_type", MORVANE_WAITING_ON("CGImageSourceGetType")},
    {"image_source_count", MORVANE_WAITING_ON("CGImageSourceGetCount")},
    {"image_source_status", MORVANE_WAITING_ON("CGImageSourceGetStatus")},
    {"image_source_status_at_index", MORVANE_WAITING_ON("CGImageSourceGetStatusAtIndex")},
    {"image_source_thumbnail", MORVANE_WAITING_ON("CGImageSourceCreateThumbnailAtIndex")},
    {"data_for_image_type", MORVANE_WAITING_ON("the pasteboard's dataForType:")},
    {"image_source_properties", MORVANE_WAITING_ON("CGImageSourceCopyPropertiesAtIndex")},
    {"image_source_upright_image", MORVANE_WAITING_ON("CGImageSourceCreateThumbnailAtIndex")},
    {"image_png_data", MORVANE_WAITING_ON("CGImageDestinationFinalize")},
    {"release", MORVANE_WAITING_ON("CFRelease")},
};

#undef MORVANE_WAITING_ON

// The row of a member, found while compiling: a name that is not in the table reads past its
// end, which is no constant expression, so it does not compile.
consteval std::size_t call_of(std::string_view member) {
  std::size_t row = 0;
  while (kCalls[row].member != member) ++row;
  return row;
}

}  // namespace

std::span<const PlatformCall> platform_calls() { return kCalls; }

const PlatformCall* find_platform_call(std::string_view member) {
  for (const PlatformCall& call : kCalls) {
    if (call.member == member) return &call;
  }
  return nullptr;
}

void RecordingPasteboardPlatform::record(std::size_t call) {
  watchdog::note_waiting(kCalls[call].waiting_detail);
  if (observer_ != nullptr) observer_(kCalls[call]);
}

bool RecordingPasteboardPlatform::class_exists(PlatformClass cls) {
  record(call_of("class_exists"));
  return inner_.class_exists(cls);
}
Pool RecordingPasteboardPlatform::autorelease_pool_create() {
  record(call_of("autorelease_pool_create"));
  return inner_.autorelease_pool_create();
}
void RecordingPasteboardPlatform::autorelease_pool_drain(Pool pool) {
  record(call_of("autorelease_pool_drain"));
  inner_.autorelease_pool_drain(pool);
}
Pasteboard RecordingPasteboardPlatform::general_pasteboard() {
  record(call_of("general_pasteboard"));
  return inner_.general_pasteboard();
}
bool RecordingPasteboardPlatform::responds_to_access_behavior(Pasteboard pasteboard) {
  record(call_of("responds_to_access_behavior"));
  return inner_.responds_to_access_behavior(pasteboard);
}
std::int64_t RecordingPasteboardPlatform::access_behavior(Pasteboard pasteboard) {
  record(call_of("access_behavior"));
  return inner_.access_behavior(pasteboard);
}
std::int64_t RecordingPasteboardPlatform::change_count(Pasteboard pasteboard) {
  record(call_of("change_count"));
  return inner_.change_count(pasteboard);
}
std::int64_t RecordingPasteboardPlatform::clear_contents(Pasteboard pasteboard) {
  record(call_of("clear_contents"));
  return inner_.clear_contents(pasteboard);
}
Array RecordingPasteboardPlatform::types(Pasteboard pasteboard) {
  record(call_of("types"));
  return inner_.types(pasteboard);
}
bool RecordingPasteboardPlatform::array_contains_type(Array types, PasteboardType type) {
  record(call_of("array_contains_type"));
  return inner_.array_contains_type(types, type);
}
Array RecordingPasteboardPlatform::pasteboard_items(Pasteboard pasteboard) {
  record(call_of("pasteboard_items"));
  return inner_.pasteboard_items(pasteboard);
}
std::size_t RecordingPasteboardPlatform::array_count(Array array) {
  record(call_of("array_count"));
  return inner_.array_count(array);
}
Item RecordingPasteboardPlatform::array_item_at(Array array, std::size_t index) {
  record(call_of("array_item_at"));
  return inner_.array_item_at(array, index);
}
String RecordingPasteboardPlatform::item_string_for_type(Item item, PasteboardType type) {
  record(call_of("item_string_for_type"));
  return inner_.item_string_for_type(item, type);
}
String RecordingPasteboardPlatform::string_for_type(Pasteboard pasteboard, PasteboardType type) {
  record(call_of("string_for_type"));
  return inner_.string_for_type(pasteboard, type);
}
Data RecordingPasteboardPlatform::data_for_type(Pasteboard pasteboard, PasteboardType type) {
  record(call_of("data_for_type"));
  return inner_.data_for_type(pasteboard, type);
}
std::size_t RecordingPasteboardPlatform::data_length(Data data) {
  record(call_of("data_length"));
  return inner_.data_length(data);
}
const std::uint8_t* RecordingPasteboardPlatform::data_bytes(Data data) {
  record(call_of("data_bytes"));
  return inner_.data_bytes(data);
}
bool RecordingPasteboardPlatform::set_string(Pasteboard pasteboard, String string, PasteboardType type) {
  record(call_of("set_string"));
  return inner_.set_string(pasteboard, string, type);
}
Data RecordingPasteboardPlatform::data_with_bytes(ByteView bytes) {
  record(call_of("data_with_bytes"));
  return inner_.data_with_bytes(bytes);
}
bool RecordingPasteboardPlatform::set_data(Pasteboard pasteboard, Data data, PasteboardType type) {
  record(call_of("set_data"));
  return inner_.set_data(pasteboard, data, type);
}
Array RecordingPasteboardPlatform::mutable_array_create() {
  record(call_of("mutable_array_create"));
  return inner_.mutable_array_create();
}
void RecordingPasteboardPlatform::array_add_url(Array array, Url url) {
  record(call_of("array_add_url"));
  inner_.array_add_url(array, url);
}
bool RecordingPasteboardPlatform::write_objects(Pasteboard pasteboard, Array array) {
  record(call_of("write_objects"));
  return inner_.write_objects(pasteboard, array);
}
std::size_t RecordingPasteboardPlatform::string_length(String string) {
  record(call_of("string_length"));
  return inner_.string_length(string);
}
std::optional<std::string> RecordingPasteboardPlatform::string_utf8(String string) {
  record(call_of("string_utf8"));
  return inner_.string_utf8(string);
}
String RecordingPasteboardPlatform::string_create_utf8(std::string_view utf8) {
  record(call_of("string_create_utf8"));
  return inner_.string_create_utf8(utf8);
}
Url RecordingPasteboardPlatform::url_create_with_string(String string) {
  record(call_of("url_create_with_string"));
  return inner_.url_create_with_string(string);
}
std::optional<std::string> RecordingPasteboardPlatform::url_file_system_representation(Url url, std::size_t buffer_size) {
  record(call_of("url_file_system_representation"));
  return inner_.url_file_system_representation(url, buffer_size);
}
bool RecordingPasteboardPlatform::url_is_file_reference(Url url) {
  record(call_of("url_is_file_reference"));
  return inner_.url_is_file_reference(url);
}
Url RecordingPasteboardPlatform::url_create_file_path_url(Url url) {
  record(call_of("url_create_file_path_url"));
  return inner_.url_create_file_path_url(url);
}
Url RecordingPasteboardPlatform::url_create_from_path(std::string_view path_bytes) {
  record(call_of("url_create_from_path"));
  return inner_.url_create_from_path(path_bytes);
}
String RecordingPasteboardPlatform::url_string(Url url) {
  record(call_of("url_string"));
  return inner_.url_string(url);
}
Data RecordingPasteboardPlatform::data_create_borrowing(ByteView bytes) {
  record(call_of("data_create_borrowing"));
  return inner_.data_create_borrowing(bytes);
}
Data RecordingPasteboardPlatform::data_create_borrowing_crc_checked_png(ByteView bytes) {
  record(call_of("data_create_borrowing_crc_checked_png"));
  return inner_.data_create_borrowing_crc_checked_png(bytes);
}
ImageSource RecordingPasteboardPlatform::image_source_create(Data data) {
  record(call_of("image_source_create"));
  return inner_.image_source_create(data);
}
std::string RecordingPasteboardPlatform::image_source_type(ImageSource source) {
  record(call_of("image_source_type"));
  return inner_.image_source_type(source);
}
std::size_t RecordingPasteboardPlatform::image_source_count(ImageSource source) {
  record(call_of("image_source_count"));
  return inner_.image_source_count(source);
}
int RecordingPasteboardPlatform::image_source_status(ImageSource source) {
  record(call_of("image_source_status"));
  return inner_.image_source_status(source);
}
int RecordingPasteboardPlatform::image_source_status_at_index(ImageSource source, std::size_t index) {
  record(call_of("image_source_status_at_index"));
  return inner_.image_source_status_at_index(source, index);
}
Image RecordingPasteboardPlatform::image_source_thumbnail(ImageSource source, std::size_t index, const ThumbnailOptions& options) {
  record(call_of("image_source_thumbnail"));
  return inner_.image_source_thumbnail(source, index, options);
}
// The wait limit is the helper's own setting, not a call to the pasteboard that could hang:
// forwarded, not recorded.
void RecordingPasteboardPlatform::set_wait_limit(Instant limit) { inner_.set_wait_limit(limit); }
bool RecordingPasteboardPlatform::wait_limit_reached() { return inner_.wait_limit_reached(); }
Data RecordingPasteboardPlatform::data_for_image_type(Pasteboard pasteboard, ImageType type) {
  record(call_of("data_for_image_type"));
  return inner_.data_for_image_type(pasteboard, type);
}
std::optional<ImageProperties> RecordingPasteboardPlatform::image_source_properties(
    ImageSource source, std::size_t index) {
  record(call_of("image_source_properties"));
  return inner_.image_source_properties(source, index);
}
Image RecordingPasteboardPlatform::image_source_upright_image(ImageSource source,
                                                              std::size_t index,
                                                              std::int32_t max_pixel_size) {
  record(call_of("image_source_upright_image"));
  return inner_.image_source_upright_image(source, index, max_pixel_size);
}
Data RecordingPasteboardPlatform::image_png_data(Image image) {
  record(call_of("image_png_data"));
  return inner_.image_png_data(image);
}
void RecordingPasteboardPlatform::release(const void* object) {
  record(call_of("release"));
  inner_.release(object);
}

}  // namespace morvane::platform
