#pragma once

// Module imp: the readers' text path and the one write entry (budgets, pasteboard lookup,
// preparation of platform objects and the replace transaction for each kind of content).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard_content.h"
#include "response/adapter_error.h"
#include "wait/deadline.h"

namespace morvane::imp {

// Plain text budget, in UTF-16 code units as the platform measures strings; reads and writes
// share it.
inline constexpr std::size_t kTextBudgetUnits = 1'000'000;

// Write-side limits on file lists (all inclusive).
inline constexpr std::size_t kMaxWritePaths = 1024;
inline constexpr std::uint64_t kMaxInputPathUnits = 16'384;
inline constexpr std::uint64_t kMaxTotalPathUnits = 1'000'000;

// "clipboard text exceeds the supported resource budget", with the observed length.
AdapterError text_budget_error(ErrorCode code, std::size_t observed_units);

// The pasteboard's plain text as UTF-8; nullopt when it offers none. The bytes stored as
// UTF-8 plain text are taken as they are when they are UTF-8, so a leading U+FEFF survives;
// otherwise the platform's string is converted. A text that holds an unpaired UTF-16
// surrogate has no UTF-8 form and is refused rather than altered.
Result<std::optional<std::string>> read_string(platform::PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard);

// Another writer replaced the pasteboard during both passes of a stable read.
AdapterError concurrent_change_error();

// Writes `content` to the general pasteboard and proves it by reading it back.
Status set_content_direct(platform::PasteboardPlatform& platform, const ClipboardContent& content,
                          const Deadline& deadline);
// The same on the platform this program was built with.
Status set_content_direct(const ClipboardContent& content, const Deadline& deadline);

// The per-kind part, on a pasteboard the caller already holds.
Status set_content_on(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                      const ClipboardContent& content, const Deadline& deadline);

}  // namespace morvane::imp
