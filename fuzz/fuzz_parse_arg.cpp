// The "write:image" argument parsers on arbitrary text: never crash, and accept only what their
// grammar allows (checked here against a second, independent reading of the same text).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "input/clipboard/clipboard_requests.h"

namespace {

bool plausible_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto width = morvane::parse_u32_arg(text, "width")) {
    if (!plausible_unsigned(text)) std::abort();
    const std::string digits = text.front() == '+' ? text.substr(1) : text;
    if (std::strtoull(digits.c_str(), nullptr, 10) != *width) std::abort();
  }
  if (auto scale = morvane::parse_double_arg(text, "scale factor")) {
    // Everything accepted is something strtod reads completely.
    char* end = nullptr;
    const double again = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || text.find_first_of(" \t\n\v\f\r") != std::string::npos) {
      std::abort();
    }
    if (!(std::isnan(again) && std::isnan(*scale)) && again != *scale) std::abort();
  }
  return 0;
}
