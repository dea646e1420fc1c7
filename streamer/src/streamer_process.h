#pragma once

// What every platform's main does around the capture: the process's descriptors and signals
// first, then the set-up on a thread of its own.

#include <optional>
#include <string>

#include "capture_interfaces.h"
#include "capture_setup.h"
#include "options.h"

namespace morvane::streamer {

// Must run before anything opens a descriptor. Holds each closed descriptor 0 to 2 with
// /dev/null, so that no connection lands there and takes bytes meant for another stream, and
// ignores SIGPIPE and SIGXFSZ, so that a departed reader or a file size limit shows as a
// failed write. Returns the line to end with when standard output was closed at launch:
// the stream's only product would go nowhere.
std::optional<std::string> prepare_process();

// The set-up task: starts the capture and keeps it in `running`, or ends the process with the
// set-up's line.
void run_capture_set_up(CapturePlatform& platform, const StreamerOptions& options,
                        std::optional<RunningCapture>& running);

}  // namespace morvane::streamer
