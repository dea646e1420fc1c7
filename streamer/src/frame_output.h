#pragma once

// Each usable frame as one length-prefixed JPEG record on standard output.

#include <memory>
#include <mutex>

#include "capture_interfaces.h"

namespace morvane::streamer {

// Turns each usable screen sample into one record on standard output: the 12-byte header,
// then the JPEG data. Ends the process when the stream stops or the reader goes away, never in
// the middle of a record: the records, the failures and the stop all take one lock.
class FrameOutput final : public StreamOutput {
 public:
  FrameOutput(CaptureSize size, double quality, std::unique_ptr<JpegEncoder> encoder,
              ByteSink& out, ProcessEnd& end);

  void on_sample(const Sample& sample) override;
  void on_stop(std::string_view description) override;

 private:
  void write_record(std::span<const std::uint8_t> jpeg);
  void check_reader();
  void output_failed(const std::string& reason);

  CaptureSize size_;
  double quality_;
  std::unique_ptr<JpegEncoder> encoder_;
  ByteSink& out_;
  ProcessEnd& end_;
  std::mutex lock_;
  // Set once the output has failed or the stream stopped, so nothing more is written, not even
  // part of a record.
  bool output_closed_ = false;
};

}  // namespace morvane::streamer
