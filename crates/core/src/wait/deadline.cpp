#include "wait/deadline.h"

#include <limits>
#include <string>

namespace morvane {

namespace {

constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
constexpr std::uint32_t kNanosPerMilli = 1'000'000;

AdapterError limit_error(std::uint64_t timeout_ms) {
  const std::string max = std::to_string(MAX_TIMEOUT_MS);
  return AdapterError::make(ErrorCode::INVALID_ARGS, "Timeout exceeds the " + max + "ms maximum")
      .with_suggestion("Choose a timeout between 0 and " + max + " milliseconds")
      .with_details({{"max_timeout_ms", MAX_TIMEOUT_MS}, {"timeout_ms", timeout_ms}});
}

AdapterError representation_error(std::uint64_t timeout_ms) {
  return AdapterError::make(ErrorCode::INVALID_ARGS, "Timeout cannot be represented safely")
      .with_details({{"timeout_ms", timeout_ms}});
}

}  // namespace

Result<Deadline> Deadline::after(std::uint64_t timeout_ms) {
  const Instant started = monotonic_now();
  if (timeout_ms > MAX_TIMEOUT_MS) return fail(limit_error(timeout_ms));

  const auto add_seconds = static_cast<std::int64_t>(timeout_ms / 1000);
  std::uint32_t nanos =
      started.nanoseconds + static_cast<std::uint32_t>(timeout_ms % 1000) * kNanosPerMilli;
  std::int64_t seconds = 0;
  if (__builtin_add_overflow(started.seconds, add_seconds, &seconds)) {
    return fail(representation_error(timeout_ms));
  }
  if (nanos >= kNanosPerSecond) {
    nanos -= kNanosPerSecond;
    if (__builtin_add_overflow(seconds, std::int64_t{1}, &seconds)) {
      return fail(representation_error(timeout_ms));
    }
  }
  return Deadline(started, Instant{seconds, nanos}, timeout_ms);
}

Result<Deadline> Deadline::after_duration(Duration duration) {
  // 128 bits so that even the largest second count cannot overflow before the check.
  __int128 millis = static_cast<__int128>(duration.seconds) * 1000 +
                    duration.nanoseconds / kNanosPerMilli +
                    (duration.nanoseconds % kNanosPerMilli != 0 ? 1 : 0);
  if (millis < 0 || millis > static_cast<__int128>(std::numeric_limits<std::uint64_t>::max())) {
    return fail(AdapterError::make(ErrorCode::INVALID_ARGS, "Timeout is too large"));
  }
  return after(static_cast<std::uint64_t>(millis));
}

Duration Deadline::remaining() const { return saturating_difference(expires_at_, monotonic_now()); }

bool Deadline::is_expired() const { return is_zero(remaining()); }

Status Deadline::ensure_remaining() const {
  if (is_expired()) return fail(timeout_error());
  return {};
}

AdapterError Deadline::timeout_error() const {
  const Duration elapsed = saturating_difference(monotonic_now(), started_);
  const std::uint64_t elapsed_ms = static_cast<std::uint64_t>(elapsed.seconds) * 1000 +
                                   elapsed.nanoseconds / kNanosPerMilli;
  return AdapterError::make(ErrorCode::TIMEOUT, std::string(kTimeoutMessage))
      .with_suggestion("The target application may be busy or unresponsive")
      .with_details({{"kind", "deadline"}, {"timeout_ms", timeout_ms_}, {"elapsed_ms", elapsed_ms}});
}

}  // namespace morvane
