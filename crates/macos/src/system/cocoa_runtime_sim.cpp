// The stand-in's Foundation: a process-wide multithreaded flag that the first started thread
// sets, as Foundation's own flag is set when the first NSThread starts.
#include <unistd.h>

#include <atomic>
#include <thread>

#include "system/cocoa_runtime.h"

namespace morvane {

namespace {

std::atomic<bool> g_multithreaded{false};

struct SimThread {
  std::thread thread;
  std::atomic<bool> finished{false};
};

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
    sim->thread = std::thread([sim] { sim->finished.store(true); });
    return {};
  }
  std::expected<bool, platform::Raised> is_finished(platform::Thread thread) override {
    return reinterpret_cast<SimThread*>(thread)->finished.load();
  }
  void release(platform::Thread thread) override {
    auto* sim = reinterpret_cast<SimThread*>(thread);
    if (sim->thread.joinable()) sim->thread.join();
    delete sim;
  }
  void sleep_microseconds(unsigned microseconds) override { ::usleep(microseconds); }
};

}  // namespace

}  // namespace morvane

extern "C" __attribute__((visibility("default"), used)) int morvane_ensure_cocoa_multithreaded() {
  morvane::SimFoundationThreading threading;
  return morvane::cocoa_runtime::run_multithreaded_setup(threading);
}
