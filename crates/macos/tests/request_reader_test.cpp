// The request reader on block boundaries, on short reads from a pipe, on regular files read
// from the middle or the end, and under an address-space limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/request_reader.h"

namespace morvane {
namespace {

constexpr std::size_t kBlock = 16;

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + i % 26);
  return out;
}

// A pipe fed from a thread in pieces of `piece` bytes, so that reads come back short and end
// anywhere inside a block. Returns the read end.
class FedPipe {
 public:
  FedPipe(std::string bytes, std::size_t piece) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    read_end_ = fds[0];
    writer_ = std::thread([fd = fds[1], bytes = std::move(bytes), piece] {
      for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        if (::write(fd, bytes.data() + at, n) != static_cast<ssize_t>(n)) break;
      }
      ::close(fd);
    });
  }
  // Whatever a refused request left unread is drained, so the writer never meets a closed pipe.
  ~FedPipe() {
    char sink[256];
    while (::read(read_end_, sink, sizeof sink) > 0) {
    }
    ::close(read_end_);
    writer_.join();
  }
  int fd() const { return read_end_; }

 private:
  int read_end_ = -1;
  std::thread writer_;
};

// A temporary file with these bytes, open for reading at `offset`.
int file_with(const std::string& bytes, off_t offset) {
  std::FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
  const int fd = ::dup(fileno(file));
  std::fclose(file);
  ::lseek(fd, offset, SEEK_SET);
  return fd;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(RequestReaderTest, PipeRequestsAroundBlockBoundariesAndTheLimit) {
  // Limit 40 with 16-byte blocks: the limit falls inside the third block.
  constexpr std::size_t kLimit = 40;
  const std::size_t sizes[] = {0, 1, 15, 16, 17, 31, 32, 33, 39, 40, 41, 48, 49, 200};
  const std::size_t pieces[] = {1, 7, 16, 64};
  for (std::size_t size : sizes) {
    for (std::size_t piece : pieces) {
      const std::string sent = pattern(size);
      FedPipe binary(sent, piece);
      auto bytes = request_reader::read_bytes(binary.fd(), kLimit, kBlock);
      FedPipe textual(sent, piece);
      auto text = request_reader::read_text(textual.fd(), kLimit, kBlock);
      if (size <= kLimit) {
        ASSERT_TRUE(bytes) << size << "/" << piece;
        ASSERT_TRUE(text) << size << "/" << piece;
        EXPECT_EQ(text_of(*bytes), sent) << size << "/" << piece;
        EXPECT_EQ(*text, sent) << size << "/" << piece;
        continue;
      }
      ASSERT_FALSE(bytes) << size << "/" << piece;
      ASSERT_FALSE(text) << size << "/" << piece;
      EXPECT_EQ(bytes.error().code, ErrorCode::INVALID_ARGS);
      EXPECT_EQ(text.error().message, "Clipboard helper request exceeds the protocol limit");
      EXPECT_EQ(bytes.error().delivery, DeliveryState::unknown);
    }
  }
}

TEST(RequestReaderTest, LimitOnABlockBoundaryConsumesOnlyOneByteMore) {
  for (std::size_t limit : {kBlock - 1, kBlock, 2 * kBlock}) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string sent = pattern(limit + 10);
    ASSERT_EQ(::write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    EXPECT_FALSE(request_reader::read_bytes(fds[0], limit, kBlock)) << limit;
    char rest[64];
    EXPECT_EQ(::read(fds[0], rest, sizeof rest), 9) << limit;
    ::close(fds[0]);
    ::close(fds[1]);

    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], sent.data(), limit), static_cast<ssize_t>(limit));
    ::close(fds[1]);
    auto exact = request_reader::read_bytes(fds[0], limit, kBlock);
    ::close(fds[0]);
    ASSERT_TRUE(exact) << limit;
    EXPECT_EQ(text_of(*exact), sent.substr(0, limit));
  }
}

TEST(RequestReaderTest, RegularFileIsReadFromItsCurrentOffset) {
  struct Case {
    std::size_t file_size;
    off_t offset;
    std::size_t limit;
    bool accepted;
  };
  const Case cases[] = {
      {100, 0, 100, true},   {100, 0, 99, false},    {100, 50, 50, true},
      {100, 50, 49, false},  {100, 90, 10, true},    {100, 100, 0, true},
      {100, 250, 0, true},   {1000, 3, 5000, true},  {kBlock * 3, kBlock, kBlock * 2, true},
  };
  for (const auto& c : cases) {
    const std::string bytes = pattern(c.file_size);
    const int fd = file_with(bytes, c.offset);
    auto read = request_reader::read_text(fd, c.limit, kBlock);
    const off_t stopped_at = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    const std::string label = std::to_string(c.file_size) + "@" + std::to_string(c.offset);
    if (!c.accepted) {
      ASSERT_FALSE(read) << label;
      EXPECT_EQ(read.error().code, ErrorCode::INVALID_ARGS) << label;
      // Never more than limit + 1 bytes consumed.
      EXPECT_EQ(stopped_at, c.offset + static_cast<off_t>(c.limit) + 1) << label;
      continue;
    }
    ASSERT_TRUE(read) << label;
    const auto start = std::min<std::size_t>(static_cast<std::size_t>(c.offset), bytes.size());
    EXPECT_EQ(*read, bytes.substr(start)) << label;
  }
}

// Memory that is not to be had is a request error, not an exception out of the reader.
TEST(RequestReaderTest, AnEmptyRemainderOfAHugeFileReservesNothing) {
#if defined(__APPLE__)
  GTEST_SKIP() << "macOS does not enforce an address-space limit";
#elif defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
#endif
  char path[] = "/tmp/morvane-request-reader-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);  // sparse: 1 GiB that occupies nothing
  ASSERT_EQ(::lseek(fd, 0, SEEK_END), off_t{1} << 30);
  // A child process with 16 MiB of address space to spare: a reservation of the 64 MiB limit
  // cannot fit, one block can.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::ifstream status("/proc/self/status");
    std::string line;
    long vm_kib = 0;
    while (std::getline(status, line)) {
      if (line.rfind("VmSize:", 0) == 0) vm_kib = std::atol(line.c_str() + 7);
    }
    const rlim_t limit = static_cast<rlim_t>(vm_kib) * 1024 + (rlim_t{16} << 20);
    const struct rlimit space {limit, limit};
    if (vm_kib == 0 || ::setrlimit(RLIMIT_AS, &space) != 0) ::_exit(3);
    auto bytes = read_input_from(fd, kMaxRequestBytes);
    auto text = request_reader::read_text(fd, kMaxRequestBytes);
    ::_exit(bytes && bytes->empty() && text && text->empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(fd);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RequestReaderTest, FailedReadIsReportedWithTheSystemText) {
  const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
  auto result = request_reader::read_bytes(fd, 100, kBlock);
  ::close(fd);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ErrorCode::INTERNAL);
  EXPECT_EQ(result.error().message, "Read helper request: Is a directory (os error 21)");
}

}  // namespace
}  // namespace morvane
