#pragma once

// The streamer's command line: width, quality and frame rate.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace morvane::streamer {

// The three settings of a run, already clamped to their ranges.
struct StreamerOptions {
  std::int64_t maximum_width = 1024;
  double quality = 0.55;
  std::int64_t frames_per_second = 30;
};

// The element after the first one equal to `name` (element 0 included), else `fallback`.
std::string_view argument(std::span<const std::string_view> args, std::string_view name,
                          std::string_view fallback);

// Optional sign, then ASCII digits only, fitting a signed 64-bit integer.
std::optional<std::int64_t> parse_integer(std::string_view text);

// One whole number in strtod syntax (decimal, hexadecimal, inf, nan); no leading blank and
// nothing left over.
std::optional<double> parse_float(std::string_view text);

StreamerOptions parse_streamer_options(std::span<const std::string_view> args);

// "--version" as the first argument: print the release and exit without capturing. Anywhere
// else it is one more ignored argument, or an option's value.
bool asks_for_version(std::span<const std::string_view> args);

}  // namespace morvane::streamer
