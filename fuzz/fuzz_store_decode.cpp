// The simulated pasteboard's store decoder: no file may crash it or make it read outside the
// file, and whatever it accepts is exactly what the encoder writes for the decoded contents
// (the format has one encoding). Checksums are recomputed before decoding, so that mutated
// layouts reach the checks behind them instead of all stopping at a checksum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "input/clipboard/sim/pasteboard_store_sim.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvane;
  // A buffer of exactly the input's size, so that ASan sees any read past its end.
  std::vector<std::uint8_t> bytes(data, data + size);
  require(!sim::decode_store(bytes, nullptr, true) || sim::decode_store(bytes, nullptr, false));

  sim::reseal_store(bytes);
  const auto checked = sim::decode_store(bytes, nullptr, true);
  const auto unchecked = sim::decode_store(bytes, nullptr, false);
  require(checked.has_value() == unchecked.has_value());
  if (!checked) return 0;
  require(sim::encode_store(*checked).flatten() == bytes);
  require(checked->items.size() == unchecked->items.size());
  return 0;
}
