#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace morvane::streamer {

std::string_view argument(std::span<const std::string_view> args, std::string_view name,
                          std::string_view fallback) {
  const auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end() || std::next(found) == args.end()) return fallback;
  return *std::next(found);
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
  // from_chars takes a minus but not a plus; either way only digits may follow the one sign.
  const bool has_plus = !text.empty() && text.front() == '+';
  if (has_plus) text.remove_prefix(1);
  const bool has_minus = !has_plus && !text.empty() && text.front() == '-';
  const std::string_view digits = has_minus ? text.substr(1) : text;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                     [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_float(std::string_view text) {
  // strtod would skip leading white space; the option text must be the number alone.
  if (text.empty()) return std::nullopt;
  if (std::string_view(" \t\n\v\f\r", 6).find(text.front()) != std::string_view::npos ||
      text.front() == '\0') {
    return std::nullopt;
  }
  // The process never changes the C locale, so strtod reads the POSIX syntax. The copy gives
  // strtod its terminator; an embedded NUL stops it early and counts as text left over.
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

namespace {

double clamp_quality(double value) {
  if (std::isnan(value) || value < 0.0) return 0.0;
  return std::min(value, 1.0);
}

}  // namespace

StreamerOptions parse_streamer_options(std::span<const std::string_view> args) {
  StreamerOptions options;
  options.maximum_width =
      std::max<std::int64_t>(parse_integer(argument(args, "--width", "1024")).value_or(1024), 1);
  options.quality = clamp_quality(parse_float(argument(args, "--quality", "0.55")).value_or(0.55));
  options.frames_per_second =
      std::max<std::int64_t>(parse_integer(argument(args, "--fps", "30")).value_or(30), 1);
  return options;
}

bool asks_for_version(std::span<const std::string_view> args) {
  return args.size() >= 2 && args[1] == "--version";
}

}  // namespace morvane::streamer
