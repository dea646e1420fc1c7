#include "posix_output_linux.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace morvane::streamer {

namespace {

// Waits until a non-blocking descriptor can take more; a host may hand one over.
bool wait_writable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  while (poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::expected<void, std::string> write_fully(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd)) continue;
    return std::unexpected(std::string(std::strerror(written < 0 ? errno : EIO)));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> DescriptorSink::write_all(std::span<const std::uint8_t> bytes) {
  return write_fully(fd_, bytes);
}

std::expected<void, std::string> DescriptorSink::check_reader() {
  // A pipe whose reader closed reports POLLERR, a socket POLLHUP; files never do.
  pollfd entry{fd_, 0, 0};
  if (poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0) {
    return std::unexpected(std::string(std::strerror(EPIPE)));
  }
  return {};
}

void StandardErrorExit::fail(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  // Nothing can be done if standard error is gone too; the exit status still tells.
  (void)write_fully(STDERR_FILENO,
                    {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  std::exit(1);
}

}  // namespace morvane::streamer
