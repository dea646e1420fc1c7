// The "write:file_urls" request decoder on arbitrary bytes: never crashes, and whatever it
// accepts is a list of valid UTF-8 strings that a strict JSON encoder writes back as an array
// the decoder accepts again, unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "input/clipboard/clipboard_requests.h"
#include "input/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  auto paths = morvane::decode_file_url_request(request);
  if (!paths) return 0;
  for (const auto& path : *paths) {
    if (!morvane::is_valid_utf8(path)) std::abort();
  }
  const std::string again = nlohmann::json(*paths).dump();
  auto reparsed = morvane::decode_file_url_request(again);
  if (!reparsed || *reparsed != *paths) std::abort();
  return 0;
}
