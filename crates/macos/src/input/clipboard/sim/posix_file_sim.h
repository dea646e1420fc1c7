#pragma once

// Small owners for the POSIX resources of the simulated pasteboard's store: a descriptor, an
// exclusive advisory lock, and a read-only mapping. Each releases its resource exactly once.

#include <sys/stat.h>

#include <cstddef>
#include <expected>
#include <string>
#include <utility>

#include "system/bytes.h"

namespace morvane::sim {

// What went wrong: errno (0 when it was not a system call) and a text for people with the
// failed call and the path.
struct IoError {
  int code = 0;
  std::string message;
};

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens a regular file of ours without following a symbolic link at the last component, so a
// link planted in a shared directory cannot redirect the store. `created` files get mode 0600.
std::expected<FileDescriptor, IoError> open_private_file(const std::string& path, int flags);

std::expected<struct stat, IoError> file_status(const FileDescriptor& fd, const std::string& path);

// Holds flock(LOCK_EX) on a lock file until destroyed.
class ExclusiveLock {
 public:
  static std::expected<ExclusiveLock, IoError> acquire(const std::string& path);

 private:
  explicit ExclusiveLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;  // closing it releases the lock
};

// A read-only shared mapping of a whole file. The store never changes a file once written (new
// versions are renamed over it), so the bytes stay stable for as long as the mapping lives.
class Mapping {
 public:
  static std::expected<Mapping, IoError> map(const FileDescriptor& fd, std::size_t size);
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&&) = delete;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  ByteView bytes() const { return {static_cast<const std::uint8_t*>(data_), size_}; }

 private:
  Mapping(void* data, std::size_t size) : data_(data), size_(size) {}
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Writes every byte, retrying short writes and interruptions.
std::expected<void, IoError> write_all(const FileDescriptor& fd, ByteView bytes,
                                       const std::string& path);

}  // namespace morvane::sim
