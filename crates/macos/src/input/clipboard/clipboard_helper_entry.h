#pragma once

// The top of the helper: launch validation, the operation table and the run of one operation.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "wait/deadline.h"

namespace morvane {

// Runs one operation: the arguments after the operation name, and the run's deadline.
using OperationFn = Outcome (*)(std::span<const std::string> arguments, const Deadline& deadline);

struct OperationEntry {
  std::string_view name;
  std::size_t argument_count;
  OperationFn run;
  bool opens_pasteboard = true;  // it opens a pool and so needs Foundation's one-time set-up
};

// The operation table: every operation the helper answers.
std::span<const OperationEntry> operation_table();

// Validates the launch, runs one operation and writes its response; returns the exit status.
std::int32_t entry_from_env();

// Runs one operation; an exception from below (a platform exception, exhausted memory) becomes
// an INTERNAL error whose delivery is uncertain for the operations that change the clipboard.
Outcome run_guarded(std::string_view operation, OperationFn run,
                    std::span<const std::string> arguments, const Deadline& deadline);

// The table's row for that name and argument count; nullptr when the operation is unsupported.
const OperationEntry* find_operation(std::string_view operation, std::size_t argument_count);

Outcome dispatch_operation(std::string_view operation, std::span<const std::string> arguments,
                           const Deadline& deadline);

// Parses MORVANE_MACOS_HELPER_DEADLINE_MS and clamps it to 1..60000 ms.
std::optional<std::uint64_t> parse_deadline_ms(std::string_view text);

}  // namespace morvane
