#pragma once

// UTF-8 validation, UTF-16 lengths and the conversions between the two encodings.

#include <string_view>

namespace morvane {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

}  // namespace morvane

#include <cstdint>
#include <optional>
#include <string>

namespace morvane {

// UTF-16 code units of a valid UTF-8 text: one per code point, two for those at or above
// U+10000. One pass over the bytes, no conversion.
std::uint64_t utf16_length(std::string_view utf8);

// Conversions between the platform's UTF-16 strings and UTF-8. utf16_to_utf8 fails on an
// unpaired surrogate, which has no UTF-8 form; utf8_to_utf16 fails on invalid UTF-8.
std::optional<std::string> utf16_to_utf8(std::u16string_view utf16);
std::optional<std::u16string> utf8_to_utf16(std::string_view utf8);

}  // namespace morvane
