#include "frame_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "record_header.h"
#include "streamer_fakes.h"

namespace morvane::streamer {
namespace {

using testing::FakeEncoder;
using testing::FakeEnd;
using testing::FakeSink;

constexpr std::uint8_t pixel[4] = {1, 2, 3, 255};

Sample screen_sample(FrameStatusValue status) {
  Sample sample;
  sample.image = BgraImage{pixel, 1, 1, 4};
  sample.status = status;
  return sample;
}

struct Harness {
  explicit Harness(std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xAA, 0xFF, 0xD9}) {
    auto owned = std::make_unique<FakeEncoder>(std::move(jpeg));
    encoder = owned.get();
    output = std::make_unique<FrameOutput>(CaptureSize{1024, 665}, 0.55, std::move(owned), sink, end);
  }
  FakeSink sink;
  FakeEnd end;
  FakeEncoder* encoder = nullptr;
  std::unique_ptr<FrameOutput> output;
};

TEST(FrameOutput, WritesHeaderThenJpegAsOneRecord) {
  std::vector<std::uint8_t> jpeg(54321, 0x5A);
  Harness h(jpeg);
  h.output->on_sample(screen_sample(std::int64_t{0}));

  const auto header = encode_record_header(54321, 1024, 665);
  std::vector<std::uint8_t> expected(header.size() + jpeg.size());
  std::copy(jpeg.begin(), jpeg.end(), std::copy(header.begin(), header.end(), expected.begin()));
  EXPECT_EQ(h.sink.bytes(), expected);
  EXPECT_EQ(h.sink.writes, 2);
  EXPECT_DOUBLE_EQ(h.encoder->last_quality, 0.55);
  EXPECT_TRUE(h.end.lines.empty());
}

TEST(FrameOutput, ConsecutiveFramesAreBackToBack) {
  Harness h;
  h.output->on_sample(screen_sample(NoFrameStatus{}));
  h.output->on_sample(screen_sample(NoFrameStatus{}));
  ASSERT_EQ(h.sink.bytes().size(), 2 * (12 + 5u));
  EXPECT_TRUE(std::equal(h.sink.bytes().begin(), h.sink.bytes().begin() + 17,
                         h.sink.bytes().begin() + 17));
}

TEST(FrameOutput, FrameStatusDecidesWhetherARecordIsWritten) {
  struct Case {
    const char* name;
    FrameStatusValue status;
    bool written;
  };
  const Case cases[] = {
      {"complete", std::int64_t{0}, true},     {"idle", std::int64_t{1}, false},
      {"blank", std::int64_t{2}, false},       {"suspended", std::int64_t{3}, false},
      {"started", std::int64_t{4}, true},      {"stopped", std::int64_t{5}, false},
      {"unknown 7", std::int64_t{7}, false},   {"negative", std::int64_t{-1}, false},
      {"missing", NoFrameStatus{}, true},      {"not an integer", NonIntegerFrameStatus{}, true},
  };
  for (const auto& c : cases) {
    Harness h;
    h.output->on_sample(screen_sample(c.status));
    EXPECT_EQ(!h.sink.bytes().empty(), c.written) << c.name;
    EXPECT_EQ(h.encoder->calls, c.written ? 1 : 0) << c.name;
  }
}

TEST(FrameOutput, UnusableSamplesAreDroppedSilently) {
  Sample audio = screen_sample(std::int64_t{0});
  audio.type = OutputType::audio;
  Sample invalid = screen_sample(std::int64_t{0});
  invalid.valid = false;
  Sample no_image = screen_sample(std::int64_t{0});
  no_image.image.reset();
  for (const Sample& sample : {audio, invalid, no_image}) {
    Harness h;
    h.output->on_sample(sample);
    EXPECT_TRUE(h.sink.bytes().empty());
    EXPECT_TRUE(h.end.lines.empty());
  }
}

TEST(FrameOutput, EmptyEncodingWritesNothing) {
  Harness h(std::vector<std::uint8_t>{});
  h.output->on_sample(screen_sample(std::int64_t{0}));
  EXPECT_EQ(h.sink.writes, 0);
  EXPECT_TRUE(h.end.lines.empty());
}

TEST(FrameOutput, StopEndsWithOneLine) {
  Harness h;
  h.output->on_stop("the connection to the X server was lost");
  EXPECT_EQ(h.end.lines,
            std::vector<std::string>{"screen capture stopped: the connection to the X server was lost"});
  EXPECT_TRUE(h.sink.bytes().empty());
}

// The stop comes from another thread while the header of a record is being written: it waits
// until the record is whole, and nothing is written after it.
TEST(FrameOutput, StopWaitsForTheRecordBeingWritten) {
  Harness h;
  std::thread stop;
  std::atomic<bool> stopping = false;
  std::vector<std::size_t> lines_during_writes;
  h.sink.during_write = [&] {
    if (h.sink.writes == 1) {
      stop = std::thread([&] {
        stopping = true;
        h.output->on_stop("display removed");
      });
      while (!stopping) std::this_thread::yield();
      // Time for a stop that does not wait to end the process in the middle of the record.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    lines_during_writes.push_back(h.end.lines.size());
  };
  h.output->on_sample(screen_sample(std::int64_t{0}));
  stop.join();
  EXPECT_EQ(lines_during_writes, (std::vector<std::size_t>{0, 0}));
  EXPECT_EQ(h.sink.bytes().size(), 12 + 5u);
  EXPECT_EQ(h.end.lines, std::vector<std::string>{"screen capture stopped: display removed"});
  h.output->on_sample(screen_sample(std::int64_t{0}));
  EXPECT_EQ(h.sink.writes, 2);
}

TEST(FrameOutput, FailedWriteEndsTheProcessAndNothingMoreIsWritten) {
  for (int failing_write : {1, 2}) {  // the header, then the JPEG data
    Harness h;
    h.sink.fail_from_write = failing_write;
    h.output->on_sample(screen_sample(std::int64_t{0}));
    EXPECT_EQ(h.end.lines, std::vector<std::string>{"frame output failed: Broken pipe"});
    EXPECT_EQ(h.sink.writes, failing_write) << "the record is not retried";

    // Only reached in tests, where ending the process returns.
    h.output->on_sample(screen_sample(std::int64_t{0}));
    EXPECT_EQ(h.sink.writes, failing_write);
    EXPECT_EQ(h.end.lines.size(), 1u);
  }
}

// A record here is 12 + 5 bytes. The file is what stays once the streamer has ended.
TEST(FrameOutput, FailedWriteToAFileLeavesOnlyWholeRecords) {
  struct Case {
    const char* name;
    bool regular_file;
    std::size_t earlier_bytes;  // in the file before the streamer started
    int failing_write;          // odd: a header, even: JPEG data
    std::size_t partial_bytes;  // that the failing write still put out
    std::size_t file_size;
  };
  const Case cases[] = {
      {"cut in the first header", true, 0, 1, 5, 0},
      {"cut in the first JPEG", true, 0, 2, 3, 0},
      {"nothing of the third header", true, 0, 5, 0, 2 * 17},
      {"cut in the third header", true, 0, 5, 11, 2 * 17},
      {"cut in the third JPEG", true, 0, 6, 4, 2 * 17},
      {"earlier content is kept", true, 100, 4, 1, 100 + 17},
      {"a pipe cannot take back", false, 0, 4, 2, 17 + 12 + 2},
  };
  for (const auto& c : cases) {
    Harness h;
    h.sink.regular_file = c.regular_file;
    h.sink.start_with(std::vector<std::uint8_t>(c.earlier_bytes, 0x11));
    h.sink.fail_from_write = c.failing_write;
    h.sink.partial_bytes = c.partial_bytes;
    h.sink.failure = "No space left on device";
    for (int frame = 0; frame < 4; ++frame) h.output->on_sample(screen_sample(std::int64_t{0}));
    EXPECT_EQ(h.sink.bytes().size(), c.file_size) << c.name;
    EXPECT_EQ(h.sink.truncations, c.regular_file ? 1 : 0) << c.name;
    EXPECT_EQ(h.end.lines, std::vector<std::string>{"frame output failed: No space left on device"})
        << c.name;
  }
}

TEST(FrameOutput, StillScreenNoticesDepartedReader) {
  struct Case {
    const char* name;
    bool with_image;
  };
  // An idle sample may repeat the last image or carry none at all.
  for (const Case& c : {Case{"idle with an image", true}, Case{"idle without an image", false}}) {
    Harness h;
    Sample idle = screen_sample(std::int64_t{1});
    if (!c.with_image) idle.image.reset();
    h.output->on_sample(idle);
    EXPECT_EQ(h.sink.reader_checks, 1) << c.name;
    EXPECT_TRUE(h.end.lines.empty()) << c.name;

    h.sink.reader_gone = true;
    h.output->on_sample(idle);
    EXPECT_EQ(h.end.lines, std::vector<std::string>{"frame output failed: Broken pipe"}) << c.name;
    EXPECT_EQ(h.sink.writes, 0) << c.name;
  }
}

}  // namespace
}  // namespace morvane::streamer
