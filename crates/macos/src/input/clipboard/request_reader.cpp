#include "input/clipboard/request_reader.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/clipboard_watchdog.h"

namespace morvane::request_reader {

namespace {

AdapterError read_failure(int error) {
  return AdapterError::make(ErrorCode::INTERNAL, "Read helper request: " +
                                                     std::string(std::strerror(error)) +
                                                     " (os error " + std::to_string(error) + ")");
}

AdapterError over_limit() {
  return AdapterError::make(ErrorCode::INVALID_ARGS,
                            "Clipboard helper request exceeds the protocol limit");
}

// One anonymous mapping. Pages cost memory only once written, and unmapping gives them back at
// once; a heap block freed below others may stay part of the process.
class Block {
 public:
  static std::expected<Block, int> map(std::size_t capacity) {
    void* start = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    if (start == MAP_FAILED) return std::unexpected(errno);
    return Block(static_cast<std::uint8_t*>(start), capacity);
  }

  Block(Block&& other) noexcept
      : start_(std::exchange(other.start_, nullptr)), capacity_(other.capacity_), used_(other.used_) {}
  Block& operator=(Block&&) = delete;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { unmap(); }

  void unmap() {
    if (start_ != nullptr) ::munmap(start_, capacity_);
    start_ = nullptr;
  }

  std::uint8_t* free_space() { return start_ + used_; }
  std::size_t room() const { return capacity_ - used_; }
  void filled(std::size_t n) { used_ += n; }
  ByteView bytes() const { return {start_, used_}; }

 private:
  Block(std::uint8_t* start, std::size_t capacity) : start_(start), capacity_(capacity) {}
  std::uint8_t* start_;
  std::size_t capacity_;
  std::size_t used_ = 0;
};

// Waits until a non-blocking input has something (or has ended); a host on an event loop may
// hand one over. The wait counts against the deadline like any other.
Status wait_readable(int fd, const Deadline* deadline) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    int timeout_ms = -1;
    if (deadline != nullptr) {
      const Duration left = deadline->remaining();
      if (is_zero(left)) {
        return fail(deadline->timeout_error().with_platform_detail(watchdog::kRequestWaitDetail));
      }
      const std::int64_t ms = left.seconds * 1000 + (left.nanoseconds + 999'999) / 1'000'000;
      timeout_ms = static_cast<int>(std::min<std::int64_t>(ms, std::numeric_limits<int>::max()));
    }
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) return fail(read_failure(errno));
  }
}

// One read: the count read, 0 at end of input. A signal repeats it; a non-blocking input that
// has nothing yet is waited on.
Result<std::size_t> read_some(int fd, std::uint8_t* into, std::size_t want,
                              const Deadline* deadline) {
  for (;;) {
    const ssize_t got = ::read(fd, into, want);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(read_failure(errno));
    if (auto ready = wait_readable(fd, deadline); !ready) return fail(std::move(ready.error()));
  }
}

// What a regular file holds after the current offset; nothing for pipes and the like.
std::optional<std::size_t> bytes_left_in_file(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0) return std::nullopt;
  return info.st_size > offset ? static_cast<std::size_t>(info.st_size - offset) : 0;
}

template <typename Buffer>
std::uint8_t* bytes_of(Buffer& buffer) {
  return reinterpret_cast<std::uint8_t*>(buffer.data());
}

template <typename Buffer>
void append(Buffer& buffer, ByteView bytes) {
  const auto* first = reinterpret_cast<const typename Buffer::value_type*>(bytes.data());
  buffer.insert(buffer.end(), first, first + bytes.size());
}

// The request as it arrives: `head` sized from the file when the input says how much is left,
// blocks for whatever comes beyond that or from an input of unknown length.
template <typename Buffer>
class Reader {
 public:
  Reader(int fd, std::size_t limit, std::size_t block_bytes, const Deadline* deadline)
      : fd_(fd), cap_(limit + 1), block_bytes_(block_bytes), deadline_(deadline) {}

