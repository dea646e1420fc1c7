// The streamer's process contract: the standard descriptors it starts with, a standard output
// that is a file which cannot take a whole record, and the stop signals.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "x11_test_support.h"

namespace morvane::streamer::testing {
namespace {

using namespace std::chrono_literals;

VirtualScreen start_screen() {
  auto screen = VirtualScreen::start(640, 480);
  if (!screen) {
    ADD_FAILURE() << screen.error();
    std::abort();  // no screen, no test: never pass silently
  }
  return std::move(*screen);
}

ChildProcess start_streamer(const std::string& display, const ChildSetup& setup) {
  auto child = ChildProcess::spawn({STREAMER_BIN}, display, setup);
  if (!child) {
    ADD_FAILURE() << child.error();
    std::abort();
  }
  return std::move(*child);
}

void fill(const std::string& display, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  auto painter = ScreenPainter::connect(display);
  ASSERT_TRUE(painter.has_value()) << painter.error();
  painter->fill(r, g, b);
}

// What a descriptor of a running process refers to.
std::string descriptor_target(pid_t pid, int fd) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char target[PATH_MAX] = {};
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "(closed)";
}

std::vector<std::uint8_t> file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct RecordWalk {
  int records = 0;
  std::size_t whole_bytes = 0;  // the end of the last whole record
};

RecordWalk walk_records(const std::vector<std::uint8_t>& bytes) {
  RecordWalk walk;
  while (walk.whole_bytes + 12 <= bytes.size()) {
    const std::uint8_t* header = bytes.data() + walk.whole_bytes;
    const std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                               (std::size_t{header[2]} << 8) | header[3];
    if (walk.whole_bytes + 12 + length > bytes.size()) break;
    walk.whole_bytes += 12 + length;
    ++walk.records;
  }
  return walk;
}

// A connection that took a closed descriptor's number would get bytes meant for that stream.
TEST(StreamerProcess, ClosedStandardDescriptorsAreHeldWithDevNull) {
  const std::vector<int> cases[] = {{0}, {2}, {0, 2}};
  VirtualScreen screen = start_screen();
  fill(screen.display(), 30, 160, 90);
  for (const auto& closed : cases) {
    ChildProcess streamer = start_streamer(screen.display(), ChildSetup{closed});
    auto record = read_record(streamer, 10s);
    ASSERT_TRUE(record.has_value()) << "closed " << closed.front() << ": no record";
    EXPECT_EQ(record->width, 640u);
    for (int fd : closed) {
      EXPECT_EQ(descriptor_target(streamer.pid(), fd), "/dev/null") << "descriptor " << fd;
    }
  }
}

TEST(StreamerProcess, ClosedStandardOutputEndsTheStreamerAtOnce) {
  struct Case {
    std::vector<int> closed;
    std::string error;
  };
  const Case cases[] = {
      {{1}, "frame output failed: Bad file descriptor\n"},
      {{0, 1, 2}, ""},  // the line goes to /dev/null
  };
  VirtualScreen screen = start_screen();
  for (const auto& c : cases) {
    ChildProcess streamer = start_streamer(screen.display(), ChildSetup{c.closed});
    EXPECT_EQ(streamer.wait_exit(5s), 1) << "closed " << c.closed.size();
    EXPECT_EQ(streamer.read_stderr(), c.error);
  }
}

// The file must end with a whole record, however the failing write cut it, and keep what it
// held before the streamer started.
TEST(StreamerProcess, OutputFileThatCannotGrowKeepsOnlyWholeRecords) {
  struct Case {
    const char* name;
    std::string device;  // empty: a regular file
    std::optional<std::uint64_t> size_limit;
    bool changing;
    int min_records;
    std::string error;
    std::size_t earlier_bytes;  // in the file before, which the streamer appends to (>>)
  };
  const Case cases[] = {
      {"cut in the first header", "", 5, false, 0, "frame output failed: File too large\n", 0},
      {"cut in the first JPEG", "", 12 + 100, false, 0, "frame output failed: File too large\n",
       0},
      {"cut in a later record", "", 40000, true, 2, "frame output failed: File too large\n", 0},
      {"full device", "/dev/full", std::nullopt, false, 0,
       "frame output failed: No space left on device\n", 0},
      {"appended to, cut in the first record", "", 51 * 1024, false, 0,
       "frame output failed: File too large\n", 51200},
  };
  VirtualScreen screen = start_screen();
  fill(screen.display(), 200, 200, 20);
  for (const auto& c : cases) {
    char name[] = "/tmp/streamer_frames_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> earlier(c.earlier_bytes);
    for (std::size_t i = 0; i < earlier.size(); ++i) earlier[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_EQ(::write(fd, earlier.data(), earlier.size()), static_cast<ssize_t>(earlier.size()));
    ::close(fd);
    const std::string path = c.device.empty() ? std::string(name) : c.device;
    {
      std::optional<Flicker> flicker;
      if (c.changing) flicker.emplace(screen.display());
      ChildProcess streamer = start_streamer(
          screen.display(), ChildSetup{{}, path, c.size_limit, c.earlier_bytes > 0});
      EXPECT_EQ(streamer.wait_exit(20s), 1) << c.name;
      EXPECT_EQ(streamer.read_stderr(), c.error) << c.name;
    }
    if (c.device.empty()) {
      const std::vector<std::uint8_t> bytes = file_bytes(path);
      ASSERT_GE(bytes.size(), earlier.size()) << c.name << ": earlier content was cut";
      EXPECT_TRUE(std::equal(earlier.begin(), earlier.end(), bytes.begin())) << c.name;
      const RecordWalk walk =
          walk_records(std::vector<std::uint8_t>(bytes.begin() + c.earlier_bytes, bytes.end()));
      EXPECT_EQ(c.earlier_bytes + walk.whole_bytes, bytes.size())
          << c.name << ": a partial record is left";
      EXPECT_GE(walk.records, c.min_records) << c.name;
      EXPECT_LE(bytes.size(), *c.size_limit) << c.name;
    }
    ::unlink(name);
  }
}

// A stop signal while the streamer is blocked part-way through a record, its reader reading in
// bursts: the record is finished, nothing follows it, and the streamer dies by that signal. A
// reader that never reads again does not keep it alive beyond the bound.
TEST(StreamerProcess, StopSignalEndsAfterTheRecordBeingWritten) {
  struct Case {
    const char* name;
    int signal;
    int stops;
    bool reads_on;
  };
  const Case cases[] = {
      {"SIGTERM, reader reading in bursts", SIGTERM, 50, true},
      {"SIGINT, reader reading in bursts", SIGINT, 5, true},
      {"SIGTERM, reader that never reads again", SIGTERM, 1, false},
  };
  // Noise at full quality: a record of several hundred kilobytes, far beyond a pipe's buffer.
  VirtualScreen screen = start_screen();
  std::vector<std::uint8_t> noise(640 * 480 * 4);
  unsigned state = 1;
  for (auto& byte : noise) byte = static_cast<std::uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
  auto painter = ScreenPainter::connect(screen.display());
  ASSERT_TRUE(painter.has_value()) << painter.error();
  painter->show(noise);
  constexpr std::size_t burst = 64 * 1024;
  for (const auto& c : cases) {
    for (int stop = 0; stop < c.stops; ++stop) {
      auto child = ChildProcess::spawn({STREAMER_BIN, "--quality", "1"}, screen.display());
      ASSERT_TRUE(child.has_value()) << child.error();
      std::vector<std::uint8_t> bytes(burst);
      bytes.resize(child->read_some(bytes.data(), burst, 10s));
      ASSERT_FALSE(bytes.empty()) << c.name << ", stop " << stop << ": no output";
      // Time for the streamer to fill the pipe and block in the middle of the record.
      std::this_thread::sleep_for(20ms);
      ASSERT_EQ(::kill(child->pid(), c.signal), 0);
      const auto signalled = Clock::now();
      if (c.reads_on) {
        std::uint8_t chunk[burst];
        while (const std::size_t got = child->read_some(chunk, burst, 5s)) {
          bytes.insert(bytes.end(), chunk, chunk + got);
          std::this_thread::sleep_for(2ms);
        }
      }
      EXPECT_EQ(child->wait_exit(5s), -c.signal) << c.name << ", stop " << stop;
      EXPECT_LT(Clock::now() - signalled, 4s) << c.name;
      if (!c.reads_on) continue;
      const RecordWalk walk = walk_records(bytes);
      EXPECT_EQ(walk.records, 1) << c.name << ", stop " << stop;
      ASSERT_EQ(walk.whole_bytes, bytes.size())
          << c.name << ", stop " << stop << ": a cut record of " << bytes.size() - walk.whole_bytes
          << " bytes";
    }
  }
}

}  // namespace
}  // namespace morvane::streamer::testing
