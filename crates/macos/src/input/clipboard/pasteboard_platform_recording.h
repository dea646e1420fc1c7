#pragma once

// Where the operation is waiting. Every platform call passes through this layer on its way to
// the implementation and leaves its row behind with one atomic store, so that the watchdog,
// finding the operation stuck past its deadline, can name the call that never answered. The
// layer changes no argument and no result and decides nothing.
//
// A member added to the seam needs its forwarding member and its row here too: one left out
// would send its calls to the seam's default, or leave this class abstract.

#include <cstdint>
#include <span>
#include <string_view>

#include "input/clipboard/pasteboard_platform.h"

namespace morvane::platform {

// One seam member: its name, and what a TIMEOUT records of a call to it that never returned.
struct PlatformCall {
  std::string_view member;
  const char* waiting_detail;
};

// Every member of the seam, in the order the seam declares them.
std::span<const PlatformCall> platform_calls();
// The row of the member of that name; nullptr when there is none.
const PlatformCall* find_platform_call(std::string_view member);

// Told of each call after it is recorded and before it is made.
using CallObserver = void (*)(const PlatformCall& call);

class RecordingPasteboardPlatform final : public PasteboardPlatform {
 public:
  explicit RecordingPasteboardPlatform(PasteboardPlatform& inner, CallObserver observer = nullptr)
      : inner_(inner), observer_(observer) {}

  bool class_exists(PlatformClass cls) override;
  Pool autorelease_pool_create() override;
  void autorelease_pool_drain(Pool pool) override;
  Pasteboard general_pasteboard() override;
  bool responds_to_access_behavior(Pasteboard pasteboard) override;
  std::int64_t access_behavior(Pasteboard pasteboard) override;
  std::int64_t change_count(Pasteboard pasteboard) override;
  std::int64_t clear_contents(Pasteboard pasteboard) override;
  Array types(Pasteboard pasteboard) override;
  bool array_contains_type(Array types, PasteboardType type) override;
  Array pasteboard_items(Pasteboard pasteboard) override;
  std::size_t array_count(Array array) override;
  Item array_item_at(Array array, std::size_t index) override;
  String item_string_for_type(Item item, PasteboardType type) override;
  String string_for_type(Pasteboard pasteboard, PasteboardType type) override;
  Data data_for_type(Pasteboard pasteboard, PasteboardType type) override;
  std::size_t data_length(Data data) override;
  const std::uint8_t* data_bytes(Data data) override;
  bool set_string(Pasteboard pasteboard, String string, PasteboardType type) override;
  Data data_with_bytes(ByteView bytes) override;
  bool set_data(Pasteboard pasteboard, Data data, PasteboardType type) override;
  Array mutable_array_create() override;
  void array_add_url(Array array, Url url) override;
  bool write_objects(Pasteboard pasteboard, Array array) override;
  std::size_t string_length(String string) override;
  std::optional<std::string> string_utf8(String string) override;
  String string_create_utf8(std::string_view utf8) override;
  Url url_create_with_string(String string) override;
  std::optional<std::string> url_file_system_representation(Url url,
                                                           std::size_t buffer_size) override;
  bool url_is_file_reference(Url url) override;
  Url url_create_file_path_url(Url url) override;
  Url url_create_from_path(std::string_view path_bytes) override;
  String url_string(Url url) override;
  Data data_create_borrowing(ByteView bytes) override;
  Data data_create_borrowing_crc_checked_png(ByteView bytes) override;
  ImageSource image_source_create(Data data) override;
  std::string image_source_type(ImageSource source) override;
  std::size_t image_source_count(ImageSource source) override;
  int image_source_status(ImageSource source) override;
  int image_source_status_at_index(ImageSource source, std::size_t index) override;
  Image image_source_thumbnail(ImageSource source, std::size_t index,
                               const ThumbnailOptions& options) override;
  void set_wait_limit(Instant limit) override;
  bool wait_limit_reached() override;
  Data data_for_image_type(Pasteboard pasteboard, ImageType type) override;
  std::optional<ImageProperties> image_source_properties(ImageSource source,
                                                         std::size_t index) override;
  Image image_source_upright_image(ImageSource source, std::size_t index,
                                   std::int32_t max_pixel_size) override;
  Data image_png_data(Image image) override;
  void release(const void* object) override;

 private:
  void record(std::size_t call);

  PasteboardPlatform& inner_;
  CallObserver observer_;
};

}  // namespace morvane::platform
