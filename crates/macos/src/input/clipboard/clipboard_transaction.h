#pragma once

// The replace transaction: clear, write and verify under the change-count ownership token.

#include <cstdint>
#include <string>
#include <string_view>

#include <functional>

#include "input/clipboard/pasteboard_platform.h"
#include "response/adapter_error.h"
#include "system/bytes.h"
#include "wait/deadline.h"

namespace morvane::clipboard_transaction {

inline constexpr std::string_view kInspectSuggestion =
    "Inspect the clipboard state before deciding whether to repeat the write";

// The pasteboard may have been changed and its state is not established.
AdapterError delivery_uncertain(std::string_view kind, std::string_view detail);
// The pasteboard was changed (at least cleared) but the content was not confirmed on it.
AdapterError delivered_unverified(std::string_view kind, std::string_view detail);
// Primary errors of the transaction: a refused write step, and a read-back that differs.
AdapterError write_failure(std::string_view kind);
AdapterError retention_failure(std::string_view kind);

// A write starts only with more than this left of its deadline.
inline constexpr std::uint32_t kStartThresholdNs = 2'000'000;
// The most a write holds back of its deadline for cleaning up after a failure.
inline constexpr std::uint32_t kMaxReserveNs = 250'000'000;

// Derives the deadline of the clear, write and verification from the overall one, holding back
// min(remaining / 2, 250 ms) for cleanup; with 2 ms or less left nothing starts.
Result<Deadline> reserve_cleanup_budget(const Deadline& overall);

// After the clear, a failure of our own making: clear again if we still own the pasteboard and
// time remains, and report how far the clipboard was changed. Consumes the primary error.
AdapterError post_clear_failure(platform::PasteboardPlatform& platform,
                                platform::Pasteboard pasteboard, std::int64_t token,
                                std::string_view kind, const Deadline& overall,
                                AdapterError primary);

// The content is verified; only the overall deadline can still turn this into a timeout.
Status ensure_verified_before_return(const Deadline& overall);

// One write step, run once on the cleared pasteboard under the operation deadline.
using WriteStep = std::function<Status(const Deadline& operation)>;
// One read-back: true when the pasteboard holds exactly what was written.
using Verification = std::function<Result<bool>(const Deadline& operation)>;

// The replace transaction: clear, take the change count as ownership token, write, read back,
// compare, with the token checked after every step another writer could disturb.
Status run_replace(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                   std::string_view kind, const Deadline& overall, const WriteStep& write,
                   const Verification& verify);

// The image transaction: writes `png` and expects `expected` back.
Status replace_on(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                  const Deadline& overall, ByteView png, ByteView expected);

}  // namespace morvane::clipboard_transaction
