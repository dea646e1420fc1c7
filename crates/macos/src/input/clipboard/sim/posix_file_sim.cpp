#include "input/clipboard/sim/posix_file_sim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morvane::sim {

namespace {

std::unexpected<IoError> failure(const char* call, const std::string& path) {
  return std::unexpected(IoError{errno, std::string(call) + " " + path + ": " + std::strerror(errno)});
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<FileDescriptor, IoError> open_private_file(const std::string& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return failure("open", path);
  FileDescriptor owned(fd);
  auto status = file_status(owned, path);
  if (!status) return std::unexpected(status.error());
  if (!S_ISREG(status->st_mode) || status->st_uid != ::geteuid()) {
    return std::unexpected(IoError{EPERM, "refusing " + path + ": not a regular file of this user"});
  }
  return owned;
}

std::expected<struct stat, IoError> file_status(const FileDescriptor& fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return failure("fstat", path);
  return status;
}

std::expected<ExclusiveLock, IoError> ExclusiveLock::acquire(const std::string& path) {
  auto fd = open_private_file(path, O_RDWR | O_CREAT);
  if (!fd) return std::unexpected(fd.error());
  int result = 0;
  do {
    result = ::flock(fd->get(), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return failure("flock", path);
  return ExclusiveLock(std::move(*fd));
}

std::expected<Mapping, IoError> Mapping::map(const FileDescriptor& fd, std::size_t size) {
  if (size == 0) return std::unexpected(IoError{EINVAL, "cannot map an empty file"});
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) return failure("mmap", "");
  return Mapping(data, size);
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

std::expected<void, IoError> write_all(const FileDescriptor& fd, ByteView bytes,
                                       const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd.get(), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return failure("write", path);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace morvane::sim
