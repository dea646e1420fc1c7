#pragma once

// Decoding of what the host sends: the arguments of "write:image" and the request of
// "write:file_urls". Pure functions over untrusted bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "response/adapter_error.h"

namespace morvane {

// An unsigned 32-bit argument: optional '+', decimal digits, nothing else.
Result<std::uint32_t> parse_u32_arg(std::string_view text, std::string_view name);
// A floating-point argument: optional sign, digits with an optional fraction and exponent, or
// inf / infinity / nan in any case; nothing else, no blanks.
Result<double> parse_double_arg(std::string_view text, std::string_view name);

// The "write:file_urls" request: one JSON text that is an array of strings, nothing else.
Result<std::vector<std::string>> decode_file_url_request(std::string_view request);

}  // namespace morvane
