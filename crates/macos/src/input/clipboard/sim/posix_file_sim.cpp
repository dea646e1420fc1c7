#include "input/clipboard/sim/posix_file_sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace morvane::sim {

namespace {

std::unexpected<IoError> failure(const char* call, const std::string& path) {
  const int code = errno;
  return std::unexpected(IoError{code, std::string(call) + " " + path + ": " + std::strerror(code),
                                 code == ENOENT ? Rule::missing : Rule::none});
}

std::unexpected<IoError> refusal(const std::string& path, const char* reason, Rule rule) {
  return std::unexpected(IoError{EPERM, "refusing " + path + ": " + reason, rule});
}

bool writable_by_others(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

Rule writable_rule(mode_t mode) {
  return (mode & S_IWOTH) != 0 ? Rule::writable_by_others : Rule::writable_by_group;
}

std::expected<void, IoError> check_folder(const struct stat& status, const std::string& path,
                                          bool private_folder) {
  if (!S_ISDIR(status.st_mode)) return refusal(path, "not a folder", Rule::not_folder);
  if (private_folder) {
    if (status.st_uid != ::geteuid()) {
      return refusal(path, "folder of another user", Rule::other_owner);
    }
    if ((status.st_mode & 077) != 0) {
      return refusal(path, "folder open to other users",
                     (status.st_mode & 07) != 0 ? Rule::open_to_others : Rule::open_to_group);
    }
    return {};
  }
  if (status.st_uid != ::geteuid() && status.st_uid != 0) {
    return refusal(path, "folder of another user", Rule::other_owner);
  }
  if (writable_by_others(status.st_mode) && (status.st_mode & S_ISVTX) == 0) {
    return refusal(path, "folder that other users can write", writable_rule(status.st_mode));
  }
  return {};
}

std::expected<void, IoError> check_file(const struct stat& status, const std::string& path) {
  if (!S_ISREG(status.st_mode)) return refusal(path, "not a regular file", Rule::not_regular_file);
  if (status.st_uid != ::geteuid()) return refusal(path, "file of another user", Rule::other_owner);
  if (writable_by_others(status.st_mode)) {
    return refusal(path, "file that other users can write", writable_rule(status.st_mode));
  }
  return {};
}

int open_retrying(int folder, const char* name, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = ::openat(folder, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::uint64_t random_u64() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != sizeof value) {
    static std::atomic<std::uint64_t> sequence{0};
    value = (std::uint64_t{static_cast<std::uint32_t>(::getpid())} << 32) ^ ++sequence ^
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&value));
  }
  return value;
}

bool is_temporary_name(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + 16 || !name.starts_with(prefix)) return false;
  for (char c : name.substr(prefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Mappings whose file may shrink under them. The SIGBUS handler reads this table, so it is a
// fixed array of lock-free atomics rather than anything that allocates or locks.
struct GuardedRange {
  std::atomic<bool> claimed{false};
  std::atomic<std::uintptr_t> start{0};
  std::atomic<std::size_t> size{0};
};
constexpr std::size_t kGuardedRanges = 1024;
std::array<GuardedRange, kGuardedRanges> g_guarded;
std::atomic<std::uint64_t> g_faults{0};
struct sigaction g_previous_bus_action {};

void on_bus_error(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (GuardedRange& range : g_guarded) {
    const std::uintptr_t start = range.start.load(std::memory_order_acquire);
    const std::size_t size = range.size.load(std::memory_order_relaxed);
    if (start == 0 || address < start || address - start >= size) continue;
    // The file ended before the mapping: zero pages over the whole range let the access
    // finish, and the fault count tells the store that these bytes are not the file's.
    if (::mmap(reinterpret_cast<void*>(start), size, PROT_READ,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      g_faults.fetch_add(1);
      return;
    }
    break;
  }
  // Not one of ours: whoever handled SIGBUS before decides.
  if ((g_previous_bus_action.sa_flags & SA_SIGINFO) != 0) {
    g_previous_bus_action.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous_bus_action.sa_handler != SIG_DFL && g_previous_bus_action.sa_handler != SIG_IGN) {
    g_previous_bus_action.sa_handler(signal);
    return;
  }
  // Returning repeats the access, which now ends the process as it would have without us.
  ::signal(SIGBUS, SIG_DFL);
}

void install_bus_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous_bus_action);
  });
}

std::size_t claim_guarded_range() {
  for (std::size_t i = 0; i < g_guarded.size(); ++i) {
    bool expected = false;
    if (g_guarded[i].claimed.compare_exchange_strong(expected, true)) return i;
  }
  return kGuardedRanges;
}

void release_guarded_range(std::size_t slot) {
  g_guarded[slot].start.store(0, std::memory_order_release);
  g_guarded[slot].size.store(0, std::memory_order_relaxed);
  g_guarded[slot].claimed.store(false, std::memory_order_release);
}

