#include "input/clipboard/clipboard_helper_entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "input/clipboard/clipboard_clear.h"
#include "input/clipboard/clipboard_write_operations.h"
#include "input/clipboard/clipboard_read.h"
#include "input/clipboard/clipboard_validate_png.h"
#include "input/clipboard/clipboard_watchdog.h"
#include "input/clipboard/request_reader.h"
#include "input/decimal.h"
#include "input/utf8.h"
#include "system/cocoa_runtime.h"
#include "system/process_arguments.h"

namespace morvane {

namespace {

constexpr std::string_view kHelperMode = "clipboard";
constexpr std::string_view kOutputDescriptor = "1";

// One row per operation; each row names the function of the module that implements it.
constexpr OperationEntry kOperations[] = {
    {"clear", 0, &clear_operation},
    {"read:auto", 0, &read_auto_operation},
    {"read:text", 0, &read_text_operation},
    {"read:image", 0, &read_image_operation},
    {"read:file_urls", 0, &read_file_urls_operation},
    {"write:text", 0, &write_text_operation},
    {"write:image", 3, &write_image_operation},
    {"write:file_urls", 0, &write_file_urls_operation},
    {"validate:png", 0, &validate_png_operation, false},
};

// A closed standard descriptor would otherwise be reused by the next open(), and the response
// could land in a file the helper opened for itself.
bool reopen_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd) return false;
  }
  return true;
}

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

bool environment_equals(const char* name, std::string_view expected) {
  auto value = environment(name);
  return value && *value == expected;
}

bool is_hex_token(std::string_view token) {
  return token.size() == kTokenLength && std::all_of(token.begin(), token.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  return parse_decimal_digits(text);
}

void prepare_foundation() {
  try {
    static_cast<void>(cocoa_runtime::ensure_cocoa_multithreaded());
  } catch (...) {
  }
}

}  // namespace

std::span<const OperationEntry> operation_table() { return kOperations; }

std::optional<std::uint64_t> parse_deadline_ms(std::string_view text) {
  auto value = parse_unsigned_decimal(text);
  if (!value) return std::nullopt;
  return std::clamp(*value, kMinDeadlineMs, kMaxDeadlineMs);
}

Outcome run_guarded(std::string_view operation, OperationFn run,
                    std::span<const std::string> arguments, const Deadline& deadline) {
  // Our code throws nothing, but the platform can: AppKit raises NSException when the
  // pasteboard server fails, and a 64 MiB request can exhaust memory. Either must still end in
  // a response, and a clipboard-changing operation interrupted part-way may have changed it.
  try {
    return run(arguments, deadline);
  } catch (...) {
    return fail(AdapterError::make(ErrorCode::INTERNAL,
                                   "Clipboard helper operation was interrupted by a platform failure")
                    .with_delivery(changes_clipboard(operation) ? DeliveryState::delivery_uncertain
                                                     : DeliveryState::unknown));
  }
}

const OperationEntry* find_operation(std::string_view operation, std::size_t argument_count) {
  for (const OperationEntry& entry : operation_table()) {
    if (entry.name == operation && entry.argument_count == argument_count) return &entry;
  }
  return nullptr;
}

Outcome dispatch_operation(std::string_view operation, std::span<const std::string> arguments,
                           const Deadline& deadline) {
  if (const OperationEntry* entry = find_operation(operation, arguments.size())) {
    return run_guarded(operation, entry->run, arguments, deadline);
  }
  return fail(AdapterError::make(ErrorCode::INVALID_ARGS,
                                 "Unsupported macOS clipboard helper operation"));
}

std::int32_t entry_from_env() {
  if (!reopen_standard_descriptors()) std::_Exit(kStatusLaunchRejected);
  ::signal(SIGPIPE, SIG_IGN);

  // Every launch check fails the same way: status 2 and not a byte of output. The accepted
  // values are ASCII, so an exact comparison also rules out invalid UTF-8.
  if (!environment_equals("MORVANE_MACOS_HELPER_MODE", kHelperMode) ||
      !environment_equals("MORVANE_MACOS_HELPER_PROTOCOL", kProtocolVersion) ||
      !environment_equals("MORVANE_MACOS_HELPER_BUILD", kBuildIdentity) ||
      !environment_equals("MORVANE_MACOS_HELPER_OUTPUT_FD", kOutputDescriptor)) {
    return kStatusLaunchRejected;
  }
  const auto token = environment("MORVANE_MACOS_HELPER_TOKEN");
  if (!token || !is_hex_token(*token)) return kStatusLaunchRejected;
  const auto deadline_text = environment("MORVANE_MACOS_HELPER_DEADLINE_MS");
  const auto deadline_ms = deadline_text ? parse_deadline_ms(*deadline_text) : std::nullopt;
  if (!deadline_ms) return kStatusLaunchRejected;

  std::vector<std::string> arguments = process_arguments();
  if (arguments.size() < 2) return kStatusLaunchRejected;
  // Arguments must be UTF-8 under the launch contract; one that is not is a foreign or broken
  // launch like any other, and rejecting it keeps the echoed operation name valid JSON.
  if (!std::all_of(arguments.begin(), arguments.end(), is_valid_utf8)) {
    return kStatusLaunchRejected;
  }

  auto deadline = Deadline::after(*deadline_ms);
  if (!deadline) return kStatusLaunchRejected;

  const std::string& operation = arguments[1];
  const std::span<const std::string> operation_arguments(arguments.begin() + 2, arguments.end());
  // An operation that runs gets a watchdog; an unsupported one is answered at once. Without a
  // thread the operation still has its cooperative deadline, as it always had.
  if (const OperationEntry* entry = find_operation(operation, operation_arguments.size())) {
    // Foundation's one-time set-up polls its probe thread in 1 ms steps: a thread started just
    // before it can keep the probe from finishing by the first look and cost the launch a
    // millisecond. So it runs first; its outcome is kept, and the operation's first pool
    // reports it as before (an exception, too, comes again there).
    if (entry->opens_pasteboard) prepare_foundation();
    static_cast<void>(watchdog::start(*token, operation, *deadline));
  }
  Outcome outcome = dispatch_operation(operation, operation_arguments, *deadline);
  // The watchdog answered first: its response stands, and nothing more may be written.
  if (!watchdog::claim_for_operation()) watchdog::park();
  return write_response(*token, operation, std::move(outcome));
}

}  // namespace morvane
