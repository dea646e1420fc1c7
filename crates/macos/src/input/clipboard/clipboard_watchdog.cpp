#include "input/clipboard/clipboard_watchdog.h"

#include <limits.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "input/clipboard/clipboard_helper_protocol.h"

namespace morvane::watchdog {

namespace {

enum Claimant : int { kNobody = 0, kOperation = 1, kWatchdog = 2 };

std::atomic<int> g_claim{kNobody};
std::atomic<DeliveryState> g_phase{DeliveryState::unknown};
std::atomic<const char*> g_waiting{nullptr};

constexpr std::size_t kDeliveryStates = 5;

// The watchdog's whole response, made before it sleeps: after its claim it allocates nothing
// and takes no lock, either of which the stuck thread might hold. Never freed: it lives until
// the process ends, and no exit can pull it from under the thread.
struct Answer {
  std::string head;  // the TIMEOUT header up to its disposition object
  std::string tail;  // the rest of the header, and the line feed
  std::array<std::string, kDeliveryStates> dispositions;  // by phase, as the response reports it
  Instant wake_at;
};

// The thread sleeps, then writes through a few calls: 64 KiB is plenty, sanitizers' frames
// included, where a default stack (8 MiB, mapped and given back page by page) would cost every
// launch. It is the size of the Foundation probe's stack, which the C library keeps once that
// thread is joined and hands on to this one, so the stack costs no mapping at all.
constexpr std::size_t kStackBytes = 64 * 1024;

// The answer of this launch, for as long as the process lives.
Answer* g_answer = nullptr;

std::size_t stack_bytes() {
  return std::max(kStackBytes, static_cast<std::size_t>(PTHREAD_STACK_MIN));
}

bool claim(Claimant who) noexcept {
  int holder = kNobody;
  return g_claim.compare_exchange_strong(holder, who) || holder == who;
}

Instant later(Instant at, std::uint32_t milliseconds) {
  std::uint64_t nanoseconds = at.nanoseconds + std::uint64_t{milliseconds} * 1'000'000;
  at.seconds += static_cast<std::int64_t>(nanoseconds / 1'000'000'000);
  at.nanoseconds = static_cast<std::uint32_t>(nanoseconds % 1'000'000'000);
  return at;
}

// Sleeps on the deadline's own clock, however often a sleep ends early.
void sleep_until(Instant at) noexcept {
  for (;;) {
    const Duration left = saturating_difference(at, monotonic_now());
    if (is_zero(left)) return;
    const timespec pause{static_cast<time_t>(left.seconds), static_cast<long>(left.nanoseconds)};
    ::nanosleep(&pause, nullptr);
  }
}

ByteView bytes_of(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Writes the response of the phase the operation stands in, or nothing when its header would be
// over the limit, as the operation's own response would; then ends the process without running
// anything else, platform code least of all.
[[noreturn]] void answer_now(const Answer& answer) noexcept {
  const std::string& disposition = answer.dispositions[static_cast<std::size_t>(g_phase.load())];
  const std::size_t header_bytes = answer.head.size() + disposition.size() + answer.tail.size() - 1;
  if (header_bytes > kMaxHeaderBytes) ::_exit(kStatusUndelivered);
  const bool written = write_fully(1, bytes_of(answer.head)) &&
                       write_fully(1, bytes_of(disposition)) && write_fully(1, bytes_of(answer.tail));
  ::_exit(written ? kStatusFailure : kStatusUndelivered);
}

void* watch(void* argument) {
  const Answer& answer = *static_cast<const Answer*>(argument);
  sleep_until(answer.wake_at);
  if (claim(kWatchdog)) answer_now(answer);
  return nullptr;  // the operation is writing its own response
}

std::string disposition_text(DeliveryState delivery) {
  std::string text = R"({"delivery":")";
  text.append(wire_string(delivery)).append(R"(","retry":")");
  text.append(wire_string(retry_for_delivery(delivery))).append(R"("})");
  return text;
}

// The deadline's own TIMEOUT, framed as the operation frames a failure, cut around the
// disposition that the phase fills in. Written out here rather than through the JSON library,
// which would cost every launch tens of microseconds for text known in advance: the build is a
// constant, the token hex digits and the operation a name from the table, none of which JSON
// escapes (a test holds it to write_response's bytes for every operation and delivery).
Answer* prepare(std::string_view token, std::string_view operation) {
  auto* answer = new Answer;
  answer->head.append(R"({"build":")").append(kBuildIdentity).append(R"(","disposition":)");
  answer->tail.append(R"(,"error_code":")").append(wire_string(ErrorCode::TIMEOUT));
  answer->tail.append(R"(","message":")").append(kTimeoutMessage);
  answer->tail.append(R"(","ok":false,"operation":")").append(operation);
  answer->tail.append(R"(","payload_len":0,"protocol":")").append(kProtocolVersion);
  answer->tail.append(R"(","token":")").append(token).append("\"}\n");
  for (std::size_t phase = 0; phase < kDeliveryStates; ++phase) {
    answer->dispositions[phase] = disposition_text(
        delivery_for_operation(operation, static_cast<DeliveryState>(phase)));
  }
  return answer;
}

}  // namespace

bool start(std::string_view token, std::string_view operation, const Deadline& deadline) {
  Answer* answer = prepare(token, operation);
  answer->wake_at = later(deadline.expires_at(), kGraceMs);
  g_answer = answer;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  int error = pthread_attr_setstacksize(&attributes, stack_bytes());
  if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread{};
  if (error == 0) error = pthread_create(&thread, &attributes, &watch, answer);
  pthread_attr_destroy(&attributes);
  return error == 0;
}

bool claim_for_operation() noexcept { return claim(kOperation); }

void enter_phase(DeliveryState delivery) noexcept {
  // Stored before the claim is looked at, as the watchdog claims before it reads the phase:
  // either it sees this phase, or this thread sees its claim and goes no further.
  g_phase.store(delivery);
  if (g_claim.load() == kWatchdog) park();
}

void note_waiting(const char* detail) noexcept { g_waiting.store(detail, std::memory_order_relaxed); }

void park() noexcept {
  for (;;) ::pause();
}

std::string timeout_response(std::string_view token, std::string_view operation,
                             DeliveryState phase) {
  const std::unique_ptr<Answer> answer(prepare(token, operation));
  return answer->head + answer->dispositions[static_cast<std::size_t>(phase)] + answer->tail;
}

Verdict verdict_now() noexcept {
  const char* waiting = g_waiting.load(std::memory_order_relaxed);
  return {g_phase.load(), waiting != nullptr ? waiting : kBusyDetail};
}

}  // namespace morvane::watchdog
