// Requests under an address-space limit: reading one may cost the request and a little more,
// never a second copy of it, and never a reservation sized from anything but what is left to
// read. A limit that leaves room for one copy, and not two, tells the difference.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim_support.h"

namespace morvane::blackbox {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kLimit = 64 * kMiB;

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

// The helper with at most `kib` KiB of address space; standard input is the launch's request
// pipe or, with `input_fd` set, that descriptor at its current offset.
client::Launch limited(const client::Launch& plain, std::size_t kib, int input_fd = -1) {
  client::Launch launch = plain;
  launch.program = "/bin/sh";
  std::string script = "ulimit -v " + std::to_string(kib) + " && exec \"$@\"";
  if (input_fd >= 0) script += " 0<&" + std::to_string(input_fd);
  launch.arguments = {"-c", script, "sh", plain.program};
  launch.arguments.insert(launch.arguments.end(), plain.arguments.begin(), plain.arguments.end());
  return launch;
}

std::expected<client::Response, std::string> call_limited(const client::Launch& plain,
                                                          std::size_t kib, int input_fd = -1) {
  auto raw = client::run_raw(limited(plain, kib, input_fd));
  if (!raw) return std::unexpected(raw.error());
  return client::parse_response(*raw, plain);
}

// The least address space, to the MiB, in which an empty "write:text" succeeds: the helper's
// own baseline, whatever the build.
std::size_t baseline_kib() {
  static const std::size_t kib = [] {
    SimPasteboard pb;
    std::size_t low = 1, high = 1024;  // MiB; `high` succeeds, `low` is taken not to
    auto succeeds = [&](std::size_t mib) {
      auto response = call_limited(pb.helper({"write:text"}, ""), mib * 1024);
      return response && response->status == 0;
    };
    if (!succeeds(high)) return std::size_t{0};
    while (high - low > 1) {
      const std::size_t middle = (low + high) / 2;
      (succeeds(middle) ? high : low) = middle;
    }
    return high * 1024;
  }();
  return kib;
}

class RequestMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sanitized()) GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here";
#if defined(__APPLE__)
    GTEST_SKIP() << "macOS does not enforce an address-space limit (ulimit -v)";
#endif
    ASSERT_GT(baseline_kib(), 0u) << "the helper does not run even with 1 GiB of address space";
  }
};

// An empty request from the end of a large file: nothing to read, so nothing reserved.
TEST_F(RequestMemoryTest, EmptyRemainderOfAHugeFileNeedsNoRequestMemory) {
  struct Case {
    std::vector<std::string> arguments;
    const char* error_code;  // nullptr: success
  };
  const Case cases[] = {
      {{"write:text"}, nullptr},
      {{"validate:png"}, "INVALID_ARGS"},  // the empty PNG, refused as such
      {{"write:image", "1", "1", "1"}, "INVALID_ARGS"},
  };
  char path[] = "/tmp/morvane-sparse-request-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
  for (const auto& c : cases) {
    SimPasteboard pb;
    ASSERT_EQ(::lseek(fd, 0, SEEK_END), off_t{1} << 30);
    auto response = call_limited(pb.helper(c.arguments), baseline_kib() + 16 * 1024, fd);
    ASSERT_TRUE(response) << response.error();
    const auto& header = response->header;
    if (c.error_code == nullptr) {
      EXPECT_EQ(response->status, 0) << response->header_text;
      EXPECT_EQ(header["metadata"]["delivery"], "committed_verified") << response->header_text;
      continue;
    }
    EXPECT_EQ(response->status, 1) << c.arguments[0];
    EXPECT_EQ(header["error_code"], c.error_code) << response->header_text;
    EXPECT_NE(header["message"], "Clipboard helper request exceeds the protocol limit");
  }
  ::close(fd);
}

// One byte over the limit from a pipe: refused as too large with the request held once, and
// the clipboard left as it was.
TEST_F(RequestMemoryTest, OneByteOverTheLimitIsRefusedWithoutASecondCopy) {
  struct Case {
    std::vector<std::string> arguments;
    const char* delivery;
    const char* retry;
  };
  const Case cases[] = {
      {{"write:text"}, "not_delivered", "safe"},
      {{"write:image", "1", "1", "1"}, "not_delivered", "safe"},
      {{"write:file_urls"}, "not_delivered", "safe"},
      {{"validate:png"}, "unknown", "unknown"},
  };
  const std::string request(kLimit + 1, 'a');
  for (const auto& c : cases) {
    SimPasteboard pb;
    ASSERT_EQ(pb.tool({"write", "--text", "prior"}).status, 0);
    const std::int64_t before = pb.change_count();
    auto response =
        call_limited(pb.helper(c.arguments, request), baseline_kib() + 80 * 1024);
    ASSERT_TRUE(response) << response.error();
    EXPECT_EQ(response->status, 1) << c.arguments[0];
    EXPECT_EQ(response->header_text,
              std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","disposition":{"delivery":")") +
                  c.delivery + R"(","retry":")" + c.retry +
                  R"("},"error_code":"INVALID_ARGS","message":"Clipboard helper request exceeds the protocol limit","ok":false,"operation":")" +
                  c.arguments[0] + R"(","payload_len":0,"protocol":"1","token":")" +
                  response->header["token"].get<std::string>() + "\"}");
    EXPECT_EQ(pb.change_count(), before) << c.arguments[0];
    EXPECT_EQ(pb.tool({"read", "text"}).output, "prior") << c.arguments[0];
  }
}

}  // namespace
}  // namespace morvane::blackbox
