#include "capture_setup.h"

#include "streamer_process.h"

#include <gtest/gtest.h>

#include "streamer_fakes.h"

namespace morvane::streamer {
namespace {

using testing::FakeEncoder;
using testing::FakeEnd;
using testing::FakeSink;

struct StreamLog {
  std::optional<StreamConfiguration> configuration;
  StreamOutput* delegate = nullptr;
  StreamOutput* output = nullptr;
  bool started = false;
};

class FakeStream final : public CaptureStream {
 public:
  FakeStream(StreamLog& log, std::string add_error, std::string start_error)
      : log_(log), add_error_(std::move(add_error)), start_error_(std::move(start_error)) {}
  std::expected<void, std::string> add_output(StreamOutput& output) override {
    if (!add_error_.empty()) return std::unexpected(add_error_);
    log_.output = &output;
    return {};
  }
  std::expected<void, std::string> start() override {
    if (!start_error_.empty()) return std::unexpected(start_error_);
    log_.started = true;
    return {};
  }

 private:
  StreamLog& log_;
  std::string add_error_, start_error_;
};

class FakePlatform final : public CapturePlatform {
 public:
  std::expected<std::vector<Display>, std::string> shareable_displays() override {
    if (!content_error.empty()) return std::unexpected(content_error);
    return displays;
  }
  std::expected<std::unique_ptr<JpegEncoder>, std::string> make_jpeg_encoder() override {
    return std::make_unique<FakeEncoder>(std::vector<std::uint8_t>{0xFF});
  }
  std::expected<std::unique_ptr<CaptureStream>, std::string> make_stream(
      const Display&, const StreamConfiguration& configuration, StreamOutput& delegate) override {
    log.configuration = configuration;
    log.delegate = &delegate;
    return std::make_unique<FakeStream>(log, add_error, start_error);
  }
  ByteSink& standard_output() override { return sink; }
  ProcessEnd& process_end() override { return end; }

  std::vector<Display> displays{{7, 1512, 982}, {8, 800, 600}};
  std::string content_error, add_error, start_error;
  StreamLog log;
  FakeSink sink;
  FakeEnd end;
};

TEST(CaptureSetUp, FailuresGiveTheirLine) {
  struct Case {
    const char* name;
    void (*arrange)(FakePlatform&);
    const char* line;
  };
  const Case cases[] = {
      {"no content", [](FakePlatform& p) { p.content_error = "denied"; },
       "screen capture failed: denied"},
      {"no display", [](FakePlatform& p) { p.displays.clear(); }, "no display available"},
      {"output refused", [](FakePlatform& p) { p.add_error = "bad output"; },
       "screen capture failed: bad output"},
      {"start refused", [](FakePlatform& p) { p.start_error = "not started"; },
       "screen capture failed: not started"},
  };
  for (const auto& c : cases) {
    FakePlatform platform;
    c.arrange(platform);
    auto running = set_up_capture(platform, StreamerOptions{});
    ASSERT_FALSE(running.has_value()) << c.name;
    EXPECT_EQ(running.error(), c.line) << c.name;
    EXPECT_FALSE(platform.log.started) << c.name;
    EXPECT_TRUE(platform.sink.bytes().empty()) << c.name;
  }
}

TEST(CaptureSetUp, ConfiguresTheFirstDisplaysStream) {
  FakePlatform platform;
  auto running = set_up_capture(platform, StreamerOptions{1024, 0.55, 12});
  ASSERT_TRUE(running.has_value()) << running.error();
  ASSERT_TRUE(platform.log.configuration.has_value());
  const StreamConfiguration& config = *platform.log.configuration;
  EXPECT_EQ(config.size, (CaptureSize{1024, 665}));
  EXPECT_EQ(config.minimum_frame_interval_value, 1);
  EXPECT_EQ(config.minimum_frame_interval_timescale, 12);
  EXPECT_EQ(config.queue_depth, 5);
  EXPECT_TRUE(config.shows_cursor);
  EXPECT_EQ(config.pixel_format, PixelFormat::bgra);
  EXPECT_TRUE(platform.log.started);
  EXPECT_EQ(platform.log.delegate, running->output.get());
  EXPECT_EQ(platform.log.output, running->output.get());
}

TEST(CaptureSetUp, SetUpTaskKeepsTheCaptureOrEndsWithItsLine) {
  for (bool refused : {false, true}) {
    FakePlatform platform;
    if (refused) platform.start_error = "not started";
    std::optional<RunningCapture> running;
    run_capture_set_up(platform, StreamerOptions{}, running);
    EXPECT_EQ(running.has_value(), !refused);
    const std::vector<std::string> lines =
        refused ? std::vector<std::string>{"screen capture failed: not started"}
                : std::vector<std::string>{};
    EXPECT_EQ(platform.end.lines, lines);
  }
}

TEST(CaptureSetUp, FrameRateBeyondATimescaleIsCapped) {
  EXPECT_EQ(stream_configuration({1, 1}, std::int64_t{1} << 40).minimum_frame_interval_timescale,
            2147483647);
}

}  // namespace
}  // namespace morvane::streamer
