#pragma once

// The one write entry: budgets, pasteboard lookup, preparation of platform objects and the
// replace transaction for each kind of content.

#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard_content.h"
#include "response/adapter_error.h"
#include "wait/deadline.h"

namespace morvane::imp {

// Write-side limits on file lists (all inclusive).
inline constexpr std::size_t kMaxWritePaths = 1024;
inline constexpr std::uint64_t kMaxInputPathUnits = 16'384;
inline constexpr std::uint64_t kMaxTotalPathUnits = 1'000'000;

Status set_content_direct(platform::PasteboardPlatform& platform, const ClipboardContent& content,
                          const Deadline& deadline);
// The same on the platform this program was built with.
Status set_content_direct(const ClipboardContent& content, const Deadline& deadline);

// The per-kind part, on a pasteboard the caller already holds.
Status set_content_on(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                      const ClipboardContent& content, const Deadline& deadline);

}  // namespace morvane::imp