// The whole file, read; for when every guarded range is taken.
std::expected<std::unique_ptr<std::uint8_t[]>, IoError> read_whole(const FileDescriptor& fd,
                                                                   std::size_t size) {
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd.get(), buffer.get() + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failure("pread", "store");
    if (got == 0) return std::unexpected(IoError{EIO, "store shrank while it was read"});
    done += static_cast<std::size_t>(got);
  }
  return buffer;
}

std::atomic<int> g_store_opens_allowed{-1};

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

std::expected<struct stat, IoError> file_status(const FileDescriptor& fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return failure("fstat", path);
  return status;
}

std::expected<Folder, IoError> Folder::open(const std::string& path, bool private_folder,
                                           bool create_missing) {
  int flags = O_RDONLY | O_DIRECTORY;
  if (private_folder) {
    if (create_missing && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      return failure("mkdir", path);
    }
    flags |= O_NOFOLLOW;
  }
  FileDescriptor fd(open_retrying(AT_FDCWD, path.c_str(), flags, 0));
  if (!fd) {
    if (errno == ELOOP) return refusal(path, "not a folder", Rule::symbolic_link);
    return errno == ENOTDIR ? refusal(path, "not a folder", Rule::not_folder)
                            : failure("open", path);
  }
  auto status = file_status(fd, path);
  if (!status) return std::unexpected(status.error());
  if (auto checked = check_folder(*status, path, private_folder); !checked) {
    return std::unexpected(checked.error());
  }
  // mkdir takes the umask's bits away: the store's own folder is always open to its owner.
  if (private_folder && (status->st_mode & 0700) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
    return failure("fchmod", path);
  }
  return Folder(path, std::move(fd), *status, private_folder);
}

// The path is resolved as open() resolves it: a private folder may not be a link.
bool Folder::still_at_path() const {
  struct stat status {};
  const int flags = private_ ? AT_SYMLINK_NOFOLLOW : 0;
  return ::fstatat(AT_FDCWD, path_.c_str(), &status, flags) == 0 && status.st_dev == device_ &&
         status.st_ino == inode_ && check_folder(status, path_, private_).has_value();
}

