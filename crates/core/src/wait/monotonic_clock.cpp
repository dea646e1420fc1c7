#include "wait/monotonic_clock.h"

#include <time.h>

#include <atomic>

namespace morvane {

namespace {
std::atomic<ClockSource> g_clock_source{nullptr};

#if defined(__APPLE__)
// The raw uptime clock does not advance while the machine sleeps, so a helper that was
// suspended with the lid closed does not time out the moment it wakes.
constexpr clockid_t kClock = CLOCK_UPTIME_RAW;
#else
// Linux has no uptime clock that stops in suspend and is immune to NTP slewing at once.
// CLOCK_MONOTONIC_RAW is the closer match: like the raw uptime clock it is never slewed
// by time adjustment, and like it (unlike CLOCK_BOOTTIME) it does not count suspend.
constexpr clockid_t kClock = CLOCK_MONOTONIC_RAW;
#endif
}  // namespace

Instant system_monotonic_now() {
  timespec ts{};
  clock_gettime(kClock, &ts);
  return Instant{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

Instant monotonic_now() {
  ClockSource source = g_clock_source.load(std::memory_order_acquire);
  return source ? source() : system_monotonic_now();
}

void set_clock_source_for_testing(ClockSource source) {
  g_clock_source.store(source, std::memory_order_release);
}

Duration saturating_difference(Instant a, Instant b) {
  if (a <= b) return Duration{};
  std::int64_t seconds = a.seconds - b.seconds;
  std::int64_t nanos = static_cast<std::int64_t>(a.nanoseconds) - b.nanoseconds;
  if (nanos < 0) {
    nanos += 1'000'000'000;
    seconds -= 1;
  }
  return Duration{seconds, static_cast<std::uint32_t>(nanos)};
}

bool is_zero(Duration d) { return d.seconds == 0 && d.nanoseconds == 0; }

}  // namespace morvane
