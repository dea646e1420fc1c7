#pragma once

// Instants and durations on the monotonic clock, and the clock itself.

#include <compare>
#include <cstdint>

namespace morvane {

// A point on, or a distance along, the monotonic clock: whole seconds and nanoseconds
// below one second.
struct Instant {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  friend bool operator==(const Instant&, const Instant&) = default;
  friend auto operator<=>(const Instant&, const Instant&) = default;
};
using Duration = Instant;

// a - b, or zero when b is later than a.
Duration saturating_difference(Instant a, Instant b);
bool is_zero(Duration d);

// The clock every deadline reads. Tests replace it to make time-dependent paths deterministic.
using ClockSource = Instant (*)();
Instant monotonic_now();
Instant system_monotonic_now();
// Installs a clock for the whole process; nullptr restores the system clock.
void set_clock_source_for_testing(ClockSource source);

}  // namespace morvane
