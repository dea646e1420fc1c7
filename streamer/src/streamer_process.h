#pragma once

// What every platform's main does around the capture: the process's descriptors and signals
// first, then the set-up on a thread of its own.

#include <atomic>
#include <optional>
#include <string>

#include "capture_interfaces.h"
#include "capture_setup.h"
#include "frame_output.h"
#include "options.h"

namespace morvane::streamer {

// Must run before anything opens a descriptor. Holds each closed descriptor 0 to 2 with
// /dev/null, so that no connection lands there and takes bytes meant for another stream, and
// ignores SIGPIPE and SIGXFSZ, so that a departed reader or a file size limit shows as a
// failed write. Returns the line to end with when standard output was closed at launch:
// the stream's only product would go nowhere.
std::optional<std::string> prepare_process();

// SIGTERM and SIGINT end the process by that same signal and its default action, as they would
// without a handler, but only once the record being written is whole (waiting at most
// record_finish_bound for the host to read it), and with nothing written after it. A signal
// the process was started ignoring stays ignored. The handler only writes the signal's number
// to a pipe; a thread of its own does the rest, outside any handler.
class StopSignals {
 public:
  // Installs the handlers and starts their thread; call once, from main, after
  // prepare_process. Lives as long as the process.
  static StopSignals& install();

  // The output whose record a stop lets finish; named before its stream starts, so that no
  // record can be under way unseen.
  void guard(FrameOutput& output) { output_ = &output; }

 private:
  StopSignals() = default;
  [[noreturn]] void stop_on_signal(int signal);

  std::atomic<FrameOutput*> output_ = nullptr;
};

// The set-up task: starts the capture and keeps it in `running`, or ends the process with the
// set-up's line. `stops`, when given, guards the output.
void run_capture_set_up(CapturePlatform& platform, const StreamerOptions& options,
                        std::optional<RunningCapture>& running, StopSignals* stops = nullptr);

}  // namespace morvane::streamer
