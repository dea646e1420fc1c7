#include "input/clipboard/clipboard_helper_protocol.h"

#include <unistd.h>

#include <cerrno>

namespace morvane {

namespace {

// Writes all bytes, repeating interrupted calls; false when a call fails or writes nothing.
bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

nlohmann::json common_header(std::string_view token, std::string_view operation) {
  return nlohmann::json{{"protocol", kProtocolVersion},
                        {"build", kBuildIdentity},
                        {"token", token},
                        {"operation", operation}};
}

int finish(int status) {
  ::close(1);
  return status;
}

}  // namespace

ByteView Payload::bytes() const {
  return std::visit(
      [](const auto& buffer) {
        return ByteView(reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size());
      },
      storage_);
}

RetrySafety retry_for_delivery(DeliveryState delivery) {
  switch (delivery) {
    case DeliveryState::unknown: return RetrySafety::unknown;
    case DeliveryState::not_delivered: return RetrySafety::safe;
    default: return RetrySafety::unsafe;
  }
}

bool changes_clipboard(std::string_view operation) {
  return operation == "clear" || operation.starts_with("write:");
}

void adjust_delivery_for_operation(std::string_view operation, AdapterError& error) {
  if (changes_clipboard(operation) && error.delivery == DeliveryState::unknown) {
    error.delivery = DeliveryState::not_delivered;
  }
}

nlohmann::json response_header(std::string_view token, std::string_view operation,
                               const nlohmann::json& metadata, std::size_t payload_len) {
  nlohmann::json header = common_header(token, operation);
  header["ok"] = true;
  header["payload_len"] = static_cast<std::uint64_t>(payload_len);
  header["metadata"] = metadata;
  return header;
}

nlohmann::json response_header(std::string_view token, std::string_view operation,
                               const AdapterError& error) {
  nlohmann::json header = common_header(token, operation);
  header["ok"] = false;
  header["payload_len"] = std::uint64_t{0};
  header["error_code"] = wire_string(error.code);
  header["message"] = error.message;
  header["disposition"] = {{"delivery", wire_string(error.delivery)},
                           {"retry", wire_string(retry_for_delivery(error.delivery))}};
  return header;
}

std::string serialize_json(const nlohmann::json& value) {
  // The launch rejects arguments that are not UTF-8 and every message is built from UTF-8
  // texts; replacing stray bytes keeps the output valid JSON and the call non-throwing.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int write_response(std::string_view token, std::string_view operation, Outcome outcome) {
  nlohmann::json header;
  ByteView payload;
  if (outcome) {
    header = response_header(token, operation, outcome->metadata, outcome->payload.size());
    payload = outcome->payload.bytes();
  } else {
    adjust_delivery_for_operation(operation, outcome.error());
    header = response_header(token, operation, outcome.error());
  }
  const std::string text = serialize_json(header);
  if (text.size() > kMaxHeaderBytes || payload.size() > kMaxResponsePayloadBytes) {
    return finish(kStatusUndelivered);
  }
  static constexpr std::uint8_t kLineFeed = '\n';
  const bool written = write_all(1, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
                       write_all(1, &kLineFeed, 1) && write_all(1, payload.data(), payload.size());
  if (!written) return finish(kStatusUndelivered);
  return finish(outcome ? kStatusSuccess : kStatusFailure);
}

}  // namespace morvane
