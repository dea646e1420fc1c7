#pragma once

// Standard output and standard error as plain POSIX descriptors, the same on every platform.

#include <optional>

#include "capture_interfaces.h"

namespace morvane::streamer {

// Blocking writes to a descriptor, whatever mode the descriptor was opened in.
class DescriptorSink final : public ByteSink {
 public:
  explicit DescriptorSink(int fd) : fd_(fd) {}
  std::expected<void, std::string> write_all(std::span<const std::uint8_t> bytes) override;
  std::expected<void, std::string> check_reader() override;
  std::optional<std::uint64_t> file_position() override;
  std::expected<void, std::string> truncate_to(std::uint64_t position) override;

 private:
  int fd_;
  // Learnt on first use: what a descriptor refers to does not change under it.
  std::optional<bool> regular_file_;
};

// One line on standard error, then exit status 1.
class StandardErrorExit final : public ProcessEnd {
 public:
  void fail(std::string_view line) override;
};

}  // namespace morvane::streamer
