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
      capture_size_(configuration.size),
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
  // The screen may have changed size since the display was listed.
  fit_capture_size_to_screen();
  worker_ = std::thread([this] { run(); });
  return {};
}

void X11CaptureStream::run() {
  auto next = std::chrono::steady_clock::now();
  while (wait_for_next_tick(next)) {
    if (auto delivered = deliver_sample(); !delivered) {
      delegate_.on_stop(delivered.error());
      return;
    }
  }
}

bool X11CaptureStream::wait_for_next_tick(std::chrono::steady_clock::time_point& next) {
  std::unique_lock lock(sleep_mutex_);
  if (sleep_.wait_until(lock, next, [this] { return stopping_; })) return false;
  // A late frame moves the schedule instead of bursting to catch up.
  next = std::max(next + interval_, std::chrono::steady_clock::now());
  return true;
}

std::expected<void, std::string> X11CaptureStream::deliver_sample() {
  const bool changed = grabber_->take_changes() || grab_due_;
  if (connection_.broken()) return std::unexpected(connection_.error_description());
  Sample sample;
  if (changed) {
    auto grabbed = grab_frame();
    if (connection_.broken()) return std::unexpected(connection_.error_description());
    if (!grabbed) return grabbed;
    sample.status = static_cast<std::int64_t>(FrameStatus::complete);
  } else {
    sample.status = static_cast<std::int64_t>(FrameStatus::idle);
  }
  // Without an image (a refused grab) the sample still lets the output look for a departed
  // reader.
  sample.image = last_image_;
  sample.capture_size = capture_size_;
  output_->on_sample(sample);
  return {};
}

std::expected<void, std::string> X11CaptureStream::grab_frame() {
  if (grabber_->screen_resized()) {
    if (auto followed = follow_screen_size(); !followed) return followed;
  }
  auto grabbed = grabber_->grab();
  // A refused grab drops this frame only; the next tick tries again, damage or not.
  grab_due_ = !grabbed;
  if (grabbed) {
    last_image_ = scaler_.scale(*grabbed);
  } else {
    last_image_.reset();
  }
  return {};
}

std::expected<void, std::string> X11CaptureStream::follow_screen_size() {
  // Both the last image and the old segment go; the segment is freed before the new one is
  // made.
  last_image_.reset();
  grabber_.reset();
  auto grabber = ScreenGrabber::create(connection_);
  if (!grabber) {
    return std::unexpected("cannot capture the screen at its new size: " + grabber.error());
  }
  grabber_.emplace(std::move(*grabber));
  fit_capture_size_to_screen();
  return {};
}

void X11CaptureStream::fit_capture_size_to_screen() {
  const CaptureSize size =
      capture_size(grabber_->width(), grabber_->height(), configuration_.maximum_width);
  if (size == capture_size_) return;
  capture_size_ = size;
  scaler_ = FrameScaler(size);
}

}  // namespace morvane::streamer
