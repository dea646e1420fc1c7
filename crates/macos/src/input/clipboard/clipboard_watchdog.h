#pragma once

// The helper never outlives its deadline by more than a short grace. The deadline is otherwise
// cooperative, checked between steps, so a platform call that never returns (a pasteboard
// server that stops answering, a paste-permission alert that a process without a user
// interface cannot show) or a request that is never closed would keep the helper alive until
// the host kills it, and the host would learn nothing. A watchdog thread, started once the
// launch is valid, answers TIMEOUT for such an operation itself and ends the process.
//
// Exactly one response is written: the operation and the watchdog each claim the right to
// respond with one atomic step, and whichever loses writes nothing. The watchdog's answer says
// what may have reached the pasteboard, from the phase the write transaction last entered, and
// its record names where the operation was waiting, from what the seam and the request reader
// last noted.

#include <cstdint>
#include <string>
#include <string_view>

#include "response/adapter_error.h"
#include "wait/deadline.h"

namespace morvane::watchdog {

// How long after the deadline the watchdog answers. The operation keeps the first chance: a
// step under way at the deadline normally ends within milliseconds and the operation's own
// answer follows, while a call that has not returned 250 ms later is taken as one that never
// will. 250 ms is the slice the write transaction already holds back for its cleanup, the
// longest the helper's own design expects to run after its operation budget; and it keeps the
// longest wait well under the second a host is advised to add before killing the helper, so
// that the host's kill timer becomes a backstop, not the way out.
inline constexpr std::uint32_t kGraceMs = 250;

// Where the operation waits when it is still reading its request.
inline constexpr const char* kRequestWaitDetail = "the request was not closed before the deadline";
// Where it is when neither a platform call nor the request was last noted: its own work.
inline constexpr const char* kBusyDetail = "the operation was still working at the deadline";

// Starts the watchdog of this launch, for an operation of the table: the response it may have to
// write is built now, from the token, the operation and the deadline's own TIMEOUT. False when no thread could be started;
// the operation then runs under its cooperative deadline alone, as it always could.
bool start(std::string_view token, std::string_view operation, const Deadline& deadline);

// The operation is about to write its response: true when the right to respond is its own,
// false when the watchdog has answered; the operation must then write nothing (see park()).
bool claim_for_operation() noexcept;

// The delivery the clipboard stands at from here on, as the transaction knows it: the state a
// TIMEOUT reports if the operation stops before its next phase. A thread that enters a phase
// after the watchdog has answered is parked for good, so that nothing reaches the pasteboard
// after an answer that said it would not.
void enter_phase(DeliveryState delivery) noexcept;

// Where the operation is waiting: a text of static storage, or nullptr for its own work. One
// relaxed atomic store; the seam's recording layer calls it for every platform call.
void note_waiting(const char* detail) noexcept;

// Blocks the calling thread until the process ends.
[[noreturn]] void park() noexcept;

// What the watchdog would answer if it fired now: the delivery of the phase entered last
// (before the operation's own adjustment) and the platform detail of its record.
struct Verdict {
  DeliveryState delivery;
  const char* platform_detail;
};
Verdict verdict_now() noexcept;

// The bytes the watchdog writes for this launch when the operation stands in `phase`.
std::string timeout_response(std::string_view token, std::string_view operation,
                             DeliveryState phase);

}  // namespace morvane::watchdog
