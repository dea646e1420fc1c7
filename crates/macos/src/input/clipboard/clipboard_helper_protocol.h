#pragma once

// The helper's wire format: limits, exit statuses, outcomes and the response framing.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "response/adapter_error.h"
#include "system/bytes.h"

namespace morvane {

inline constexpr std::string_view kProtocolVersion = "1";
inline constexpr std::string_view kBuildIdentity = "1.2.0:aarch64-apple-darwin:10.15";
inline constexpr std::size_t kMaxRequestBytes = 67'108'864;
inline constexpr std::size_t kMaxHeaderBytes = 16'384;
inline constexpr std::size_t kMaxResponsePayloadBytes = 67'125'248;
// MORVANE_MACOS_HELPER_TOKEN: this many hex digits.
inline constexpr std::size_t kTokenLength = 64;
// MORVANE_MACOS_HELPER_DEADLINE_MS is clamped to this range, in milliseconds.
inline constexpr std::uint64_t kMinDeadlineMs = 1;
inline constexpr std::uint64_t kMaxDeadlineMs = 60'000;

// Exit statuses of the helper.
inline constexpr int kStatusSuccess = 0;
inline constexpr int kStatusFailure = 1;
inline constexpr int kStatusLaunchRejected = 2;
inline constexpr int kStatusUndelivered = 3;

// A response payload, kept in the buffer that produced it: text and serialized paths stay
// strings, images stay bytes, and the response is written from them without another copy.
class Payload {
 public:
  Payload() = default;
  Payload(Bytes bytes) : storage_(std::move(bytes)) {}
  Payload(std::string text) : storage_(std::move(text)) {}

  ByteView bytes() const;
  std::size_t size() const { return bytes().size(); }
  bool empty() const { return size() == 0; }

 private:
  std::variant<Bytes, std::string> storage_;
};

// The success result of one operation: its metadata object and an owned payload.
struct OperationOutput {
  nlohmann::json metadata;
  Payload payload;
};

using Outcome = Result<OperationOutput>;

// "clear" and every "write:" operation: the ones that may change the clipboard.
bool changes_clipboard(std::string_view operation);

// Writing a clipboard-changing operation's error that says nothing about delivery reports it as
// not delivered: it failed before the pasteboard could have been touched.
void adjust_delivery_for_operation(std::string_view operation, AdapterError& error);
// The same rule for a delivery state alone.
DeliveryState delivery_for_operation(std::string_view operation, DeliveryState delivery);

RetrySafety retry_for_delivery(DeliveryState delivery);

nlohmann::json response_header(std::string_view token, std::string_view operation,
                               const nlohmann::json& metadata, std::size_t payload_len);
nlohmann::json response_header(std::string_view token, std::string_view operation,
                                const AdapterError& error);

// Compact JSON: no whitespace, members in byte order of their keys, only the characters JSON
// requires escaped (control characters as \u00xx with lower-case hex).
std::string serialize_json(const nlohmann::json& value);

// Writes every byte to `fd`: a call interrupted by a signal is repeated, and a non-blocking
// descriptor that is full is waited on until it takes more, as a host on an event loop may hand
// one over. False when a call fails or writes nothing. Allocates nothing and takes no lock.
bool write_fully(int fd, ByteView bytes) noexcept;

// Frames and writes the response on descriptor 1, closes it, and returns 0, 1 or 3.
int write_response(std::string_view token, std::string_view operation, Outcome outcome);

}  // namespace morvane
