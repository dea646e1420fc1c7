#pragma once

// The operations that take a request payload and write it: "write:text", "write:image" and
// "write:file_urls", with the decoding of their arguments and requests.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "wait/deadline.h"

namespace morvane {

// An unsigned 32-bit argument: optional '+', decimal digits, nothing else.
Result<std::uint32_t> parse_u32_arg(std::string_view text, std::string_view name);
// A floating-point argument: optional sign, digits with an optional fraction and exponent, or
// inf / infinity / nan in any case; nothing else, no blanks.
Result<double> parse_double_arg(std::string_view text, std::string_view name);

// The "write:file_urls" request: one JSON text that is an array of strings, nothing else.
Result<std::vector<std::string>> decode_file_url_request(std::string_view request);

Outcome write_text_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome write_image_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome write_file_urls_operation(std::span<const std::string> arguments,
                                  const Deadline& deadline);

}  // namespace morvane
