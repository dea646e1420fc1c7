#include "response/adapter_error.h"

#include <array>

namespace morvane {

namespace {

constexpr std::array<std::string_view, 16> kErrorCodeWire = {
    "PERM_DENIED",          "ELEMENT_NOT_FOUND", "APP_NOT_FOUND",
    "ACTION_FAILED",        "ACTION_NOT_SUPPORTED", "STALE_REF",
    "AMBIGUOUS_TARGET",     "WINDOW_NOT_FOUND",  "PLATFORM_NOT_SUPPORTED",
    "TIMEOUT",              "INVALID_ARGS",      "NOTIFICATION_NOT_FOUND",
    "SNAPSHOT_NOT_FOUND",   "POLICY_DENIED",     "APP_UNRESPONSIVE",
    "INTERNAL",
};

constexpr std::array<std::string_view, 5> kDeliveryWire = {
    "unknown", "not_delivered", "delivery_uncertain", "delivered_unverified",
    "delivered_verified",
};

constexpr std::array<std::string_view, 3> kRetryWire = {"unknown", "safe", "unsafe"};

template <std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& table, std::uint8_t value) {
  // Values outside the enumeration cannot be built through the API; map them to the
  // first entry rather than reading out of bounds.
  return value < N ? table[value] : table[0];
}

}  // namespace

std::string_view wire_string(ErrorCode code) {
  return lookup(kErrorCodeWire, static_cast<std::uint8_t>(code));
}
std::string_view wire_string(DeliveryState delivery) {
  return lookup(kDeliveryWire, static_cast<std::uint8_t>(delivery));
}
std::string_view wire_string(RetrySafety retry) {
  return lookup(kRetryWire, static_cast<std::uint8_t>(retry));
}

AdapterError AdapterError::make(ErrorCode code, std::string message) {
  return AdapterError(code, std::move(message));
}

AdapterError AdapterError::with_suggestion(std::string text) && {
  suggestion = std::move(text);
  return std::move(*this);
}

AdapterError AdapterError::with_platform_detail(std::string text) && {
  platform_detail = std::move(text);
  return std::move(*this);
}

AdapterError AdapterError::with_details(nlohmann::json value) && {
  if (value.is_object()) {
    auto member = value.find("retryable");
    if (member != value.end() && member->is_boolean()) {
      retry = member->get<bool>() ? RetrySafety::safe : RetrySafety::unsafe;
    }
  }
  details = std::move(value);
  return std::move(*this);
}

AdapterError AdapterError::with_delivery(DeliveryState state) && {
  delivery = state;
  return std::move(*this);
}

}  // namespace morvane
