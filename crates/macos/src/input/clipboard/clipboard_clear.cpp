#include "input/clipboard/clipboard_clear.h"

#include "input/clipboard/clipboard_runtime.h"
#include "input/clipboard/clipboard_transaction.h"
#include "input/clipboard/clipboard_watchdog.h"

namespace morvane {

nlohmann::json committed_verified_metadata() {
  return {{"delivery", "committed_verified"}, {"kind", "none"}};
}

Outcome clear_on(platform::PasteboardPlatform& platform, const Deadline& deadline) {
  auto pool = AutoreleasePool::create(platform);
  if (!pool) return fail(std::move(pool.error()));
  auto pasteboard = general_pasteboard(platform, deadline);
  if (!pasteboard) return fail(std::move(pasteboard.error()));
  if (deadline.is_expired()) {
    return fail(deadline.timeout_error().with_delivery(DeliveryState::not_delivered));
  }

  // The count clearContents returns is our ownership token; it proves the clear was ours
  // only if the pasteboard still shows it afterwards.
  watchdog::enter_phase(DeliveryState::delivery_uncertain);
  const std::int64_t token = platform.clear_contents(*pasteboard);
  if (token < 0 && platform.wait_limit_reached()) {
    return fail(deadline.timeout_error().with_delivery(DeliveryState::not_delivered));
  }
  watchdog::enter_phase(DeliveryState::delivered_unverified);
  if (token < 0 || platform.change_count(*pasteboard) != token) {
    return fail(clipboard_transaction::delivery_uncertain(
        "clear", "clipboard ownership could not be verified"));
  }
  watchdog::enter_phase(DeliveryState::delivered_verified);
  if (deadline.is_expired()) {
    return fail(deadline.timeout_error().with_delivery(DeliveryState::delivered_verified));
  }
  return OperationOutput{committed_verified_metadata(), {}};
}

Outcome clear_operation(std::span<const std::string>, const Deadline& deadline) {
  return clear_on(platform::pasteboard_platform(), deadline);
}

}  // namespace morvane
