#include "input/clipboard/sim/url_conversion_sim.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>

#include "input/clipboard/sim/shared_library_sim.h"
#include "input/decimal.h"

namespace morvane::sim {

namespace {

// uriparser, opened when the first URL is parsed.
struct Uriparser {
  decltype(&uriParseSingleUriExA) parse;
  decltype(&uriFreeUriMembersA) free_members;
};

const Uriparser& uriparser() {
  static const Uriparser api = [] {
    const SharedLibrary library(MORVANE_URIPARSER_SONAME);
    return Uriparser{library.function<decltype(&uriParseSingleUriExA)>("uriParseSingleUriExA"),
                     library.function<decltype(&uriFreeUriMembersA)>("uriFreeUriMembersA")};
  }();
  return api;
}

// Owns the members uriparser allocates while parsing.
class UriParse {
 public:
  UriParse() = default;
  UriParse(const UriParse&) = delete;
  UriParse& operator=(const UriParse&) = delete;
  ~UriParse() {
    if (parsed_) uriparser().free_members(&uri_);
  }

  bool parse(std::string_view text) {
    const char* error_position = nullptr;
    parsed_ = uriparser().parse(&uri_, text.data(), text.data() + text.size(), &error_position) ==
              URI_SUCCESS;
    return parsed_;
  }
  const UriUriA& uri() const { return uri_; }

 private:
  UriUriA uri_{};
  bool parsed_ = false;
};

std::string_view view(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

bool present(const UriTextRangeA& range) { return range.first != nullptr; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool local_host(const UriUriA& uri) {
  if (present(uri.userInfo) || present(uri.portText)) return false;
  const std::string_view host = view(uri.hostText);
  return host.empty() || equals_ignoring_case(host, "localhost");
}

// The decoded path of a file URL; it must be absolute, as a file-system path is.
std::optional<std::string> local_file_path(const UriUriA& uri) {
  if (!equals_ignoring_case(view(uri.scheme), "file") || !local_host(uri)) return std::nullopt;
  const bool has_authority = present(uri.hostText) || uri.hostData.ip4 != nullptr ||
                             uri.hostData.ip6 != nullptr || present(uri.hostData.ipFuture);
  if (!has_authority && !uri.absolutePath) return std::nullopt;
  if (uri.pathHead == nullptr) return std::nullopt;
  std::string path;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    auto decoded = percent_decode(view(segment->text));
    if (!decoded) return std::nullopt;
    path.push_back('/');
    path += *decoded;
  }
  return path;
}

// Bytes a path segment may hold raw: RFC 3986 unreserved characters and the sub-delimiters
// other than ';', which older URL grammars read as a parameter separator, plus ':' and '@'.
// '/' separates segments and stays raw.
bool raw_in_path(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,=:@/").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

}  // namespace

std::optional<ParsedUrl> parse_url(std::string_view text) {
  UriParse parse;
  if (!parse.parse(text)) return std::nullopt;
  if (!present(parse.uri().scheme)) return std::nullopt;
  return ParsedUrl{std::string(text), local_file_path(parse.uri())};
}

std::optional<std::string> file_system_representation(const ParsedUrl& url,
                                                      std::size_t buffer_size) {
  if (!url.file_path) return std::nullopt;
  const std::string& path = *url.file_path;
  if (path.size() >= buffer_size) return std::nullopt;
  return path.substr(0, path.find('\0'));
}

std::optional<std::string> file_url_for_path(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  return "file://" + percent_encode_path(path);
}

namespace {

constexpr std::string_view kFileReferencePrefix = "/.file/id=";

}  // namespace

bool is_file_reference_path(std::string_view path) {
  return path.starts_with(kFileReferencePrefix);
}

std::optional<FileId> file_reference_id(std::string_view path) {
  if (!is_file_reference_path(path)) return std::nullopt;
  path.remove_prefix(kFileReferencePrefix.size());
  const std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto device = parse_decimal_digits(path.substr(0, dot));
  const auto inode = parse_decimal_digits(path.substr(dot + 1));
  if (!device || !inode) return std::nullopt;
  return FileId{*device, *inode};
}

std::string file_reference_url(FileId id) {
  return "file://" + std::string(kFileReferencePrefix) + std::to_string(id.device) + "." +
         std::to_string(id.inode);
}

std::string percent_encode_path(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (raw_in_path(c)) {
      out.push_back(byte);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = hex_value(text[i + 1]);
    const int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

}  // namespace morvane::sim
