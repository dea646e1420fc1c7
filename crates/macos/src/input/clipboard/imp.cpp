#include "input/clipboard/imp.h"

namespace morvane::imp {

AdapterError text_budget_error(ErrorCode code, std::size_t observed_units) {
  return AdapterError::make(code, "clipboard text exceeds the supported resource budget")
      .with_details({{"kind", "clipboard text"}, {"observed", std::uint64_t{observed_units}}});
}

Result<std::optional<std::string>> read_string(platform::PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard) {
  platform::String string = platform.string_for_type(pasteboard, platform::PasteboardType::string);
  if (string == nullptr) return std::optional<std::string>();
  // Measured before converting, so an oversized text is never copied.
  const std::size_t units = platform.string_length(string);
  if (units > kTextBudgetUnits) return fail(text_budget_error(ErrorCode::ACTION_FAILED, units));
  auto text = platform.string_utf8(string);
  if (!text) {
    return fail(AdapterError::make(ErrorCode::ACTION_FAILED,
                                   "Clipboard text is not valid Unicode"));
  }
  return std::optional<std::string>(std::move(*text));
}

AdapterError concurrent_change_error() {
  return AdapterError::make(ErrorCode::APP_UNRESPONSIVE,
                            "Clipboard changed concurrently during a stable operation")
      .with_details({{"phase", "read"}, {"concurrent_change", true}, {"retryable", true}});
}

}  // namespace morvane::imp
