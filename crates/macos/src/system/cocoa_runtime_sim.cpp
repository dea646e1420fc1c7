// The stand-in's Foundation: a process-wide multithreaded flag that the first started thread
// sets, as Foundation's own flag is set when the first NSThread starts.
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

#include "system/cocoa_runtime.h"

namespace morvane {

namespace {

// The probe runs one store and returns: a small stack is plenty, and a default one (8 MiB,
// mapped, then given back page by page at exit) costs every launch.
constexpr std::size_t kProbeStackBytes = 64 * 1024;

std::atomic<bool> g_multithreaded{false};

struct SimThread {
  pthread_t thread{};
  bool started = false;
  std::atomic<bool> finished{false};
};

// Allocates nothing: the first malloc or free on a new thread makes the C library set up a
// heap arena for it, which this thread would never use.
void* run_probe(void* argument) {
  static_cast<SimThread*>(argument)->finished.store(true);
  return nullptr;
}

class SimFoundationThreading final : public platform::FoundationThreading {
 public:
  std::expected<bool, platform::Raised> is_multithreaded() override {
    return g_multithreaded.load();
  }
  std::expected<platform::Thread, platform::Raised> create_probe_thread() override {
    return reinterpret_cast<platform::Thread>(new SimThread);
  }
  std::expected<void, platform::Raised> start(platform::Thread thread) override {
    auto* sim = reinterpret_cast<SimThread*>(thread);
    g_multithreaded.store(true);
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
      error = pthread_attr_setstacksize(&attributes, kProbeStackBytes);
      if (error == 0) error = pthread_create(&sim->thread, &attributes, &run_probe, sim);
      pthread_attr_destroy(&attributes);
    }
    // As a thread that cannot be started is reported by the standard library's threads.
    if (error != 0) throw std::system_error(error, std::generic_category(), "probe thread");
    sim->started = true;
    return {};
  }
  std::expected<bool, platform::Raised> is_finished(platform::Thread thread) override {
    return reinterpret_cast<SimThread*>(thread)->finished.load();
  }
  void release(platform::Thread thread) override {
    auto* sim = reinterpret_cast<SimThread*>(thread);
    if (sim->started) pthread_join(sim->thread, nullptr);
    delete sim;
  }
  // Sleeps what is asked: by default the kernel may end each sleep up to the thread's timer
  // slack (50 us) late, to save wake-ups, which would lengthen every launch for nothing.
  void sleep_microseconds(unsigned microseconds) override {
    const int slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    const bool exact = slack > 1 && ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    ::usleep(microseconds);
    if (exact) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
  }
};

}  // namespace

}  // namespace morvane

extern "C" __attribute__((visibility("default"), used)) int morvane_ensure_cocoa_multithreaded() {
  morvane::SimFoundationThreading threading;
  return morvane::cocoa_runtime::run_multithreaded_setup(threading);
}
