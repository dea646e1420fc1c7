#include "system/cocoa_runtime.h"

namespace morvane::cocoa_runtime {

namespace {

// A probe thread object released on every way out of the set-up.
class ProbeThread {
 public:
  ProbeThread(platform::FoundationThreading& threading, platform::Thread thread)
      : threading_(threading), thread_(thread) {}
  ~ProbeThread() {
    if (thread_ != nullptr) threading_.release(thread_);
  }
  ProbeThread(const ProbeThread&) = delete;
  ProbeThread& operator=(const ProbeThread&) = delete;
  platform::Thread get() const { return thread_; }

 private:
  platform::FoundationThreading& threading_;
  platform::Thread thread_;
};

std::expected<int, platform::Raised> wait_for_probe(platform::FoundationThreading& threading,
                                                    platform::Thread thread) {
  for (int polls_left = kProbePollBudget;; --polls_left) {
    auto finished = threading.is_finished(thread);
    if (!finished) return std::unexpected(finished.error());
    if (*finished || polls_left == 0) break;
    threading.sleep_microseconds(1000);
  }
  auto finished = threading.is_finished(thread);
  if (!finished) return std::unexpected(finished.error());
  if (!*finished) return kStatusThreadDidNotFinish;
  auto multithreaded = threading.is_multithreaded();
  if (!multithreaded) return std::unexpected(multithreaded.error());
  return *multithreaded ? kStatusMultithreaded : kStatusStillSingleThreaded;
}

}  // namespace

int run_multithreaded_setup(platform::FoundationThreading& threading) {
  auto already = threading.is_multithreaded();
  if (!already) return kStatusExceptionRaised;
  if (*already) return kStatusMultithreaded;

  auto created = threading.create_probe_thread();
  if (!created) return kStatusExceptionRaised;
  if (*created == nullptr) return kStatusThreadNil;
  ProbeThread probe(threading, *created);

  if (!threading.start(probe.get())) return kStatusExceptionRaised;
  auto status = wait_for_probe(threading, probe.get());
  return status ? *status : kStatusExceptionRaised;
}

std::string_view failure_message(int status) {
  switch (status) {
    case kStatusThreadNil: return "NSThread initialization returned null";
    case kStatusThreadDidNotFinish: return "NSThread initialization did not finish within one second";
    case kStatusStillSingleThreaded: return "Foundation did not enter multithreaded mode";
    case kStatusExceptionRaised:
      return "Foundation raised an exception during multithreaded initialization";
    default: return "Foundation returned an invalid initialization status";
  }
}

Status InitializationCell::ensure(Routine routine) {
  std::call_once(once_, [&] {
    const int status = routine();
    if (status != kStatusMultithreaded) failure_ = std::string(failure_message(status));
  });
  if (!failure_) return {};
  return fail(AdapterError::make(ErrorCode::APP_UNRESPONSIVE, *failure_)
                  .with_details({{"kind", "cocoa_runtime_initialization"}, {"retryable", false}}));
}

InitializationCell& INITIALIZED() {
  static InitializationCell cell;
  return cell;
}

Status ensure_cocoa_multithreaded() { return INITIALIZED().ensure(&morvane_ensure_cocoa_multithreaded); }

}  // namespace morvane::cocoa_runtime
