#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "input/clipboard/pasteboard_platform.h"
#include "response/adapter_error.h"

namespace morvane::imp {

// Plain text budget, in UTF-16 code units as the platform measures strings; reads and writes
// share it.
inline constexpr std::size_t kTextBudgetUnits = 1'000'000;

// "clipboard text exceeds the supported resource budget", with the observed length.
AdapterError text_budget_error(ErrorCode code, std::size_t observed_units);

// The pasteboard's plain text as UTF-8; nullopt when it offers none. A text that holds an
// unpaired UTF-16 surrogate has no UTF-8 form and is refused rather than altered.
Result<std::optional<std::string>> read_string(platform::PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard);

// Another writer replaced the pasteboard during both passes of a stable read.
AdapterError concurrent_change_error();

}  // namespace morvane::imp
