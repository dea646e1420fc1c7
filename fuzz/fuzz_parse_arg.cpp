// The "write:image" argument parsers against a second, independent reading of their grammar:
//   unsigned: ["+"] 1*DIGIT, at most 4294967295;
//   double:   ["+" / "-"] ( 1*DIGIT ["." *DIGIT] / "." 1*DIGIT ) [("e" / "E") ["+" / "-"] 1*DIGIT]
//             or ["+" / "-"] ("inf" / "infinity" / "nan") in any letter case.
// Accept and refuse must agree on every input; on acceptance the values must be the same.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "input/clipboard/clipboard_requests.h"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// The value as the decimal text of the number it names, or nullopt when refused.
std::optional<std::string> reference_unsigned(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!digit(c)) return std::nullopt;
  }
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  constexpr std::string_view kMax = "4294967295";
  if (text.size() > kMax.size() || (text.size() == kMax.size() && text > kMax)) return std::nullopt;
  return std::string(text);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool word_is(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

// A small state machine over the number form.
bool reference_double(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::string_view body = text.substr(i);
  if (word_is(body, "inf") || word_is(body, "infinity") || word_is(body, "nan")) return true;
  enum { start, integer, point_first, fraction, exponent_mark, exponent_sign, exponent } state = start;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    switch (state) {
      case start:
        if (digit(c)) state = integer;
        else if (c == '.') state = point_first;
        else return false;
        break;
      case integer:
        if (digit(c)) break;
        if (c == '.') state = fraction;
        else if (c == 'e' || c == 'E') state = exponent_mark;
        else return false;
        break;
      case point_first:
        if (!digit(c)) return false;
        state = fraction;
        break;
      case fraction:
        if (digit(c)) break;
        if (c == 'e' || c == 'E') state = exponent_mark;
        else return false;
        break;
      case exponent_mark:
        if (c == '+' || c == '-') state = exponent_sign;
        else if (digit(c)) state = exponent;
        else return false;
        break;
      case exponent_sign:
        if (!digit(c)) return false;
        state = exponent;
        break;
      case exponent:
        if (!digit(c)) return false;
        break;
    }
  }
  return state == integer || state == fraction || state == exponent;
}

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  auto width = morvane::parse_u32_arg(text, "width");
  const auto expected_width = reference_unsigned(text);
  if (width.has_value() != expected_width.has_value()) std::abort();
  if (width && std::to_string(*width) != *expected_width) std::abort();

  auto scale = morvane::parse_double_arg(text, "scale factor");
  if (scale.has_value() != reference_double(text)) std::abort();
  if (scale) {
    // The grammar admits no NUL, so the text is a C string that strtod must read whole.
    char* end = nullptr;
    const double again = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !same_double(again, *scale)) std::abort();
  }
  return 0;
}