  Status read() {
    if (auto left = bytes_left_in_file(fd_); left && *left > 0) {
      if (auto read = read_head(std::min(*left, cap_)); !read) return read;
    }
    return read_blocks();
  }

  std::size_t size() const { return size_; }

  // One copy at most: a head that holds everything is returned as it is.
  Buffer assemble() && {
    if (head_.size() == size_) return std::move(head_);
    Buffer whole;
    whole.reserve(size_);
    append(whole, ByteView(bytes_of(head_), head_.size()));
    head_ = Buffer();
    for (Block& block : blocks_) {
      append(whole, block.bytes());
      block.unmap();
    }
    return whole;
  }

 private:
  // Stops after limit + 1 bytes: enough to know the request is too large without consuming or
  // holding the rest.
  std::size_t wanted() const { return cap_ - size_; }

  Status read_head(std::size_t expected) {
    head_.resize(expected);
    while (size_ < expected) {
      auto got = read_some(fd_, bytes_of(head_) + size_, expected - size_, deadline_);
      if (!got) return fail(std::move(got.error()));
      if (*got == 0) {
        ended_ = true;
        break;
      }
      size_ += *got;
    }
    head_.resize(size_);
    return {};
  }

  Status read_blocks() {
    while (!ended_ && wanted() > 0) {
      if (blocks_.empty() || blocks_.back().room() == 0) {
        auto block = Block::map(block_bytes_);
        if (!block) return fail(read_failure(block.error()));
        blocks_.push_back(std::move(*block));
      }
      Block& block = blocks_.back();
      auto got = read_some(fd_, block.free_space(), std::min(block.room(), wanted()), deadline_);
      if (!got) return fail(std::move(got.error()));
      ended_ = *got == 0;
      block.filled(*got);
      size_ += *got;
    }
    return {};
  }

  int fd_;
  std::size_t cap_;
  std::size_t block_bytes_;
  const Deadline* deadline_;
  Buffer head_;
  std::vector<Block> blocks_;
  std::size_t size_ = 0;
  bool ended_ = false;
};

template <typename Buffer>
Result<Buffer> read_request(int fd, std::size_t limit, std::size_t block_bytes,
                            const Deadline* deadline) {
  // Memory that cannot be had is an error of this read like any other: the request was never
  // acted on, and the answer must say so rather than end in an exception.
  try {
    Reader<Buffer> reader(fd, limit, block_bytes, deadline);
    auto read = reader.read();
    if (!read) return fail(std::move(read.error()));
    if (reader.size() > limit) return fail(over_limit());
    return std::move(reader).assemble();
  } catch (const std::bad_alloc&) {
    return fail(read_failure(ENOMEM));
  }
}

// While the request is read, that is where the operation waits.
template <typename Buffer>
Result<Buffer> read_noted(int fd, std::size_t limit, std::size_t block_bytes,
                          const Deadline* deadline) {
  watchdog::note_waiting(watchdog::kRequestWaitDetail);
  auto request = read_request<Buffer>(fd, limit, block_bytes, deadline);
  watchdog::note_waiting(nullptr);
  return request;
}

}  // namespace

Result<Bytes> read_bytes(int fd, std::size_t limit, std::size_t block_bytes,
                         const Deadline* deadline) {
  return read_noted<Bytes>(fd, limit, block_bytes, deadline);
}

Result<std::string> read_text(int fd, std::size_t limit, std::size_t block_bytes,
                              const Deadline* deadline) {
  return read_noted<std::string>(fd, limit, block_bytes, deadline);
}

}  // namespace morvane::request_reader

namespace morvane {

Result<Bytes> read_input_from(int fd, std::size_t limit) {
  return request_reader::read_bytes(fd, limit);
}

Result<std::string> read_input_text(const Deadline& deadline) {
  return request_reader::read_text(0, kMaxRequestBytes, request_reader::kBlockBytes, &deadline);
}

Result<Bytes> read_input(const Deadline& deadline) {
  return request_reader::read_bytes(0, kMaxRequestBytes, request_reader::kBlockBytes, &deadline);
}

}  // namespace morvane
