#include "screen_grabber_x11.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace morvane::streamer {

namespace {

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> owned(Reply* reply) {
  return ReplyPtr<Reply>(reply, &std::free);
}

bool extension_present(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data != nullptr && data->present;
}

// Only 32-bit little-endian pixels with the usual masks are BGRA in memory.
std::expected<void, std::string> check_pixel_layout(const xcb_setup_t* setup,
                                                    const xcb_screen_t* screen) {
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    return std::unexpected(std::string("X screen byte order is not little-endian"));
  }
  int bits_per_pixel = 0;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == screen->root_depth) bits_per_pixel = formats.data->bits_per_pixel;
  }
  if (bits_per_pixel != 32 || (screen->root_depth != 24 && screen->root_depth != 32)) {
    return std::unexpected("X screen depth " + std::to_string(screen->root_depth) +
                           " is not supported; 24 or 32 is needed");
  }
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      const xcb_visualtype_t* visual = visuals.data;
      if (visual->visual_id != screen->root_visual) continue;
      if (visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 &&
          visual->blue_mask == 0xff) {
        return {};
      }
    }
  }
  return std::unexpected(std::string("X screen colour layout is not 8-bit RGB"));
}

// The root window's size now: the connection set-up's copy in xcb_screen_t is not updated
// when RandR resizes the screen.
std::optional<std::pair<std::uint16_t, std::uint16_t>> root_size(xcb_connection_t* connection,
                                                                  xcb_window_t root) {
  auto geometry = owned(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root),
                                               nullptr));
  if (!geometry) return std::nullopt;
  return std::pair{geometry->width, geometry->height};
}

}  // namespace

std::expected<ShmSegment, std::string> ShmSegment::create(xcb_connection_t* connection,
                                                          std::size_t size) {
  const int shm_id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shm_id < 0) return std::unexpected(std::string("shmget: ") + std::strerror(errno));
  void* address = shmat(shm_id, nullptr, 0);
  const int attach_errno = errno;
  const xcb_shm_seg_t id = xcb_generate_id(connection);
  xcb_generic_error_t* error = nullptr;
  if (address != reinterpret_cast<void*>(-1)) {
    error = xcb_request_check(connection, xcb_shm_attach_checked(connection, id, shm_id, 0));
  }
  // Marked for removal now: the kernel frees it once both sides have detached, even if this
  // process is killed.
  shmctl(shm_id, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) {
    return std::unexpected(std::string("shmat: ") + std::strerror(attach_errno));
  }
  if (error != nullptr) {
    std::free(error);
    shmdt(address);
    return std::unexpected(std::string("the X server could not attach shared memory"));
  }
  return ShmSegment(connection, id, static_cast<std::uint8_t*>(address));
}

ShmSegment::ShmSegment(ShmSegment&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)),
      id_(other.id_),
      data_(std::exchange(other.data_, nullptr)) {}

ShmSegment::~ShmSegment() {
  if (data_ == nullptr) return;
  xcb_shm_detach(connection_, id_);
  xcb_flush(connection_);
  shmdt(data_);
}

std::expected<DamageWatch, std::string> DamageWatch::create(xcb_connection_t* connection,
                                                            xcb_window_t root) {
  if (!extension_present(connection, &xcb_damage_id)) {
    return std::unexpected(std::string("the X server has no DAMAGE extension"));
  }
  // The version query is mandatory before any other DAMAGE request.
  auto version = owned(xcb_damage_query_version_reply(
      connection,
      xcb_damage_query_version(connection, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
      nullptr));
  if (!version) return std::unexpected(std::string("the DAMAGE extension did not answer"));
  const std::uint8_t first_event = xcb_get_extension_data(connection, &xcb_damage_id)->first_event;
  const xcb_damage_damage_t id = xcb_generate_id(connection);
  xcb_damage_create(connection, id, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_flush(connection);
  return DamageWatch(connection, id, static_cast<std::uint8_t>(first_event + XCB_DAMAGE_NOTIFY));
}

DamageWatch::DamageWatch(DamageWatch&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)),
      id_(other.id_),
      notify_event_(other.notify_event_) {}

DamageWatch::~DamageWatch() {
  if (connection_ == nullptr) return;
  xcb_damage_destroy(connection_, id_);
  xcb_flush(connection_);
}

bool DamageWatch::take_changes() {
  bool changed = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    if ((event->response_type & 0x7f) == notify_event_) changed = true;
    std::free(event);
  }
  if (changed) {
    // Empties the damage region so that the next drawing sends a new notification.
    xcb_damage_subtract(connection_, id_, XCB_NONE, XCB_NONE);
    xcb_flush(connection_);
  }
  return changed;
}

std::expected<ScreenGrabber, std::string> ScreenGrabber::create(XConnection& connection) {
  xcb_connection_t* c = connection.get();
  xcb_screen_t* screen = connection.first_screen();
  if (auto layout = check_pixel_layout(xcb_get_setup(c), screen); !layout) {
    return std::unexpected(layout.error());
  }
  if (!extension_present(c, &xcb_shm_id)) {
    return std::unexpected(std::string("the X server has no MIT-SHM extension"));
  }
  const auto size = root_size(c, screen->root);
  if (!size) return std::unexpected(std::string("the X server did not give the screen's size"));
  const auto [width, height] = *size;
  auto segment = ShmSegment::create(c, static_cast<std::size_t>(width) * height * 4);
  if (!segment) return std::unexpected(segment.error());
  auto damage = DamageWatch::create(c, screen->root);
  if (!damage) return std::unexpected(damage.error());
  return ScreenGrabber(connection, screen, width, height, std::move(*segment),
                       std::move(*damage));
}

bool ScreenGrabber::screen_resized() {
  const auto size = root_size(connection_.get(), screen_->root);
  return size && *size != std::pair{width_, height_};
}

std::expected<BgraImage, std::string> ScreenGrabber::grab() {
  xcb_connection_t* c = connection_.get();
  const std::uint16_t width = width_;
  const std::uint16_t height = height_;
  xcb_generic_error_t* error = nullptr;
  auto reply = owned(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, screen_->root, 0, 0, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        segment_.id(), 0),
      &error));
  if (!reply) {
    const int code = error != nullptr ? error->error_code : 0;
    std::free(error);
    return std::unexpected("the X server refused the screen image (error " +
                           std::to_string(code) + ")");
  }
  return BgraImage{segment_.data(), width, height, static_cast<std::size_t>(width) * 4};
}

}  // namespace morvane::streamer
