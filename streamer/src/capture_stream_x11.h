#pragma once

// An X screen as a capture stream on a worker thread of its own.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "capture_interfaces.h"
#include "frame_scaler_linux.h"
#include "screen_grabber_x11.h"
#include "x11_connection_x11.h"

namespace morvane::streamer {

// The screen of an X display as a stream of samples, delivered one after another on the
// stream's own worker thread (its serial queue). Each sample is handled before the next
// capture, so at most one frame waits at any time, well within the configured queue depth.
// The pointer is not drawn. When the screen changes size the stream goes on at the new size,
// scaled under the same width limit, and each sample says the size it was captured at.
class X11CaptureStream final : public CaptureStream {
 public:
  X11CaptureStream(XConnection connection, const StreamConfiguration& configuration,
                   StreamOutput& delegate);
  ~X11CaptureStream() override;

  std::expected<void, std::string> add_output(StreamOutput& output) override;
  std::expected<void, std::string> start() override;

 private:
  void run();
  // Sleeps until `next` and moves it on by one interval; false once the stream is stopping.
  bool wait_for_next_tick(std::chrono::steady_clock::time_point& next);
  // One sample: a fresh grab when the screen changed, else the last image marked idle. The
  // error is why the stream cannot go on.
  std::expected<void, std::string> deliver_sample();
  // Sets last_image_ to the screen's pixels at the capture size, empty when the server refused
  // them. (Not an expected holding an optional: libc++ 16 loses such a value, its flag laid in
  // the optional's padding.)
  std::expected<void, std::string> grab_frame();
  // A new grabber for the screen's new size, and the capture size and scaler to match.
  std::expected<void, std::string> follow_screen_size();
  void fit_capture_size_to_screen();

  XConnection connection_;
  StreamConfiguration configuration_;
  std::chrono::nanoseconds interval_;
  StreamOutput& delegate_;
  StreamOutput* output_ = nullptr;
  std::optional<ScreenGrabber> grabber_;
  CaptureSize capture_size_;
  FrameScaler scaler_;
  // Points into the grabber's segment or the scaler's buffer.
  std::optional<BgraImage> last_image_;
  // Set for the first frame and after a refused grab: grab whether or not damage was seen.
  bool grab_due_ = true;
  // A plain thread and flag rather than std::jthread: libc++, the macOS build's library, has
  // no std::stop_token yet.
  std::mutex sleep_mutex_;
  std::condition_variable sleep_;
  bool stopping_ = false;  // guarded by sleep_mutex_
  std::thread worker_;
};

}  // namespace morvane::streamer
