#include "posix_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// `counted` grows by every byte that went out, also when a later call fails.
std::expected<void, std::string> write_fully(int fd, std::span<const std::uint8_t> bytes,
                                             std::uint64_t& counted) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      counted += static_cast<std::uint64_t>(written);
      bytes = bytes.subspan(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd)) continue;
    return std::unexpected(error_text(written < 0 ? errno : EIO));
  }
  return {};
}

std::optional<std::uint64_t> file_size(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

std::expected<void, std::string> DescriptorSink::write_all(std::span<const std::uint8_t> bytes) {
  return write_fully(fd_, bytes, written_since_start_);
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

void DescriptorSink::learn_kind() {
  if (regular_file_) return;
  struct stat status {};
  regular_file_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
  if (!*regular_file_) return;
  const int flags = ::fcntl(fd_, F_GETFL);
  append_ = flags != -1 && (flags & O_APPEND) != 0;
  first_size_ = static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::uint64_t> DescriptorSink::file_position() {
  learn_kind();
  if (!*regular_file_) return std::nullopt;
  // In append mode the offset says nothing (it stays 0 until the first write): every write
  // lands at the file's end, so that is where the next record starts.
  std::optional<std::uint64_t> position = append_ ? file_size(fd_) : std::nullopt;
  if (!append_) {
    const off_t offset = ::lseek(fd_, 0, SEEK_CUR);
    if (offset >= 0) position = static_cast<std::uint64_t>(offset);
  }
  if (!position) return std::nullopt;
  record_start_ = *position;
  written_since_start_ = 0;
  return position;
}

std::expected<void, std::string> DescriptorSink::truncate_to(std::uint64_t position) {
  learn_kind();
  const std::optional<std::uint64_t> size = file_size(fd_);
  if (!size) return std::unexpected(error_text(errno));
  // Another writer appending to the same file puts its bytes after ours: a file that is not
  // exactly this record's start plus what went out since holds someone else's bytes.
  if (append_ && *size != record_start_ + written_since_start_) {
    return std::unexpected(std::string("the file was appended to by another writer"));
  }
  // What the file held before this sink wrote to it was never ours to take back.
  const std::uint64_t cut = std::max(position, first_size_);
  if (cut >= *size) return {};
  if (cut > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(error_text(EINVAL));
  }
  const auto offset = static_cast<off_t>(cut);
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
  std::uint64_t written = 0;
  (void)write_fully(STDERR_FILENO,
                    {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, written);
  // _exit, not exit: exit would run static destructors on this thread while the capture's
  // threads may still deliver to what they destroy. Nothing is buffered in stdio.
  _exit(1);
}

}  // namespace morvane::streamer
