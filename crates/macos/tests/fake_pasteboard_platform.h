#pragma once

// An in-process, scriptable stand-in for the platform seam. Tests set its fields to make any
// platform call fail or misbehave, plant items as another application would, and hook every
// call (`before_call`) to change the pasteboard or move the fake clock at an exact step.
//
// Every call passes through one choke point (note()) that records its name, runs the hook and
// applies an injected fault by call number, so a sweep over the calls of a recorded run covers
// a new seam member as soon as its fake records itself there. It behaves as the platform does
// where a helper could tell: items read before the change count moved answer nothing, a process
// that lost ownership to another writer cannot write, and nil receivers answer nil, NO or 0.

#include <functional>
#include <map>
#include <stdexcept>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "input/clipboard/pasteboard_platform.h"

namespace morvane::testing {

// What an injected raise throws; the helper's entry must turn it into an error response.
struct FakePlatformException : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct FakeItem {
  std::optional<std::u16string> text;  // what stringForType: answers
  // The bytes stored as UTF-8 plain text, when they are not simply the text's UTF-8 form: the
  // platform's string decoder drops a leading byte-order mark that these keep, and another
  // application may store anything.
  std::optional<Bytes> text_data;
  std::optional<std::u16string> file_url;
  std::optional<Bytes> png;
  std::map<platform::ImageType, Bytes> images;  // data of the image types converted to PNG
};

// Not final: a test may override one call to observe what passes through it.
class FakePasteboardPlatform : public platform::PasteboardPlatform {
 public:
  FakePasteboardPlatform();
  ~FakePasteboardPlatform() override;

  // ---- Script ----
  std::set<platform::PlatformClass> missing_classes;
  bool pool_create_nil = false;
  bool pasteboard_nil = false;
  bool responds_to_access = true;
  std::int64_t access = 0;
  std::int64_t count = 0;                    // the change count
  std::optional<std::int64_t> clear_result;  // what clearContents answers, if not the new count
  // clearContents could not be sent before the wait limit (a store locked by another process):
  // it answers -1, changes nothing, and wait_limit_reached() says so.
  bool clear_waits_past_limit = false;
  bool types_nil = false;
  bool items_nil = false;
  std::set<std::size_t> nil_item_indexes;
  bool data_bytes_null = false;
  // dataForType: of the text type answers nil, as for text offered only as UTF-16.
  bool text_data_nil = false;
  bool refuse_set_string = false;
  bool refuse_set_data = false;
  bool refuse_write_objects = false;
  bool data_with_bytes_nil = false;
  bool mutable_array_nil = false;
  bool string_create_nil = false;
  bool url_from_path_nil = false;
  // File reference URLs, by their text: the path URL text each resolves to, or nullopt when it
  // does not resolve (the file is gone). Every other URL is a path URL.
  std::map<std::u16string, std::optional<std::u16string>> file_references;
  bool data_borrow_nil = false;
  bool image_source_nil = false;
  std::string image_type = "public.png";
  std::size_t image_count = 1;
  int image_status = 0;
  int image_status_at_0 = 0;
  bool thumbnail_fails = false;
  // Conversion of the other image types: the properties of image 0 (nullopt: none), whether
  // the full-size decode fails, and the PNG the encoder makes (nullopt: it fails; by default
  // a 1 x 1 PNG).
  std::optional<platform::ImageProperties> image_properties = platform::ImageProperties{1, 1, 1, 8};
  bool upright_image_fails = false;
  std::optional<Bytes> encoded_png;
  std::vector<FakeItem> items;
  // Runs at the start of every platform call with the call's name (the member function name).
  std::function<void(const std::string& call)> before_call;

  // ---- Faults by call number (0-based index into `calls`) ----
  // The call returns the platform's failure value: nil, NO, a negative change count, 0.
  std::optional<std::size_t> fail_call;
  // The call raises, as AppKit raises NSPasteboardCommunicationException. release() and
  // autorelease_pool_drain() never raise: they run on every path out, unwinding included.
  std::optional<std::size_t> raise_call;
  bool fault_applied = false;  // the faulted call existed and modelled the fault

  // ---- Observations ----
  std::vector<std::string> calls;
  std::optional<Instant> wait_limit;  // as last handed over by set_wait_limit
  int pools_created = 0;
  int pools_drained = 0;
  int bad_releases = 0;  // releases of objects that were not owned or already released
  std::size_t live_owned_objects() const { return owned_.size(); }
  int count_calls(const std::string& name) const;

