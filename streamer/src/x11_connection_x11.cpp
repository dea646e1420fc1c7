#include "x11_connection_x11.h"

#include <utility>

namespace morvane::streamer {

std::string describe_xcb_error(int code) {
  switch (code) {
    case 0: return "no error";
    case XCB_CONN_ERROR: return "the connection to the X server was lost";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "an X extension is not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory for the X connection";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "an X request exceeded the maximum length";
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display name could not be parsed";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the X server has no such screen";
    default: return "X connection error " + std::to_string(code);
  }
}

std::expected<XConnection, std::string> XConnection::open(const std::string& display_name) {
  // xcb_connect returns a connection object even on failure; it must still be released.
  XConnection connection(xcb_connect(display_name.c_str(), nullptr));
  if (connection.broken()) {
    const int code = xcb_connection_has_error(connection.get());
    // A plain connection error at this point means nothing answered on that display.
    return std::unexpected("cannot open X display \"" + display_name + "\"" +
                           (code == XCB_CONN_ERROR ? "" : ": " + describe_xcb_error(code)));
  }
  if (connection.first_screen() == nullptr) {
    return std::unexpected("X display \"" + display_name + "\" has no screen");
  }
  return connection;
}

XConnection::XConnection(XConnection&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)) {}

XConnection& XConnection::operator=(XConnection&& other) noexcept {
  std::swap(connection_, other.connection_);
  return *this;
}

XConnection::~XConnection() {
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

xcb_screen_t* XConnection::first_screen() const {
  xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  return roots.rem > 0 ? roots.data : nullptr;
}

std::string XConnection::error_description() const {
  return describe_xcb_error(xcb_connection_has_error(connection_));
}

}  // namespace morvane::streamer
