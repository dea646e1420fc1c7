// The stand-in's own reader of a JPEG's EXIF orientation (the markers before the image data,
// then IFD0 of the EXIF block): no input may crash it or read outside it, and every answer is
// an orientation, 1 to 8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "input/clipboard/sim/image_conversion_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int orientation = morvane::sim::jpeg_exif_orientation(morvane::ByteView(data, size));
  if (orientation < 1 || orientation > 8) std::abort();
  return 0;
}
