// The "write:file_urls" request decoder against a second, independent reading of the same
// bytes: a recogniser of the RFC 8259 texts that are one array of strings, written here from
// the grammar alone (no JSON library). Both must accept and refuse the same inputs, and on
// acceptance yield the same list of strings.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/clipboard/clipboard_requests.h"

namespace {

// RFC 8259 section 2: ws = *( %x20 / %x09 / %x0A / %x0D ).
class Reference {
 public:
  explicit Reference(std::string_view text) : text_(text) {}

  // JSON-text = ws value ws, where the value must be an array whose elements are strings.
  std::optional<std::vector<std::string>> array_of_strings() {
    std::vector<std::string> strings;
    skip_ws();
    if (!take('[')) return std::nullopt;
    skip_ws();
    if (!take(']')) {
      while (true) {
        auto element = string();
        if (!element) return std::nullopt;
        strings.push_back(std::move(*element));
        skip_ws();
        if (take(']')) break;
        if (!take(',')) return std::nullopt;
        skip_ws();
      }
    }
    skip_ws();
    if (at_ != text_.size()) return std::nullopt;
    return strings;
  }

 private:
  bool more() const { return at_ < text_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(text_[at_]); }
  bool take(char c) {
    if (!more() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void skip_ws() {
    while (more() && (peek() == 0x20 || peek() == 0x09 || peek() == 0x0A || peek() == 0x0D)) ++at_;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  std::optional<std::uint32_t> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    return value;
  }

  // After the reverse solidus: one escape, a surrogate pair taking two.
  bool escape(std::string& out) {
    if (!more()) return false;
    const char c = text_[at_++];
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    auto unit = hex4();
    if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return false;
    if (*unit < 0xD800 || *unit > 0xDBFF) {
      append_utf8(out, *unit);
      return true;
    }
    if (!take('\\') || !take('u')) return false;
    auto low = hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
    append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
    return true;
  }

  // One UTF-8 character of RFC 3629 (no overlong forms, no surrogates, nothing past U+10FFFF).
  bool utf8_character(std::string& out) {
    const unsigned char lead = peek();
    std::size_t length;
    std::uint32_t cp;
    std::uint32_t minimum;
    if (lead < 0x80) {
      length = 1, cp = lead, minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (text_.size() - at_ < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text_[at_ + i]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(text_.substr(at_, length));
    at_ += length;
    return true;
  }

  // string = quotation-mark *char quotation-mark; unescaped = %x20-21 / %x23-5B / %x5D-10FFFF.
  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (true) {
      if (!more()) return std::nullopt;
      const unsigned char c = peek();
      if (c == '"') {
        ++at_;
        return out;
      }
      if (c < 0x20) return std::nullopt;
      if (c == '\\') {
        ++at_;
        if (!escape(out)) return std::nullopt;
      } else if (!utf8_character(out)) {
        return std::nullopt;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  auto decoded = morvane::decode_file_url_request(request);
  auto expected = Reference(request).array_of_strings();
  if (decoded.has_value() != expected.has_value()) std::abort();
  if (decoded && *decoded != *expected) std::abort();
  return 0;
}
