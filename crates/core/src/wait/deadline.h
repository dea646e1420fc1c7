#pragma once

// The monotonic deadline of one helper run and its timeout error.

#include <cstdint>
#include <string_view>

#include "response/adapter_error.h"
#include "wait/monotonic_clock.h"

namespace morvane {

inline constexpr std::uint64_t MAX_TIMEOUT_MS = 86'400'000;
// The message of every deadline's TIMEOUT.
inline constexpr std::string_view kTimeoutMessage = "Operation exceeded its deadline";

// The monotonic deadline of one helper run. Immutable once created; reading the clock is
// its only side effect.
class Deadline {
 public:
  static Result<Deadline> after(std::uint64_t timeout_ms);
  // Rounds the duration up to whole milliseconds, then behaves as after().
  static Result<Deadline> after_duration(Duration duration);

  Duration remaining() const;
  bool is_expired() const;
  Status ensure_remaining() const;
  AdapterError timeout_error() const;

  Instant started() const { return started_; }
  Instant expires_at() const { return expires_at_; }
  std::uint64_t timeout_ms() const { return timeout_ms_; }

 private:
  Deadline(Instant started, Instant expires_at, std::uint64_t timeout_ms)
      : started_(started), expires_at_(expires_at), timeout_ms_(timeout_ms) {}

  Instant started_;
  Instant expires_at_;
  std::uint64_t timeout_ms_;
};

}  // namespace morvane
