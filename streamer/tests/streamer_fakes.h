#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture_interfaces.h"

namespace morvane::streamer::testing {

class FakeEncoder final : public JpegEncoder {
 public:
  explicit FakeEncoder(std::vector<std::uint8_t> jpeg) : jpeg_(std::move(jpeg)) {}
  std::span<const std::uint8_t> encode(const BgraImage& image, double quality) override {
    ++calls;
    last_width = image.width;
    last_quality = quality;
    return jpeg_;
  }
  int calls = 0;
  std::int64_t last_width = 0;
  double last_quality = -1;

 private:
  std::vector<std::uint8_t> jpeg_;
};

// Standard output as a pipe, or as a regular file when `regular_file` is set: then its
// contents are bytes() and the position is their end.
class FakeSink final : public ByteSink {
 public:
  std::expected<void, std::string> write_all(std::span<const std::uint8_t> bytes) override {
    ++writes;
    if (during_write) during_write();
    if (fail_from_write != 0 && writes >= fail_from_write) {
      // A write that fails part-way has still put its first bytes out.
      bytes_.insert(bytes_.end(), bytes.begin(),
                    bytes.begin() + std::min(partial_bytes, bytes.size()));
      return std::unexpected(failure);
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, std::string> check_reader() override {
    ++reader_checks;
    if (reader_gone) return std::unexpected(std::string("Broken pipe"));
    return {};
  }
  std::optional<std::uint64_t> file_position() override {
    if (!regular_file) return std::nullopt;
    return bytes_.size();
  }
  std::expected<void, std::string> truncate_to(std::uint64_t position) override {
    ++truncations;
    bytes_.resize(static_cast<std::size_t>(position));
    return {};
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // What the file held before the streamer started.
  void start_with(std::vector<std::uint8_t> existing) { bytes_ = std::move(existing); }

  int writes = 0;
  std::function<void()> during_write;  // runs inside each write, once it is counted
  int fail_from_write = 0;        // 1-based; 0 never fails
  std::size_t partial_bytes = 0;  // of the first failing write
  std::string failure = "Broken pipe";
  int reader_checks = 0;
  bool reader_gone = false;
  bool regular_file = false;
  int truncations = 0;

 private:
  std::vector<std::uint8_t> bytes_;
};

class FakeEnd final : public ProcessEnd {
 public:
  void fail(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

}  // namespace morvane::streamer::testing
