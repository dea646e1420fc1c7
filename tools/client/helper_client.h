#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace morvane::client {

inline constexpr const char* kProtocolVersion = "1";
inline constexpr const char* kBuildIdentity = "1.2.0:aarch64-apple-darwin:10.15";

// One launch of the helper, as the host tool performs it.
struct Launch {
  std::string program;                  // path of morvane_macos_helper
  std::vector<std::string> arguments;   // operation name, then its arguments
  std::optional<std::string> request;   // written to standard input; nullopt: closed at launch
  std::string token;                    // empty: a fresh random token
  std::string deadline_ms = "10000";
  // Changes to the six launch variables (or any other): nullopt removes the variable.
  std::map<std::string, std::optional<std::string>> environment;
  // Close the read end of the response pipe before the helper writes.
  bool close_response_early = false;
  // As a host on an event loop may: the helper's ends of its pipes are non-blocking.
  bool nonblocking_pipes = false;
  // The request is written only this long after the launch, the response read only this long
  // after it.
  int request_delay_ms = 0;
  int response_delay_ms = 0;
  // Standard input stays open after the request, until the helper has exited.
  bool keep_request_open = false;
  // As a host's own timer: the helper is killed (SIGKILL) when its outputs are still open this
  // long after the launch; 0 never.
  int kill_after_ms = 0;
};

// What came back, unparsed.
struct RawResult {
  int status = -1;            // exit status, or -1 when ended by a signal
  int signal = 0;
  std::string output;         // every byte written to descriptor 1
  std::string error_output;   // every byte written to descriptor 2
  std::string token;          // the token the helper was given
  long peak_rss_kib = 0;      // the child's peak resident set size
};

// A parsed, checked response.
struct Response {
  int status = -1;
  std::string header_text;
  nlohmann::json header;
  std::string payload;
};

std::string random_token();

// Launches the helper, feeds the request and collects everything it writes.
std::expected<RawResult, std::string> run_raw(const Launch& launch);

// Splits a response into header and payload and checks the echoed fields and the framing.
std::expected<Response, std::string> parse_response(const RawResult& raw, const Launch& launch);

// run_raw then parse_response.
std::expected<Response, std::string> call(const Launch& launch);

}  // namespace morvane::client
