#pragma once

// Foundation's one-time switch into multithreaded mode, exported as a C routine.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "response/adapter_error.h"
#include "system/foundation_threading.h"

// Puts Foundation into multithreaded mode: 0 on success, 1 to 4 for the failures below. The
// executable exports it under this unmangled name.
extern "C" int morvane_ensure_cocoa_multithreaded();

namespace morvane::cocoa_runtime {

inline constexpr int kStatusMultithreaded = 0;
inline constexpr int kStatusThreadNil = 1;
inline constexpr int kStatusThreadDidNotFinish = 2;
inline constexpr int kStatusStillSingleThreaded = 3;
inline constexpr int kStatusExceptionRaised = 4;
// Polls of isFinished, one millisecond apart, before the probe thread counts as stuck.
inline constexpr int kProbePollBudget = 1000;

// Foundation switches to multithreaded mode when its first NSThread starts, so starting an
// empty probe thread is enough; the poll only bounds how long we wait for it.
int run_multithreaded_setup(platform::FoundationThreading& threading);

// The message kept for a failed status.
std::string_view failure_message(int status);

// The process-wide once-cell of the set-up: the first caller runs the routine, concurrent
// first callers wait, and the outcome (failures included) is kept for good.
class InitializationCell {
 public:
  using Routine = int (*)();
  Status ensure(Routine routine);

 private:
  std::once_flag once_;
  std::optional<std::string> failure_;
};

// The process's cell.
InitializationCell& INITIALIZED();

// Runs morvane_ensure_cocoa_multithreaded at most once per process.
Status ensure_cocoa_multithreaded();

}  // namespace morvane::cocoa_runtime
