#include "jpeg_encoder_linux.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace morvane::streamer {

int turbojpeg_quality(double quality) {
  return static_cast<int>(std::clamp<long>(std::lround(quality * 100.0), 1, 100));
}

void TurboJpegHandleDeleter::operator()(void* handle) const { tjDestroy(handle); }
void TurboJpegBufferDeleter::operator()(unsigned char* buffer) const { tjFree(buffer); }

std::expected<std::unique_ptr<TurboJpegEncoder>, std::string> TurboJpegEncoder::create() {
  tjhandle handle = tjInitCompress();
  if (handle == nullptr) return std::unexpected(std::string(tjGetErrorStr2(nullptr)));
  return std::unique_ptr<TurboJpegEncoder>(new TurboJpegEncoder(handle));
}

// The worst-case size lets TurboJPEG write in place without ever reallocating.
bool TurboJpegEncoder::reserve_for(const BgraImage& image) {
  const unsigned long needed =
      tjBufSize(static_cast<int>(image.width), static_cast<int>(image.height), TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1)) return false;
  if (needed <= capacity_) return true;
  buffer_.reset(tjAlloc(static_cast<int>(needed)));
  capacity_ = buffer_ ? needed : 0;
  return buffer_ != nullptr;
}

std::span<const std::uint8_t> TurboJpegEncoder::encode(const BgraImage& image, double quality) {
  if (image.pixels == nullptr || image.width <= 0 || image.height <= 0 || !reserve_for(image)) {
    return {};
  }
  unsigned char* output = buffer_.get();
  unsigned long size = capacity_;
  const int failed = tjCompress2(handle_.get(), image.pixels, static_cast<int>(image.width),
                                 static_cast<int>(image.bytes_per_row),
                                 static_cast<int>(image.height), TJPF_BGRA, &output, &size,
                                 TJSAMP_420, turbojpeg_quality(quality), TJFLAG_NOREALLOC);
  if (failed != 0) return {};
  return {buffer_.get(), size};
}

}  // namespace morvane::streamer
