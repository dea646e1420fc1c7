#include "input/clipboard/imp.h"

#include "input/utf8.h"

namespace morvane::imp {

namespace {

using platform::PasteboardPlatform;

// The bytes stored under public.utf8-plain-text, when there are any and they are UTF-8.
// stringForType: decodes these same bytes with the UTF-8 decoder that takes a leading EF BB BF
// for a byte-order mark and drops it, so a text that begins with U+FEFF would come back short;
// the bytes themselves keep it. nullopt sends the reader to stringForType:, which also answers
// for text offered only in another form (UTF-16, say) that the pasteboard converts.
// dataForType: answers from the first item that has the type, whereas stringForType: joins the
// texts of all such items with line feeds; so the bytes stand for the text only when the
// pasteboard holds one item, as it does after every write of ours.
std::optional<std::string_view> stored_utf8_text(PasteboardPlatform& platform,
                                                 platform::Pasteboard pasteboard) {
  platform::Array items = platform.pasteboard_items(pasteboard);
  if (items == nullptr || platform.array_count(items) != 1) return std::nullopt;
  platform::Data data = platform.data_for_type(pasteboard, platform::PasteboardType::string);
  if (data == nullptr) return std::nullopt;
  const std::size_t length = platform.data_length(data);
  const std::uint8_t* bytes = platform.data_bytes(data);
  // No bytes are left to the string: an empty text has no leading U+FEFF to lose.
  if (length == 0 || bytes == nullptr) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(bytes), length);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

Result<std::optional<std::string>> read_platform_string(PasteboardPlatform& platform,
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

}  // namespace

AdapterError text_budget_error(ErrorCode code, std::size_t observed_units) {
  return AdapterError::make(code, "clipboard text exceeds the supported resource budget")
      .with_details({{"kind", "clipboard text"}, {"observed", std::uint64_t{observed_units}}});
}

Result<std::optional<std::string>> read_string(PasteboardPlatform& platform,
                                               platform::Pasteboard pasteboard) {
  const std::optional<std::string_view> stored = stored_utf8_text(platform, pasteboard);
  if (!stored) return read_platform_string(platform, pasteboard);
  // The same budget in the same units as a string's length, and measured before the copy.
  const std::uint64_t units = utf16_length(*stored);
  if (units > kTextBudgetUnits) {
    return fail(text_budget_error(ErrorCode::ACTION_FAILED, static_cast<std::size_t>(units)));
  }
  return std::optional<std::string>(std::string(*stored));
}

AdapterError concurrent_change_error() {
  return AdapterError::make(ErrorCode::APP_UNRESPONSIVE,
                            "Clipboard changed concurrently during a stable operation")
      .with_details({{"phase", "read"}, {"concurrent_change", true}, {"retryable", true}});
}

}  // namespace morvane::imp
