#include "capture_stream_x11.h"

#include <algorithm>

namespace morvane::streamer {

namespace {

std::chrono::nanoseconds frame_interval(const StreamConfiguration& configuration) {
  using namespace std::chrono;
  const auto whole = duration_cast<nanoseconds>(seconds(1)).count();
  return nanoseconds(whole * std::max<std::int64_t>(configuration.minimum_frame_interval_value, 0) /
                     std::max<std::int32_t>(configuration.minimum_frame_interval_timescale, 1));
}

}  // namespace

X11CaptureStream::X11CaptureStream(XConnection connection,
                                   const StreamConfiguration& configuration,
                                   StreamOutput& delegate)
    : connection_(std::move(connection)),
      configuration_(configuration),
      interval_(frame_interval(configuration)),
      delegate_(delegate),
      scaler_(configuration.size) {}

X11CaptureStream::~X11CaptureStream() {
  {
    std::lock_guard lock(sleep_mutex_);
    stopping_ = true;
  }
  sleep_.notify_all();
  // Joined here, before any member the worker uses goes away.
  if (worker_.joinable()) worker_.join();
}

std::expected<void, std::string> X11CaptureStream::add_output(StreamOutput& output) {
  if (output_ != nullptr) return std::unexpected(std::string("the stream already has an output"));
  output_ = &output;
  return {};
}

std::expected<void, std::string> X11CaptureStream::start() {
  if (output_ == nullptr) return std::unexpected(std::string("the stream has no output"));
  if (worker_.joinable()) return std::unexpected(std::string("the stream is already running"));
  auto grabber = ScreenGrabber::create(connection_);
  if (!grabber) return std::unexpected(grabber.error());
  grabber_.emplace(std::move(*grabber));
  worker_ = std::thread([this] { run(); });
  return {};
}

void X11CaptureStream::run() {
  auto next = std::chrono::steady_clock::now();
  bool first = true;
  while (wait_for_next_tick(next)) {
    if (!deliver_sample(first)) {
      delegate_.on_stop(connection_.error_description());
      return;
    }
    first = false;
  }
}

bool X11CaptureStream::wait_for_next_tick(std::chrono::steady_clock::time_point& next) {
  std::unique_lock lock(sleep_mutex_);
  if (sleep_.wait_until(lock, next, [this] { return stopping_; })) return false;
  // A late frame moves the schedule instead of bursting to catch up.
  next = std::max(next + interval_, std::chrono::steady_clock::now());
  return true;
}

bool X11CaptureStream::deliver_sample(bool first) {
  const bool changed = grabber_->take_changes() || first;
  if (connection_.broken()) return false;
  Sample sample;
  if (changed) {
    auto grabbed = grabber_->grab();
    if (connection_.broken()) return false;
    // A refused grab drops this frame only; the next tick tries again.
    if (!grabbed) return true;
    last_image_ = scaler_.scale(*grabbed);
    sample.status = static_cast<std::int64_t>(FrameStatus::complete);
  } else {
    sample.status = static_cast<std::int64_t>(FrameStatus::idle);
  }
  sample.image = last_image_;
  output_->on_sample(sample);
  return true;
}

}  // namespace morvane::streamer
