// URL text to file-system path, as the simulated platform converts it, and back: no input may
// crash it, every path it yields fits the buffer and stops at a NUL, and every path it yields
// survives the trip to a file URL and back unchanged; a file reference id survives the trip to
// its URL and back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "input/clipboard/sim/url_conversion_sim.h"

namespace {

constexpr std::size_t kBuffer = 1024;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvane::sim;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  require(percent_decode(percent_encode_path(input)) == input);
  // A reference path that names an id names it through its URL too.
  if (const auto id = file_reference_id(input)) {
    const auto reference = parse_url(file_reference_url(*id));
    require(reference && reference->file_path && file_reference_id(*reference->file_path) == id);
  }

  const auto url = parse_url(input);
  if (!url) return 0;
  const auto path = file_system_representation(*url, kBuffer);
  if (!path) return 0;
  require(path->size() < kBuffer);
  require(path->find('\0') == std::string_view::npos);
  if (path->empty() || path->front() != '/') return 0;

  const auto again = file_url_for_path(*path);
  require(again.has_value());
  const auto reparsed = parse_url(*again);
  require(reparsed.has_value());
  require(file_system_representation(*reparsed, kBuffer * 3 + 8) == path);
  return 0;
}
