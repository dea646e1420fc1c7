#pragma once

// Each usable frame as one length-prefixed JPEG record on standard output.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "capture_interfaces.h"

namespace morvane::streamer {

// How long a stop signal waits for the record being written. Long enough for a host that reads
// in bursts to drain a record of several megabytes; short enough that a host's own kill timer,
// usually a few seconds, rarely fires first. A host that never reads again gets the signal's
// ending this much later, with the record cut.
inline constexpr std::chrono::milliseconds record_finish_bound{2000};

// Turns each usable screen sample into one record on standard output: the 12-byte header,
// then the JPEG data. Ends the process when the stream stops or the reader goes away, never in
// the middle of a record: the records, the failures and the stop all take one lock.
class FrameOutput final : public StreamOutput {
 public:
  FrameOutput(CaptureSize size, double quality, std::unique_ptr<JpegEncoder> encoder,
              ByteSink& out, ProcessEnd& end);

  void on_sample(const Sample& sample) override;
  void on_stop(std::string_view description) override;

  // The process was told to stop: waits, for at most `bound`, until the record being written
  // is whole, and writes nothing after it. From the call on nothing else ends the process;
  // whoever called it does, once it returns.
  void close_for_stop_signal(std::chrono::milliseconds bound);

 private:
  void write_record(std::span<const std::uint8_t> jpeg, CaptureSize size);
  void check_reader();
  void output_failed(const std::string& reason);
  // Ends the process with `line`, unless a stop signal is already ending it.
  void end_with(const std::string& line);

  CaptureSize size_;
  double quality_;
  std::unique_ptr<JpegEncoder> encoder_;
  ByteSink& out_;
  ProcessEnd& end_;
  // Timed, so that a stop signal's wait for a record is bounded.
  std::timed_mutex lock_;
  // Set once the output has failed or the stream stopped, so nothing more is written, not even
  // part of a record.
  bool output_closed_ = false;
  // Set, outside the lock, as soon as a stop signal came: no record starts after it.
  std::atomic<bool> stop_signalled_ = false;
};

}  // namespace morvane::streamer
