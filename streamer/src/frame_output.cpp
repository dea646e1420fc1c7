#include "frame_output.h"

#include <limits>

#include "record_header.h"

namespace morvane::streamer {

FrameOutput::FrameOutput(CaptureSize size, double quality, std::unique_ptr<JpegEncoder> encoder,
                         ByteSink& out, ProcessEnd& end)
    : size_(size), quality_(quality), encoder_(std::move(encoder)), out_(out), end_(end) {}

void FrameOutput::on_sample(const Sample& sample) {
  if (sample.type != OutputType::screen || !sample.valid) return;
  if (!sample.image || !frame_status_keeps_frame(sample.status)) {
    // A still screen writes nothing, so this is where a departed reader gets noticed. Its
    // idle samples may come with the last image or, as on macOS, with none.
    check_reader();
    return;
  }
  const std::span<const std::uint8_t> jpeg = encoder_->encode(*sample.image, quality_);
  // The header's length is 32-bit; a larger image would be announced with a wrong length.
  if (jpeg.empty() || jpeg.size() > std::numeric_limits<std::uint32_t>::max()) return;
  write_record(jpeg, sample.capture_size.value_or(size_));
}

void FrameOutput::on_stop(std::string_view description) {
  // The stop may come from another thread while a record is being written: it waits for that
  // record, so the process never ends with half of one on the stream, and writes no more.
  std::lock_guard guard(lock_);
  output_closed_ = true;
  end_with("screen capture stopped: " + std::string(description));
}

void FrameOutput::close_for_stop_signal(std::chrono::milliseconds bound) {
  stop_signalled_ = true;
  if (!lock_.try_lock_for(bound)) return;
  output_closed_ = true;
  lock_.unlock();
}

void FrameOutput::write_record(std::span<const std::uint8_t> jpeg, CaptureSize size) {
  const auto header = encode_record_header(static_cast<std::uint32_t>(jpeg.size()),
                                           static_cast<std::uint32_t>(size.width),
                                           static_cast<std::uint32_t>(size.height));
  std::lock_guard guard(lock_);
  if (output_closed_ || stop_signalled_) return;
  const std::optional<std::uint64_t> record_start = out_.file_position();
  auto written = out_.write_all(header);
  if (written) written = out_.write_all(jpeg);
  if (written) return;
  // A file keeps what a pipe would have consumed: cut the partial record off, so the file
  // ends with a whole record. If that fails too, the failed write is still the news.
  if (record_start) (void)out_.truncate_to(*record_start);
  output_failed(written.error());
}

void FrameOutput::check_reader() {
  std::lock_guard guard(lock_);
  if (output_closed_) return;
  if (auto alive = out_.check_reader(); !alive) output_failed(alive.error());
}

void FrameOutput::output_failed(const std::string& reason) {
  // Retrying would repeat part of a record to nobody; the stream's only product is gone.
  output_closed_ = true;
  end_with("frame output failed: " + reason);
}

void FrameOutput::end_with(const std::string& line) {
  // The host asked for the signal's ending; a reader that left meanwhile does not change it.
  if (stop_signalled_) return;
  end_.fail(line);
}

}  // namespace morvane::streamer
