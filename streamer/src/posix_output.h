#pragma once

// Standard output and standard error as plain POSIX descriptors, the same on every platform.

#include <optional>

#include "capture_interfaces.h"

namespace morvane::streamer {

// Blocking writes to a descriptor, whatever mode the descriptor was opened in. A regular file
// is never cut below the size it had when first asked for a position, and a file opened for
// appending is not cut at all once someone else has appended to it.
class DescriptorSink final : public ByteSink {
 public:
  explicit DescriptorSink(int fd) : fd_(fd) {}
  std::expected<void, std::string> write_all(std::span<const std::uint8_t> bytes) override;
  std::expected<void, std::string> check_reader() override;
  std::optional<std::uint64_t> file_position() override;
  std::expected<void, std::string> truncate_to(std::uint64_t position) override;

 private:
  // Learns on first use what the descriptor refers to, which does not change under it.
  void learn_kind();

  int fd_;
  std::optional<bool> regular_file_;
  // Set by learn_kind for a regular file: the file is shared with whoever else wrote it.
  bool append_ = false;
  std::uint64_t first_size_ = 0;
  // The last position handed out, and the bytes written since.
  std::uint64_t record_start_ = 0;
  std::uint64_t written_since_start_ = 0;
};

// One line on standard error, then exit status 1.
class StandardErrorExit final : public ProcessEnd {
 public:
  void fail(std::string_view line) override;
};

}  // namespace morvane::streamer
