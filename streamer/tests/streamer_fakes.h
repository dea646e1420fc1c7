#pragma once

#include <cstdint>
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

class FakeSink final : public ByteSink {
 public:
  std::expected<void, std::string> write_all(std::span<const std::uint8_t> bytes) override {
    ++writes;
    if (fail_from_write != 0 && writes >= fail_from_write) return std::unexpected(std::string("Broken pipe"));
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, std::string> check_reader() override {
    ++reader_checks;
    if (reader_gone) return std::unexpected(std::string("Broken pipe"));
    return {};
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  int writes = 0;
  int fail_from_write = 0;  // 1-based; 0 never fails
  int reader_checks = 0;
  bool reader_gone = false;

 private:
  std::vector<std::uint8_t> bytes_;
};

class FakeEnd final : public ProcessEnd {
 public:
  void fail(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

}  // namespace morvane::streamer::testing