  // ---- Helpers for tests ----
  // Another application clears and writes: the change count advances and it owns the
  // pasteboard, so this process can no longer write until it clears again.
  void external_write(std::vector<FakeItem> new_items);
  bool owns_pasteboard = false;  // this process cleared last
  static FakeItem text_item(std::u16string text);
  static FakeItem url_item(std::u16string url);
  static FakeItem png_item(Bytes png);

  // ---- The seam ----
  bool class_exists(platform::PlatformClass cls) override;
  platform::Pool autorelease_pool_create() override;
  void autorelease_pool_drain(platform::Pool pool) override;
  platform::Pasteboard general_pasteboard() override;
  bool responds_to_access_behavior(platform::Pasteboard) override;
  std::int64_t access_behavior(platform::Pasteboard) override;
  std::int64_t change_count(platform::Pasteboard) override;
  std::int64_t clear_contents(platform::Pasteboard) override;
  platform::Array types(platform::Pasteboard) override;
  bool array_contains_type(platform::Array types, platform::PasteboardType type) override;
  platform::Array pasteboard_items(platform::Pasteboard) override;
  std::size_t array_count(platform::Array array) override;
  platform::Item array_item_at(platform::Array array, std::size_t index) override;
  platform::String item_string_for_type(platform::Item item, platform::PasteboardType type) override;
  platform::String string_for_type(platform::Pasteboard, platform::PasteboardType type) override;
  platform::Data data_for_type(platform::Pasteboard, platform::PasteboardType type) override;
  std::size_t data_length(platform::Data data) override;
  const std::uint8_t* data_bytes(platform::Data data) override;
  bool set_string(platform::Pasteboard, platform::String string, platform::PasteboardType type) override;
  platform::Data data_with_bytes(ByteView bytes) override;
  bool set_data(platform::Pasteboard, platform::Data data, platform::PasteboardType type) override;
  platform::Array mutable_array_create() override;
  void array_add_url(platform::Array array, platform::Url url) override;
  bool write_objects(platform::Pasteboard, platform::Array array) override;
  std::size_t string_length(platform::String string) override;
  std::optional<std::string> string_utf8(platform::String string) override;
  platform::String string_create_utf8(std::string_view utf8) override;
  platform::Url url_create_with_string(platform::String string) override;
  std::optional<std::string> url_file_system_representation(platform::Url url,
                                                           std::size_t buffer_size) override;
  bool url_is_file_reference(platform::Url url) override;
  platform::Url url_create_file_path_url(platform::Url url) override;
  platform::Url url_create_from_path(std::string_view path_bytes) override;
  platform::String url_string(platform::Url url) override;
  platform::Data data_create_borrowing(ByteView bytes) override;
  platform::ImageSource image_source_create(platform::Data data) override;
  std::string image_source_type(platform::ImageSource source) override;
  std::size_t image_source_count(platform::ImageSource source) override;
  int image_source_status(platform::ImageSource source) override;
  int image_source_status_at_index(platform::ImageSource source, std::size_t index) override;
  platform::Image image_source_thumbnail(platform::ImageSource source, std::size_t index,
                                         const platform::ThumbnailOptions& options) override;
  void set_wait_limit(Instant limit) override;
  bool wait_limit_reached() override { return wait_limit_reached_; }

  platform::Data data_for_image_type(platform::Pasteboard, platform::ImageType type) override;
  std::optional<platform::ImageProperties> image_source_properties(platform::ImageSource source,
                                                                   std::size_t index) override;
  platform::Image image_source_upright_image(platform::ImageSource source, std::size_t index,
                                             std::int32_t max_pixel_size) override;
  platform::Data image_png_data(platform::Image image) override;
  void release(const void* object) override;

  struct Object;

 private:
  // Records the call and runs the hook; throws an injected raise; true when the call must
  // answer its failure value instead of its result.
  bool note(const char* call);
  Object* autoreleased(std::unique_ptr<Object> object);
  Object* owned(std::unique_ptr<Object> object);
  FakeItem& first_item();

  std::vector<std::vector<std::unique_ptr<Object>>> pools_;
  std::map<const void*, std::unique_ptr<Object>> owned_;
  std::vector<std::unique_ptr<Object>> leaked_autoreleased_;  // made with no pool open
  int pasteboard_token_ = 0;
  bool wait_limit_reached_ = false;
};

}  // namespace morvane::testing
