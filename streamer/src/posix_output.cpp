#include "posix_output.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace morvane::streamer {

namespace {

std::string error_text(int error) {
  return std::string(std::strerror(error));
}

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
    return std::unexpected(error_text(written < 0 ? errno : EIO));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> DescriptorSink::write_all(std::span<const std::uint8_t> bytes) {
  return write_fully(fd_, bytes);
}

std::expected<void, std::string> DescriptorSink::check_reader() {
  // A pipe whose reader closed reports POLLERR, a socket POLLHUP; files never do. Asking for
  // POLLOUT as well matters where poll watches only the conditions it was asked about.
  pollfd entry{fd_, POLLOUT, 0};
  if (poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0) {
    return std::unexpected(error_text(EPIPE));
  }
  return {};
}

std::optional<std::uint64_t> DescriptorSink::file_position() {
  if (!regular_file_) {
    struct stat status {};
    regular_file_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
  }
  if (!*regular_file_) return std::nullopt;
  const off_t position = ::lseek(fd_, 0, SEEK_CUR);
  if (position < 0) return std::nullopt;
  return static_cast<std::uint64_t>(position);
}

std::expected<void, std::string> DescriptorSink::truncate_to(std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(error_text(EINVAL));
  }
  const auto offset = static_cast<off_t>(position);
  // Back to the cut as well, so that whoever shares this descriptor writes on from there
  // rather than leaving a hole.
  if (::ftruncate(fd_, offset) != 0 || ::lseek(fd_, offset, SEEK_SET) < 0) {
    return std::unexpected(error_text(errno));
  }
  return {};
}

void StandardErrorExit::fail(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  // Nothing can be done if standard error is gone too; the exit status still tells.
  (void)write_fully(STDERR_FILENO,
                    {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  // _exit, not exit: exit would run static destructors on this thread while the capture's
  // threads may still deliver to what they destroy. Nothing is buffered in stdio.
  _exit(1);
}

}  // namespace morvane::streamer