std::expected<FileDescriptor, IoError> Folder::open_file(const std::string& name,
                                                         int flags) const {
  const std::string path = path_of(name);
  FileDescriptor fd(open_retrying(fd_.get(), name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!fd) {
    return errno == ELOOP ? refusal(path, "symbolic link", Rule::symbolic_link)
                          : failure("open", path);
  }
  auto status = file_status(fd, path);
  if (!status) return std::unexpected(status.error());
  if (auto checked = check_file(*status, path); !checked) return std::unexpected(checked.error());
  return fd;
}

std::expected<struct stat, IoError> Folder::file_status_of(const std::string& name) const {
  const std::string path = path_of(name);
  struct stat status {};
  if (::fstatat(fd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return failure("fstatat", path);
  }
  if (S_ISLNK(status.st_mode)) return refusal(path, "symbolic link", Rule::symbolic_link);
  if (auto checked = check_file(status, path); !checked) return std::unexpected(checked.error());
  return status;
}

namespace {

// The owner may always read and write the lock file, whatever the umask was when it was made.
std::expected<void, IoError> give_owner_access(const FileDescriptor& fd, const std::string& path) {
  auto status = file_status(fd, path);
  if (!status) return std::unexpected(status.error());
  const mode_t mode = status->st_mode & 07777;
  if ((mode & 0600) == 0600) return {};
  if (::fchmod(fd.get(), mode | 0600) != 0) return failure("fchmod", path);
  return {};
}

// Tries the lock without blocking, sleeping a little longer each time, until `wait_until`.
std::expected<void, IoError> lock_until(const FileDescriptor& fd, const std::string& path,
                                        Instant wait_until) {
  constexpr std::uint32_t kFirstNap = 1'000'000;
  constexpr std::uint32_t kLongestNap = 10'000'000;
  std::uint32_t nap = kFirstNap;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EWOULDBLOCK && errno != EINTR) return failure("flock", path);
    const Duration left = saturating_difference(wait_until, monotonic_now());
    if (is_zero(left)) {
      return std::unexpected(IoError{ETIMEDOUT, "flock " + path + ": held by another process"});
    }
    const Duration pause = left < Duration{0, nap} ? left : Duration{0, nap};
    const timespec request{static_cast<time_t>(pause.seconds), static_cast<long>(pause.nanoseconds)};
    ::nanosleep(&request, nullptr);
    nap = std::min(nap * 2, kLongestNap);
  }
}

std::expected<void, IoError> lock_waiting(const FileDescriptor& fd, const std::string& path) {
  int result = 0;
  do {
    result = ::flock(fd.get(), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return failure("flock", path);
  return {};
}

}  // namespace

std::expected<ExclusiveLock, IoError> ExclusiveLock::acquire(const Folder& folder,
                                                             const std::string& name,
                                                             std::optional<Instant> wait_until) {
  const std::string path = folder.path_of(name);
  auto fd = folder.open_file(name, O_RDONLY | O_CREAT);
  if (!fd) return std::unexpected(fd.error());
  if (auto access = give_owner_access(*fd, path); !access) return std::unexpected(access.error());
  auto locked = wait_until ? lock_until(*fd, path, *wait_until) : lock_waiting(*fd, path);
  if (!locked) return std::unexpected(locked.error());
  return ExclusiveLock(std::move(*fd));
}

std::expected<TemporaryFile, IoError> TemporaryFile::create(const Folder& folder,
                                                            const std::string& prefix) {
  constexpr int kAttempts = 16;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random_u64()));
    std::string name = prefix + suffix;
    std::string path = folder.path_of(name);
    FileDescriptor fd(open_retrying(folder.fd(), name.c_str(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!fd && errno == EEXIST) continue;
    if (!fd) return failure("open", path);
    TemporaryFile file(folder.fd(), std::move(name), std::move(fd), std::move(path));
    // The umask may have taken bits away; the store is always exactly 0600.
    if (::fchmod(file.fd_.get(), 0600) != 0) return failure("fchmod", file.path_);
    return file;
  }
  return std::unexpected(IoError{EEXIST, "no free temporary name for " + folder.path_of(prefix)});
}

TemporaryFile::~TemporaryFile() {
  if (!name_.empty()) ::unlinkat(folder_fd_, name_.c_str(), 0);
}

// A file that is there already is swapped with this one, and then removed under the temporary
// name. Renaming over it would be as atomic, but ext4 takes that for a program replacing a file
// and starts writing the new data to disk at once, so that deleting the old version a moment
// later frees disk blocks (with online discard, a wait on the device): store versions live
// milliseconds, and as swapped ones they are never written out at all.
std::expected<void, IoError> TemporaryFile::rename_to(const std::string& name) {
  if (::renameat2(folder_fd_, name_.c_str(), folder_fd_, name.c_str(), RENAME_EXCHANGE) == 0) {
    // The old file: if this fails, the next writer's sweep of temporary files takes it.
    ::unlinkat(folder_fd_, name_.c_str(), 0);
  } else if (::renameat(folder_fd_, name_.c_str(), folder_fd_, name.c_str()) != 0) {
    // Nothing to swap with (the first store), or a file system that cannot swap.
    return failure("rename", path_);
  }
  name_.clear();
  return {};
}

void remove_stale_temporaries(const Folder& folder, const std::string& prefix) {
  const int listing_fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return;
  DIR* listing = ::fdopendir(listing_fd);
  if (listing == nullptr) {
    ::close(listing_fd);
    return;
  }
  ::rewinddir(listing);
  while (const dirent* entry = ::readdir(listing)) {
    if (!is_temporary_name(entry->d_name, prefix)) continue;
    struct stat status {};
    if (::fstatat(folder.fd(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && status.st_uid == ::geteuid()) {
      ::unlinkat(folder.fd(), entry->d_name, 0);
    }
  }
  ::closedir(listing);
}

std::expected<Mapping, IoError> Mapping::map(const FileDescriptor& fd, std::size_t size) {
  if (size == 0) return std::unexpected(IoError{EINVAL, "cannot map an empty file"});
  install_bus_handler();
  const std::size_t slot = claim_guarded_range();
  if (slot == kGuardedRanges) {
    auto heap = read_whole(fd, size);
    if (!heap) return std::unexpected(heap.error());
    void* data = heap->get();
    return Mapping(data, size, kNoSlot, std::move(*heap));
  }
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) {
    auto error = failure("mmap", "store");
    release_guarded_range(slot);
    return error;
  }
  g_guarded[slot].size.store(size, std::memory_order_relaxed);
  g_guarded[slot].start.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
  return Mapping(data, size, slot, nullptr);
}

Mapping::~Mapping() {
  if (data_ == nullptr || heap_ != nullptr) return;
  // Out of the table first, so that the handler never touches a range that is gone.
  if (slot_ != kNoSlot) g_guarded[slot_].start.store(0, std::memory_order_release);
  ::munmap(data_, size_);
  if (slot_ != kNoSlot) release_guarded_range(slot_);
}

std::uint64_t Mapping::faults() { return g_faults.load(); }

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

namespace test_hooks {

void fail_store_opens_after(int allowed) { g_store_opens_allowed.store(allowed); }

bool store_open_refused() {
  int allowed = g_store_opens_allowed.load();
  while (allowed > 0) {
    if (g_store_opens_allowed.compare_exchange_weak(allowed, allowed - 1)) return false;
  }
  return allowed == 0;
}

}  // namespace test_hooks

}  // namespace morvane::sim
