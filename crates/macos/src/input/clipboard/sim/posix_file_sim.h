#pragma once

// Small owners for the POSIX resources of the simulated pasteboard's store: a descriptor, the
// store's folder, an exclusive advisory lock, a fresh temporary file and a read-only mapping.
// Each releases its resource exactly once.
//
// The store may live in a folder that other users can write (a store named in /tmp), so every
// file is opened relative to a folder descriptor whose checks have passed, never followed
// through a symbolic link, and refused unless it is a regular file of this user that nobody
// else can write.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "system/bytes.h"
#include "wait/monotonic_clock.h"

namespace morvane::sim {

// Which of the store's rules a file or folder broke, when one did.
enum class Rule : std::uint8_t {
  none,
  missing,
  not_folder,
  not_regular_file,
  symbolic_link,
  other_owner,
  open_to_group,     // a private folder that its group may enter
  open_to_others,    // a private folder that anyone may enter
  writable_by_group,
  writable_by_others,
  corrupt,
};

// What went wrong: errno (0 when it was not a system call), a text for people with the
// failed call and the path, and the rule broken.
struct IoError {
  int code = 0;
  std::string message;
  Rule rule = Rule::none;
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

std::expected<struct stat, IoError> file_status(const FileDescriptor& fd, const std::string& path);

// The folder that holds a store, its lock and its temporary files.
class Folder {
 public:
  // A private folder is the store's own: created with mode 0700 when missing and
  // `create_missing`, and accepted only as a real directory (not a link) of this user that
  // nobody else may enter. Any other folder must belong to this user or to root and be
  // writable by nobody else, unless it is sticky (like /tmp), where the checks on each file
  // suffice.
  static std::expected<Folder, IoError> open(const std::string& path, bool private_folder,
                                             bool create_missing);

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  std::string path_of(const std::string& name) const { return path_ + "/" + name; }

  // True when the path still leads to this very folder and the folder still passes the checks
  // it was opened with: what opening it again would find, for one stat instead of an open.
  bool still_at_path() const;

  // Opens an existing file of this user that nobody else can write. O_CREAT creates it with
  // mode 0600. A FIFO or device planted under the name is refused without blocking.
  std::expected<FileDescriptor, IoError> open_file(const std::string& name, int flags) const;
  // The status of the file under the name, not following a link, held to the checks of
  // open_file; nothing is opened.
  std::expected<struct stat, IoError> file_status_of(const std::string& name) const;

 private:
  Folder(std::string path, FileDescriptor fd, const struct stat& status, bool private_folder)
      : path_(std::move(path)),
        fd_(std::move(fd)),
        device_(status.st_dev),
        inode_(status.st_ino),
        private_(private_folder) {}
  std::string path_;
  FileDescriptor fd_;
  dev_t device_;
  ino_t inode_;
  bool private_;
};

// Holds flock(LOCK_EX) on a lock file until destroyed.
class ExclusiveLock {
 public:
  // Waits for the lock as long as it takes, or, given `wait_until`, until that instant on the
  // monotonic clock and then fails with ETIMEDOUT. The lock file is opened read-only, which
  // flock allows, and created 0600 whatever the umask; one whose owner lacks read or write
  // (left so by a restrictive umask) gets them back.
  static std::expected<ExclusiveLock, IoError> acquire(const Folder& folder,
                                                       const std::string& name,
                                                       std::optional<Instant> wait_until = {});

 private:
  explicit ExclusiveLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;  // closing it releases the lock
};

// A file created fresh under a unique name `<prefix><16 hex digits>` in a folder, removed when
// destroyed unless it was renamed into place.
class TemporaryFile {
 public:
  static std::expected<TemporaryFile, IoError> create(const Folder& folder,
                                                      const std::string& prefix);
  TemporaryFile(TemporaryFile&& other) noexcept
      : folder_fd_(other.folder_fd_),
        name_(std::move(other.name_)),
        fd_(std::move(other.fd_)),
        path_(std::move(other.path_)) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  const FileDescriptor& fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // Puts the file in the place of `name` in the same folder, atomically: every opener of `name`
  // finds the old file or this one. From then on it is no longer temporary.
  std::expected<void, IoError> rename_to(const std::string& name);

 private:
  TemporaryFile(int folder_fd, std::string name, FileDescriptor fd, std::string path)
      : folder_fd_(folder_fd), name_(std::move(name)), fd_(std::move(fd)), path_(std::move(path)) {}
  int folder_fd_;     // borrowed from the Folder, which outlives this file
  std::string name_;  // empty once renamed into place
  FileDescriptor fd_;
  std::string path_;
};

// Removes the files of this user in `folder` named `<prefix><16 hex digits>`: temporary files
// left by writers that were killed. Only safe while holding the store's lock.
void remove_stale_temporaries(const Folder& folder, const std::string& prefix);

// A read-only shared mapping of a whole file. The protocol never changes a store file once
// written (new versions are renamed over it), but a process outside it may shorten the file in
// place. Reading a page past the new end would raise SIGBUS; instead the mapping's pages turn
// into zeros and `faults()` goes up, so that the store can tell its bytes are no longer the
// file's. Past a fixed number of live mappings, the file is read into memory instead.
class Mapping {
 public:
  static std::expected<Mapping, IoError> map(const FileDescriptor& fd, std::size_t size);
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        slot_(std::exchange(other.slot_, kNoSlot)),
        heap_(std::move(other.heap_)) {}
  Mapping& operator=(Mapping&&) = delete;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  ByteView bytes() const { return {static_cast<const std::uint8_t*>(data_), size_}; }

  // How many times, in this process, a mapped file turned out shorter than its mapping.
  static std::uint64_t faults();

 private:
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  Mapping(void* data, std::size_t size, std::size_t slot, std::unique_ptr<std::uint8_t[]> heap)
      : data_(data), size_(size), slot_(slot), heap_(std::move(heap)) {}
  void* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t slot_ = kNoSlot;  // kNoSlot for a file read into heap_
  std::unique_ptr<std::uint8_t[]> heap_;
};

// Writes every byte, retrying short writes and interruptions.
std::expected<void, IoError> write_all(const FileDescriptor& fd, ByteView bytes,
                                       const std::string& path);

namespace test_hooks {
// Makes every open of a store file after the next `allowed` ones fail with EIO, as a pasteboard
// server that breaks part-way through an operation; a negative value turns this off. Only
// tests call it.
void fail_store_opens_after(int allowed);
// True when the hook refuses this open; called by the store for each open of its file.
bool store_open_refused();
}  // namespace test_hooks

}  // namespace morvane::sim
