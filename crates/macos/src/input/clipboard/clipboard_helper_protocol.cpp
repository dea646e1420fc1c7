#include "input/clipboard/clipboard_helper_protocol.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace morvane {

namespace {

// Waits until a non-blocking descriptor can take more.
bool wait_writable(int fd) noexcept {
  pollfd entry{fd, POLLOUT, 0};
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return false;
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

DeliveryState delivery_for_operation(std::string_view operation, DeliveryState delivery) {
  if (changes_clipboard(operation) && delivery == DeliveryState::unknown) {
    return DeliveryState::not_delivered;
  }
  return delivery;
}

void adjust_delivery_for_operation(std::string_view operation, AdapterError& error) {
  error.delivery = delivery_for_operation(operation, error.delivery);
}

bool write_fully(int fd, ByteView bytes) noexcept {
  const std::uint8_t* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd)) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
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
  const bool written =
      write_fully(1, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) &&
      write_fully(1, ByteView(&kLineFeed, 1)) && write_fully(1, payload);
  if (!written) return finish(kStatusUndelivered);
  return finish(outcome ? kStatusSuccess : kStatusFailure);
}

}  // namespace morvane
