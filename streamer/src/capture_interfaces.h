#pragma once

// What the portable streamer needs from a platform: displays, a capture stream that delivers
// samples on one serial queue, a JPEG encoder, standard output and a way to end the process.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture_size.h"
#include "frame_status.h"

namespace morvane::streamer {

// A borrowed frame of 32-bit pixels, bytes in the order blue, green, red, alpha.
struct BgraImage {
  const std::uint8_t* pixels = nullptr;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::size_t bytes_per_row = 0;
  // The platform's own buffer holding the frame, for an encoder that reads it directly (on
  // macOS the sample's CVPixelBuffer, with `pixels` unset); null where only pixels are given.
  const void* native = nullptr;
};

enum class OutputType : std::int64_t { screen = 0, audio = 1, microphone = 2 };

// One sample buffer as the stream hands it over; valid only during the call.
struct Sample {
  OutputType type = OutputType::screen;
  bool valid = true;
  std::optional<BgraImage> image;
  FrameStatusValue status;
  // The size the frame was captured at, from a platform that follows a display whose size
  // changes; unset means the configured size.
  std::optional<CaptureSize> capture_size;
};

class JpegEncoder {
 public:
  virtual ~JpegEncoder() = default;
  // A complete JPEG file, valid until the next call; empty when encoding produced nothing.
  virtual std::span<const std::uint8_t> encode(const BgraImage& image, double quality) = 0;
};

// The process's standard output.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes every byte or reports why it could not.
  virtual std::expected<void, std::string> write_all(std::span<const std::uint8_t> bytes) = 0;
  // Reports a reader that has gone away, without writing anything.
  virtual std::expected<void, std::string> check_reader() = 0;
  // Where the next byte lands when the output is a regular file (its end when it is open for
  // appending); nothing for a pipe, a terminal or a device, which cannot take back what they
  // were given.
  virtual std::optional<std::uint64_t> file_position() = 0;
  // Cuts a regular file back to `position`, the last one asked for, and goes on writing from
  // there; it never takes what the file held before this output wrote to it, nor what another
  // writer appended.
  virtual std::expected<void, std::string> truncate_to(std::uint64_t position) = 0;
};

class ProcessEnd {
 public:
  virtual ~ProcessEnd() = default;
  // Writes `line` and a line feed to standard error in one write, then ends the process with
  // status 1. Returns only in tests.
  virtual void fail(std::string_view line) = 0;
};

// The stream's output and delegate: samples arrive on the stream's serial queue; the stop
// notification may arrive on any thread, also while a sample is being handled.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void on_sample(const Sample& sample) = 0;
  virtual void on_stop(std::string_view description) = 0;
};

struct Display {
  std::uint64_t id = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

enum class PixelFormat : std::uint32_t { bgra = 0x42475241 };  // 'BGRA'

struct StreamConfiguration {
  CaptureSize size;
  // The width limit `size` was chosen under, for a stream that follows a display whose size
  // changes.
  std::int64_t maximum_width = 1024;
  // Minimum frame interval as a media time: value / timescale seconds.
  std::int64_t minimum_frame_interval_value = 1;
  std::int32_t minimum_frame_interval_timescale = 30;
  std::int64_t queue_depth = 5;
  bool shows_cursor = true;
  PixelFormat pixel_format = PixelFormat::bgra;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  virtual std::expected<void, std::string> add_output(StreamOutput& output) = 0;
  virtual std::expected<void, std::string> start() = 0;
};

class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;
  // The shareable content's displays; the error is the platform's description.
  virtual std::expected<std::vector<Display>, std::string> shareable_displays() = 0;
  virtual std::expected<std::unique_ptr<JpegEncoder>, std::string> make_jpeg_encoder() = 0;
  // `delegate` receives the stop notification and must outlive the stream.
  virtual std::expected<std::unique_ptr<CaptureStream>, std::string> make_stream(
      const Display& display, const StreamConfiguration& configuration,
      StreamOutput& delegate) = 0;
  virtual ByteSink& standard_output() = 0;
  virtual ProcessEnd& process_end() = 0;
};

}  // namespace morvane::streamer
