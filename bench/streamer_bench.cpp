// Per-frame cost of frame_streamer's X11 pipeline at 1024 x 665 from a 1512 x 982 screen:
// capture, scale, encode and write, each and in total, against a bare TurboJPEG encode of the
// same frame; then the program's own CPU share while it streams a changing screen at 30 fps.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "capture_size.h"
#include "frame_output.h"
#include "frame_scaler_linux.h"
#include "jpeg_encoder_linux.h"
#include "posix_output.h"
#include "record_header.h"
#include "screen_grabber_x11.h"
#include "x11_test_support.h"

namespace {

using namespace morvane::streamer;
using namespace morvane::streamer::testing;

constexpr int screen_width = 1512;
constexpr int screen_height = 982;
constexpr double quality = 0.55;

// One Xvfb for the whole run, showing a desktop-like picture.
VirtualScreen& shared_screen() {
  static VirtualScreen screen = [] {
    auto started = VirtualScreen::start(screen_width, screen_height);
    if (!started) {
      std::fprintf(stderr, "%s\n", started.error().c_str());
      std::exit(1);
    }
    auto painter = ScreenPainter::connect(started->display());
    painter->show(desktop_picture(screen_width, screen_height, 1));
    return std::move(*started);
  }();
  return screen;
}

// A pipe whose far end is read and discarded, as the host would read the stream.
class DrainedPipe {
 public:
  DrainedPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    read_ = fds[0];
    write_ = fds[1];
    drain_ = std::thread([fd = read_] {
      char buffer[1 << 16];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
    });
  }
  ~DrainedPipe() {
    ::close(write_);
    drain_.join();
    ::close(read_);
  }
  int fd() const { return write_; }

 private:
  int read_ = -1;
  int write_ = -1;
  std::thread drain_;
};

class BenchEnd final : public ProcessEnd {
 public:
  void fail(std::string_view line) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    std::abort();
  }
};

struct Pipeline {
  explicit Pipeline(XConnection c)
      : connection(std::move(c)), grabber(*ScreenGrabber::create(connection)),
        scaler(capture_size(screen_width, screen_height, 1024)) {}
  XConnection connection;
  ScreenGrabber grabber;
  FrameScaler scaler;
  DrainedPipe pipe;
  DescriptorSink sink{pipe.fd()};
  BenchEnd end;
};

std::unique_ptr<Pipeline> make_pipeline() {
  auto connection = XConnection::open(shared_screen().display());
  if (!connection) std::abort();
  return std::make_unique<Pipeline>(std::move(*connection));
}

BgraImage scaled_frame(Pipeline& p) { return *p.scaler.scale(*p.grabber.grab()); }

void BM_Capture(benchmark::State& state) {
  auto p = make_pipeline();
  for (auto _ : state) benchmark::DoNotOptimize(p->grabber.grab());
}

void BM_Scale(benchmark::State& state) {
  auto p = make_pipeline();
  const BgraImage screen = *p->grabber.grab();
  for (auto _ : state) benchmark::DoNotOptimize(p->scaler.scale(screen));
}

void BM_Encode(benchmark::State& state) {
  auto p = make_pipeline();
  const BgraImage frame = scaled_frame(*p);
  auto encoder = std::move(*TurboJpegEncoder::create());
  std::size_t bytes = 0;
  for (auto _ : state) bytes = encoder->encode(frame, quality).size();
  state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}

void BM_Write(benchmark::State& state) {
  auto p = make_pipeline();
  auto encoder = std::move(*TurboJpegEncoder::create());
  const auto jpeg = encoder->encode(scaled_frame(*p), quality);
  const auto header = encode_record_header(static_cast<std::uint32_t>(jpeg.size()), 1024, 665);
  for (auto _ : state) {
    benchmark::DoNotOptimize(p->sink.write_all(header));
    benchmark::DoNotOptimize(p->sink.write_all(jpeg));
  }
}

// What the capture thread does for one changed frame.
void BM_Total(benchmark::State& state) {
  auto p = make_pipeline();
  FrameOutput output(capture_size(screen_width, screen_height, 1024), quality,
                     std::move(*TurboJpegEncoder::create()), p->sink, p->end);
  for (auto _ : state) {
    p->grabber.take_changes();
    Sample sample;
    sample.image = scaled_frame(*p);
    sample.status = std::int64_t{0};
    output.on_sample(sample);
  }
}

// TurboJPEG alone on the same scaled frame, with its own buffer handling.
void BM_BareTurboJpeg(benchmark::State& state) {
  auto p = make_pipeline();
  const BgraImage frame = scaled_frame(*p);
  tjhandle handle = tjInitCompress();
  for (auto _ : state) {
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, frame.pixels, int(frame.width), int(frame.bytes_per_row), int(frame.height),
                TJPF_BGRA, &jpeg, &size, TJSAMP_420, 55, 0);
    benchmark::DoNotOptimize(size);
    tjFree(jpeg);
  }
  tjDestroy(handle);
}

double process_cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the parenthesised command name; utime and stime are the 14th and 15th.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; rest >> field && index <= 15; ++index) {
    if (index >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The real program at 30 fps while a strip of the screen changes all the time.
void BM_StreamerCpuShareAt30Fps(benchmark::State& state) {
  const std::string display = shared_screen().display();
  for (auto _ : state) {
    auto streamer = ChildProcess::spawn({STREAMER_BIN, "--fps", "30"}, display);
    if (!streamer) {
      state.SkipWithError(streamer.error().c_str());
      return;
    }
    std::atomic<int> records = 0;
    std::jthread reader([&](std::stop_token stop) {
      while (!stop.stop_requested() && read_record(*streamer, std::chrono::seconds(1))) ++records;
    });
    std::jthread painter([display](std::stop_token stop) {
      auto painter = ScreenPainter::connect(display);
      const auto a = desktop_picture(screen_width, screen_height, 1);
      const auto b = desktop_picture(screen_width, screen_height, 2);
      for (int i = 0; !stop.stop_requested(); ++i) {
        painter->show(i % 2 ? a : b, 300, 40);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up
    const double cpu_before = process_cpu_seconds(streamer->pid());
    const int records_before = records;
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.counters["cpu_share_of_one_core"] =
        (process_cpu_seconds(streamer->pid()) - cpu_before) / seconds;
    state.counters["records_per_second"] = (records - records_before) / seconds;
    painter.request_stop();
    painter.join();
    reader.request_stop();
  }
}

BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Scale)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Total)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BareTurboJpeg)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_StreamerCpuShareAt30Fps)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
