// clipboard_client: launches the helper as the host tool does and shows its response.
//   clipboard_client [--helper PATH] [--deadline MS] [--payload-out FILE] OPERATION [ARG...]
// Write and validate operations take their request from standard input.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "client/helper_client.h"

namespace {

std::string default_helper_path() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "morvane_macos_helper";
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "morvane_macos_helper";
}

bool takes_request(const std::string& operation) {
  return operation.starts_with("write:") || operation.starts_with("validate:");
}

int usage() {
  std::cerr << "usage: clipboard_client [--helper PATH] [--deadline MS] [--payload-out FILE] "
               "OPERATION [ARG...]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  morvane::client::Launch launch;
  launch.program = default_helper_path();
  std::string payload_out;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--helper" && i + 1 < argc) launch.program = argv[++i];
    else if (arg == "--deadline" && i + 1 < argc) launch.deadline_ms = argv[++i];
    else if (arg == "--payload-out" && i + 1 < argc) payload_out = argv[++i];
    else break;
  }
  if (i >= argc) return usage();
  launch.arguments.assign(argv + i, argv + argc);
  if (takes_request(launch.arguments[0])) {
    launch.request = std::string(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    launch.request = std::string();
  }

  auto raw = morvane::client::run_raw(launch);
  if (!raw) {
    std::cerr << "clipboard_client: " << raw.error() << "\n";
    return 125;
  }
  auto response = morvane::client::parse_response(*raw, launch);
  if (!response) {
    std::cerr << "clipboard_client: helper exited with status " << raw->status
              << ", no valid response: " << response.error() << "\n";
    return raw->status >= 0 ? raw->status : 125;
  }
  std::cout << response->header_text << "\n";
  if (!payload_out.empty()) {
    std::ofstream(payload_out, std::ios::binary) << response->payload;
  } else {
    std::cout << response->payload;
    if (!response->payload.empty() && isatty(1)) std::cout << "\n";
  }
  std::cout.flush();
  return response->status;
}
