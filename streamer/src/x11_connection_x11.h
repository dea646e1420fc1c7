#pragma once

// An owned XCB connection and its error texts.

#include <xcb/xcb.h>

#include <expected>
#include <string>

namespace morvane::streamer {

// One XCB connection, closed when the owner goes.
class XConnection {
 public:
  // `display_name` as in DISPLAY; the error says why the display could not be opened.
  static std::expected<XConnection, std::string> open(const std::string& display_name);

  XConnection(XConnection&& other) noexcept;
  XConnection& operator=(XConnection&& other) noexcept;
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  ~XConnection();

  xcb_connection_t* get() const { return connection_; }
  // The first screen; the connection always has one once open succeeded.
  xcb_screen_t* first_screen() const;
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }
  std::string error_description() const;

 private:
  explicit XConnection(xcb_connection_t* connection) : connection_(connection) {}
  xcb_connection_t* connection_ = nullptr;
};

std::string describe_xcb_error(int code);

}  // namespace morvane::streamer
