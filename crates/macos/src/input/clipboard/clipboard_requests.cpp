#include "input/clipboard/clipboard_requests.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace morvane {

namespace {

AdapterError invalid_image_argument(std::string_view name) {
  return AdapterError::make(ErrorCode::INVALID_ARGS, "Invalid image " + std::string(name));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t count_digits(std::string_view text, std::size_t from) {
  std::size_t n = 0;
  while (from + n < text.size() && is_digit(text[from + n])) ++n;
  return n;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

// Digits with an optional fraction (a digit on at least one side of the point) and an optional
// exponent: the decimal forms strtod accepts, without its leniencies (blanks, hex, nan(...)).
bool is_decimal_number(std::string_view text) {
  std::size_t at = count_digits(text, 0);
  std::size_t digits = at;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fraction = count_digits(text, at + 1);
    digits += fraction;
    at += 1 + fraction;
  }
  if (digits == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const std::size_t exponent = count_digits(text, at);
    if (exponent == 0) return false;
    at += exponent;
  }
  return at == text.size();
}

// Takes one top-level array of strings from the parser and refuses anything else at the first
// token that breaks the shape, so that no other value is ever built: a 64 MiB request of
// nested brackets costs nothing, where a document tree of it would take gigabytes.
struct FileUrlListReader {
  using json = nlohmann::json;
  std::vector<std::string> paths;
  bool in_array = false;

  bool null() { return false; }
  bool boolean(bool) { return false; }
  bool number_integer(json::number_integer_t) { return false; }
  bool number_unsigned(json::number_unsigned_t) { return false; }
  bool number_float(json::number_float_t, const json::string_t&) { return false; }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return false; }
  bool key(json::string_t&) { return false; }
  bool end_object() { return false; }
  bool string(json::string_t& value) {
    if (!in_array) return false;
    paths.push_back(std::move(value));
    return true;
  }
  bool start_array(std::size_t) {
    if (in_array) return false;
    in_array = true;
    return true;
  }
  bool end_array() { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }
};

}  // namespace

Result<std::uint32_t> parse_u32_arg(std::string_view text, std::string_view name) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || count_digits(text, 0) != text.size()) {
    return fail(invalid_image_argument(name));
  }
  std::uint64_t value = 0;
  for (char c : text) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return fail(invalid_image_argument(name));
  }
  return static_cast<std::uint32_t>(value);
}

Result<double> parse_double_arg(std::string_view text, std::string_view name) {
  std::string_view body = text;
  if (body.starts_with('+') || body.starts_with('-')) body.remove_prefix(1);
  const bool word = equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity") ||
                    equals_ignoring_case(body, "nan");
  if (!word && !is_decimal_number(body)) return fail(invalid_image_argument(name));
  // The grammar is settled above; strtod (in the C locale the helper never leaves) gives the
  // value, overflowing to infinity as the write path expects.
  const std::string terminated(text);
  return std::strtod(terminated.c_str(), nullptr);
}

Result<std::vector<std::string>> decode_file_url_request(std::string_view request) {
  auto invalid = [] {
    return fail(AdapterError::make(ErrorCode::INVALID_ARGS, "Invalid clipboard file URL request"));
  };
  // The JSON grammar has no byte order mark, and the library would skip one silently. A raw
  // NUL is valid nowhere in a JSON text (not as white space, not inside a string), but the
  // library takes it for the end of its input and would accept whatever follows unread.
  if (request.starts_with("\xEF\xBB\xBF") || request.find('\0') != std::string_view::npos) {
    return invalid();
  }
  FileUrlListReader reader;
  const bool parsed = nlohmann::json::sax_parse(request.begin(), request.end(), &reader,
                                                nlohmann::json::input_format_t::json,
                                                /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) return invalid();
  return std::move(reader.paths);
}

}  // namespace morvane
