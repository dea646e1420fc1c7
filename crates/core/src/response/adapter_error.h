#pragma once

// The one error record of the clipboard helper: code, message, delivery state and details.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace morvane {

// Machine-readable class of a failure; the numeric values are part of the shared vocabulary.
enum class ErrorCode : std::uint8_t {
  PERM_DENIED = 0,
  ELEMENT_NOT_FOUND = 1,
  APP_NOT_FOUND = 2,
  ACTION_FAILED = 3,
  ACTION_NOT_SUPPORTED = 4,
  STALE_REF = 5,
  AMBIGUOUS_TARGET = 6,
  WINDOW_NOT_FOUND = 7,
  PLATFORM_NOT_SUPPORTED = 8,
  TIMEOUT = 9,
  INVALID_ARGS = 10,
  NOTIFICATION_NOT_FOUND = 11,
  SNAPSHOT_NOT_FOUND = 12,
  POLICY_DENIED = 13,
  APP_UNRESPONSIVE = 14,
  INTERNAL = 15,
};

// How far a clipboard write got before it failed.
enum class DeliveryState : std::uint8_t {
  unknown = 0,
  not_delivered = 1,
  delivery_uncertain = 2,
  delivered_unverified = 3,
  delivered_verified = 4,
};

enum class RetrySafety : std::uint8_t { unknown = 0, safe = 1, unsafe = 2 };

std::string_view wire_string(ErrorCode code);
std::string_view wire_string(DeliveryState delivery);
std::string_view wire_string(RetrySafety retry);

// The one error record of the clipboard helper. Move-only: it travels by value up to the
// response writer and is never needed twice.
class AdapterError {
 public:
  // Builds a record with only a code and a message; everything else absent or unknown.
  static AdapterError make(ErrorCode code, std::string message);

  AdapterError(AdapterError&&) noexcept = default;
  AdapterError& operator=(AdapterError&&) noexcept = default;
  AdapterError(const AdapterError&) = delete;
  AdapterError& operator=(const AdapterError&) = delete;

  AdapterError with_suggestion(std::string text) &&;
  AdapterError with_platform_detail(std::string text) &&;
  // Stores the details; a boolean "retryable" member of an object sets the retry hint.
  AdapterError with_details(nlohmann::json value) &&;
  AdapterError with_delivery(DeliveryState state) &&;

  // The text form of a record is its message alone.
  const std::string& display() const { return message; }

  ErrorCode code;
  std::string message;
  std::optional<std::string> suggestion;
  std::optional<std::string> platform_detail;
  std::optional<nlohmann::json> details;
  RetrySafety retry = RetrySafety::unknown;
  DeliveryState delivery = DeliveryState::unknown;

 private:
  AdapterError(ErrorCode c, std::string m) : code(c), message(std::move(m)) {}
};

template <typename T>
using Result = std::expected<T, AdapterError>;

// Result of an operation that succeeds without a value.
using Status = std::expected<void, AdapterError>;

inline std::unexpected<AdapterError> fail(AdapterError error) {
  return std::unexpected<AdapterError>(std::move(error));
}

}  // namespace morvane
