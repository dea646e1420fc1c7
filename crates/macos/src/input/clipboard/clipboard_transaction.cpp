#include "input/clipboard/clipboard_transaction.h"

#include <algorithm>

#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/clipboard_runtime.h"
#include "input/clipboard/clipboard_watchdog.h"

namespace morvane::clipboard_transaction {

namespace {

Duration half_of(Duration d) {
  Duration half{d.seconds / 2, d.nanoseconds / 2};
  if (d.seconds % 2 != 0) half.nanoseconds += 500'000'000;
  return half;
}

bool owns(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
          std::int64_t token) {
  return platform.change_count(pasteboard) == token;
}

AdapterError replacement_failed(std::string_view kind, AdapterError primary, bool cleanup_verified) {
  std::string message = "Clipboard ";
  message.append(kind).append(" replacement failed after clearing prior content");
  return AdapterError::make(primary.code, std::move(message))
      .with_platform_detail(std::move(primary.message))
      .with_details({{"cleanup_verified", cleanup_verified}, {"concurrent_change", !cleanup_verified}})
      .with_delivery(DeliveryState::delivered_unverified);
}

AdapterError cleanup_failed(std::string_view kind, const AdapterError& primary,
                            const AdapterError& cleanup) {
  return delivery_uncertain(kind, primary.message + "; cleanup failed: " + cleanup.message);
}

std::string clipboard_message(std::string_view kind, std::string_view tail) {
  std::string message = "Clipboard ";
  message.append(kind).append(tail);
  return message;
}

AdapterError delivery_outcome(std::string message, std::string_view detail,
                              DeliveryState delivery) {
  return AdapterError::make(ErrorCode::APP_UNRESPONSIVE, std::move(message))
      .with_suggestion(std::string(kInspectSuggestion))
      .with_platform_detail(std::string(detail))
      .with_delivery(delivery);
}

Status write_image(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                   ByteView png, const Deadline& operation) {
  if (auto open = operation.ensure_remaining(); !open) return open;
  // The data object holds a whole copy of the PNG. In a pool of its own it is gone once the
  // pasteboard has taken it, before verification reads the image back beside the request. Should
  // that pool not open, the operation's pool still frees it, only later.
  [[maybe_unused]] const auto data_pool = AutoreleasePool::create(platform);
  platform::Data data = platform.class_exists(platform::PlatformClass::data)
                            ? platform.data_with_bytes(png)
                            : nullptr;
  if (data == nullptr || !platform.set_data(pasteboard, data, platform::PasteboardType::png)) {
    return fail(write_failure("image"));
  }
  return {};
}

Result<bool> verify_image(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                          ByteView expected, const Deadline& operation) {
  auto read = clipboard_rich::read_image(platform, pasteboard, operation);
  if (!read) return fail(std::move(read.error()));
  return read->has_value() && std::ranges::equal((*read)->png, expected);
}

}  // namespace

AdapterError delivery_uncertain(std::string_view kind, std::string_view detail) {
  return delivery_outcome(clipboard_message(kind, " delivery is uncertain"), detail,
                          DeliveryState::delivery_uncertain);
}

AdapterError delivered_unverified(std::string_view kind, std::string_view detail) {
  return delivery_outcome(clipboard_message(kind, " delivery could not be verified"), detail,
                          DeliveryState::delivered_unverified);
}

AdapterError write_failure(std::string_view kind) {
  return AdapterError::make(ErrorCode::ACTION_FAILED, clipboard_message(kind, " write failed"));
}

AdapterError retention_failure(std::string_view kind) {
  return AdapterError::make(ErrorCode::ACTION_FAILED,
                            clipboard_message(kind, " did not retain the intended content"));
}

Result<Deadline> reserve_cleanup_budget(const Deadline& overall) {
  const Duration remaining = overall.remaining();
  if (remaining <= Duration{0, kStartThresholdNs}) {
    return fail(overall.timeout_error().with_delivery(DeliveryState::not_delivered));
  }
  const Duration reserve = std::min(half_of(remaining), Duration{0, kMaxReserveNs});
  return Deadline::after_duration(saturating_difference(remaining, reserve));
}

AdapterError post_clear_failure(platform::PasteboardPlatform& platform,
                                platform::Pasteboard pasteboard, std::int64_t token,
                                std::string_view kind, const Deadline& overall,
                                AdapterError primary) {
  // Another writer owns the pasteboard now: its content is left alone.
  if (!owns(platform, pasteboard, token)) {
    return replacement_failed(kind, std::move(primary), false);
  }
  if (overall.is_expired()) return cleanup_failed(kind, primary, overall.timeout_error());
  platform.set_wait_limit(overall.expires_at());
  watchdog::enter_phase(DeliveryState::delivery_uncertain);
  const std::int64_t cleared = platform.clear_contents(pasteboard);
  watchdog::enter_phase(DeliveryState::delivered_unverified);
  if (cleared < 0 || !owns(platform, pasteboard, cleared)) {
    return cleanup_failed(kind, primary,
                          AdapterError::make(ErrorCode::APP_UNRESPONSIVE,
                                             "Clipboard cleanup could not be verified"));
  }
  return replacement_failed(kind, std::move(primary), true);
}

Status ensure_verified_before_return(const Deadline& overall) {
  if (overall.is_expired()) {
    return fail(overall.timeout_error().with_delivery(DeliveryState::delivered_verified));
  }
  return {};
}

Status run_replace(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                   std::string_view kind, const Deadline& overall, const WriteStep& write,
                   const Verification& verify) {
  auto operation = reserve_cleanup_budget(overall);
  if (!operation) return fail(std::move(operation.error()));
  if (operation->is_expired()) {
    return fail(operation->timeout_error().with_delivery(DeliveryState::not_delivered));
  }

  // No clear may start once the operation's time is up: one that waited for the pasteboard
  // past it would empty the clipboard for a write already answered as failed.
  platform.set_wait_limit(operation->expires_at());
  // From the clear on, a watchdog's TIMEOUT says what may have reached the pasteboard: a call
  // sent and not returned leaves it uncertain; a clear or write that returned has changed it.
  watchdog::enter_phase(DeliveryState::delivery_uncertain);
  const std::int64_t token = platform.clear_contents(pasteboard);
  if (token < 0 && platform.wait_limit_reached()) {
    return fail(overall.timeout_error().with_delivery(DeliveryState::not_delivered));
  }
  if (token < 0) {
    return fail(delivery_uncertain(kind, "clearContents returned an invalid ownership token"));
  }
  watchdog::enter_phase(DeliveryState::delivered_unverified);
  if (!owns(platform, pasteboard, token)) {
    return fail(delivered_unverified(kind,
                                     "clipboard ownership changed immediately after clearContents"));
  }
  auto after_clear = [&](AdapterError primary) {
    return fail(post_clear_failure(platform, pasteboard, token, kind, overall, std::move(primary)));
  };
  if (operation->is_expired()) return after_clear(operation->timeout_error());
  watchdog::enter_phase(DeliveryState::delivery_uncertain);
  auto written = write(*operation);
  watchdog::enter_phase(DeliveryState::delivered_unverified);
  if (!written) return after_clear(std::move(written.error()));

  if (!owns(platform, pasteboard, token)) {
    return fail(delivered_unverified(kind, "clipboard ownership changed before verification"));
  }
  auto matched = verify(*operation);
  if (!matched) {
    return fail(delivered_unverified(kind, "content verification failed: " + matched.error().message));
  }
  if (!owns(platform, pasteboard, token)) {
    return fail(delivered_unverified(kind, "clipboard ownership changed during verification"));
  }
  if (!*matched) return after_clear(retention_failure(kind));
  watchdog::enter_phase(DeliveryState::delivered_verified);
  return ensure_verified_before_return(overall);
}

Status replace_on(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                  const Deadline& overall, ByteView png, ByteView expected) {
  return run_replace(
      platform, pasteboard, "image", overall,
      [&](const Deadline& operation) { return write_image(platform, pasteboard, png, operation); },
      [&](const Deadline& operation) {
        return verify_image(platform, pasteboard, expected, operation);
      });
}

}  // namespace morvane::clipboard_transaction
