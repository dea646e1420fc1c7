#pragma once

#include "wait/monotonic_clock.h"

namespace morvane::testing {

// A process-wide clock that moves only when a test moves it.
class FakeClock {
 public:
  explicit FakeClock(Instant start = Instant{1000, 0}) {
    now_ = start;
    set_clock_source_for_testing(&FakeClock::now);
  }
  ~FakeClock() { set_clock_source_for_testing(nullptr); }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  static Instant now() { return now_; }
  static void set(Instant t) { now_ = t; }
  static void advance_ns(std::int64_t ns) {
    std::int64_t total = now_.nanoseconds + ns;
    now_.seconds += total / 1'000'000'000;
    now_.nanoseconds = static_cast<std::uint32_t>(total % 1'000'000'000);
  }
  static void advance_ms(std::int64_t ms) { advance_ns(ms * 1'000'000); }

 private:
  static inline Instant now_{};
};

}  // namespace morvane::testing
