#pragma once

// JPEG encoding on the stand-in, with TurboJPEG.

#include <expected>
#include <memory>
#include <string>

#include "capture_interfaces.h"

namespace morvane::streamer {

// Quality 0.0 to 1.0 onto TurboJPEG's 1 to 100: hundredths, rounded, 0.0 giving 1.
int turbojpeg_quality(double quality);

struct TurboJpegHandleDeleter {
  void operator()(void* handle) const;
};
struct TurboJpegBufferDeleter {
  void operator()(unsigned char* buffer) const;
};

// TurboJPEG compressor for BGRA frames, 4:2:0 chroma; one handle and one output buffer,
// reused for every frame.
class TurboJpegEncoder final : public JpegEncoder {
 public:
  static std::expected<std::unique_ptr<TurboJpegEncoder>, std::string> create();

  std::span<const std::uint8_t> encode(const BgraImage& image, double quality) override;

 private:
  explicit TurboJpegEncoder(void* handle) : handle_(handle) {}
  bool reserve_for(const BgraImage& image);

  std::unique_ptr<void, TurboJpegHandleDeleter> handle_;
  std::unique_ptr<unsigned char, TurboJpegBufferDeleter> buffer_;
  unsigned long capacity_ = 0;
};

}  // namespace morvane::streamer
