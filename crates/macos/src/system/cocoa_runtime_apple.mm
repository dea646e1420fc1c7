// Foundation's side of the one-time multithreaded set-up, and the exported routine that runs
// it. Objective-C++ because the probe thread takes a block and Foundation reports failures by
// raising NSException; manual reference counting (the probe thread is released by hand).
#import <Foundation/Foundation.h>

#include <unistd.h>

#include "system/cocoa_runtime.h"

#if __has_feature(objc_arc)
#error "cocoa_runtime_apple.mm is written for manual reference counting"
#endif

namespace morvane {

namespace {

using platform::Raised;

class AppleFoundationThreading final : public platform::FoundationThreading {
 public:
  std::expected<bool, Raised> is_multithreaded() override {
    @try {
      return [NSThread isMultiThreaded] ? true : false;
    } @catch (NSException* exception) {
      return std::unexpected(Raised{});
    }
  }

  std::expected<platform::Thread, Raised> create_probe_thread() override {
    @try {
      // NSThread copies the block; the thread object is ours (+1) until release().
      NSThread* thread = [[NSThread alloc] initWithBlock:^{
      }];
      return reinterpret_cast<platform::Thread>(thread);
    } @catch (NSException* exception) {
      return std::unexpected(Raised{});
    }
  }

  std::expected<void, Raised> start(platform::Thread thread) override {
    @try {
      [as_thread(thread) start];
      return {};
    } @catch (NSException* exception) {
      return std::unexpected(Raised{});
    }
  }

  std::expected<bool, Raised> is_finished(platform::Thread thread) override {
    @try {
      return [as_thread(thread) isFinished] ? true : false;
    } @catch (NSException* exception) {
      return std::unexpected(Raised{});
    }
  }

  void release(platform::Thread thread) override { [as_thread(thread) release]; }

  void sleep_microseconds(unsigned microseconds) override { ::usleep(microseconds); }

 private:
  static NSThread* as_thread(platform::Thread thread) { return reinterpret_cast<NSThread*>(thread); }
};

}  // namespace

}  // namespace morvane

extern "C" __attribute__((visibility("default"), used)) int morvane_ensure_cocoa_multithreaded() {
  @autoreleasepool {
    @try {
      morvane::AppleFoundationThreading threading;
      return morvane::cocoa_runtime::run_multithreaded_setup(threading);
    } @catch (NSException* exception) {
      // The runtime owns a caught exception and frees it when the handler ends; releasing it
      // here as well would free it twice.
      return morvane::cocoa_runtime::kStatusExceptionRaised;
    }
  }
}
