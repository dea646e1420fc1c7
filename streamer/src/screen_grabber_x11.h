#pragma once

// Reading an X screen through shared memory, and watching it for damage.

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <expected>
#include <string>

#include "capture_interfaces.h"
#include "x11_connection_x11.h"

namespace morvane::streamer {

// A System V shared memory segment attached to this process and to the X server.
class ShmSegment {
 public:
  static std::expected<ShmSegment, std::string> create(xcb_connection_t* connection,
                                                       std::size_t size);
  ShmSegment(ShmSegment&& other) noexcept;
  ShmSegment& operator=(ShmSegment&&) = delete;
  ShmSegment(const ShmSegment&) = delete;
  ~ShmSegment();

  xcb_shm_seg_t id() const { return id_; }
  const std::uint8_t* data() const { return data_; }

 private:
  ShmSegment(xcb_connection_t* connection, xcb_shm_seg_t id, std::uint8_t* data)
      : connection_(connection), id_(id), data_(data) {}
  xcb_connection_t* connection_ = nullptr;
  xcb_shm_seg_t id_ = 0;
  std::uint8_t* data_ = nullptr;
};

// A DAMAGE object on the root window: tells whether anything was drawn since the last look.
class DamageWatch {
 public:
  static std::expected<DamageWatch, std::string> create(xcb_connection_t* connection,
                                                        xcb_window_t root);
  DamageWatch(DamageWatch&& other) noexcept;
  DamageWatch& operator=(DamageWatch&&) = delete;
  DamageWatch(const DamageWatch&) = delete;
  ~DamageWatch();

  // Drains pending events; true when the screen changed since the previous call.
  bool take_changes();

 private:
  DamageWatch(xcb_connection_t* connection, xcb_damage_damage_t id, std::uint8_t notify_event)
      : connection_(connection), id_(id), notify_event_(notify_event) {}
  xcb_connection_t* connection_ = nullptr;
  xcb_damage_damage_t id_ = 0;
  std::uint8_t notify_event_ = 0;
};

// Reads the whole first screen through MIT-SHM into one reused segment, sized for the screen
// as it was when the grabber was made.
class ScreenGrabber {
 public:
  static std::expected<ScreenGrabber, std::string> create(XConnection& connection);

  // The screen's pixels, valid until the next grab; an error when the server refused.
  std::expected<BgraImage, std::string> grab();
  bool take_changes() { return damage_.take_changes(); }
  // Whether the screen is no longer the size this grabber was made for (RandR resized it);
  // false when the server did not answer, which the connection's state then tells.
  bool screen_resized();
  std::uint16_t width() const { return width_; }
  std::uint16_t height() const { return height_; }

 private:
  ScreenGrabber(XConnection& connection, xcb_screen_t* screen, std::uint16_t width,
                std::uint16_t height, ShmSegment segment, DamageWatch damage)
      : connection_(connection), screen_(screen), width_(width), height_(height),
        segment_(std::move(segment)), damage_(std::move(damage)) {}
  XConnection& connection_;
  xcb_screen_t* screen_;
  std::uint16_t width_;
  std::uint16_t height_;
  ShmSegment segment_;
  DamageWatch damage_;
};

}  // namespace morvane::streamer
