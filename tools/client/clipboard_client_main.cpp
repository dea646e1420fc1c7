// clipboard_client: launches the helper as the host tool does and shows its response.
//   clipboard_client [--helper PATH] [--deadline MS] [--payload-out FILE] OPERATION [ARG...]
// Write and validate operations take their request from standard input.
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "build_info.h"
#include "client/helper_client.h"
#if !defined(__APPLE__)
#include "input/clipboard/sim/pasteboard_store_sim.h"
#endif

namespace {

// This program's own path, symbolic links resolved, or "" when the system will not say.
std::string executable_path() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  ::_NSGetExecutablePath(nullptr, &size);  // reports the size it needs
  std::string path(size, '\0');
  if (::_NSGetExecutablePath(path.data(), &size) != 0) return "";
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
#else
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "";
#endif
}

bool is_executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The first morvane_macos_helper on PATH, or "".
std::string helper_on_path() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const std::string_view dir = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), dir.size() + 1));
    if (dir.empty()) continue;
    const std::string candidate = std::string(dir) + "/morvane_macos_helper";
    if (is_executable(candidate)) return candidate;
  }
  return "";
}

#ifndef MORVANE_INSTALLED_HELPER_DIR
#define MORVANE_INSTALLED_HELPER_DIR "../libexec/morvane"
#endif

// The helper beside this program (the build tree), else the one of this program's installation
// (bin/ to libexec/morvane/), else the first on PATH. Failing all three, the path beside this
// program, so that the launch error names where it was looked for.
std::string default_helper_path() {
  const std::string self = executable_path();
  const std::string dir = self.empty() ? "" : self.substr(0, self.rfind('/') + 1);
  const std::string beside = dir + "morvane_macos_helper";
  if (!dir.empty() && is_executable(beside)) return beside;
  const std::string installed = dir + MORVANE_INSTALLED_HELPER_DIR "/morvane_macos_helper";
  if (!dir.empty() && is_executable(installed)) return installed;
  const std::string on_path = helper_on_path();
  return on_path.empty() ? beside : on_path;
}

bool takes_request(const std::string& operation) {
  return operation.starts_with("write:") || operation.starts_with("validate:");
}

constexpr const char* kUsage =
    "usage: clipboard_client [--helper PATH] [--deadline MS] [--payload-out FILE] [--] OPERATION [ARG...]\n"
    "       clipboard_client --help | --version\n";

constexpr const char* kHelp =
    "Launches the clipboard helper exactly as the host tool does (its six environment\n"
    "variables, a fresh token, the operation as arguments) and prints its response: the\n"
    "header line, then the payload.\n"
    "\n"
    "Operations:\n"
    "  clear                          empty the clipboard\n"
    "  read:auto                      file URLs, else an image, else text, else nothing\n"
    "  read:text | read:image | read:file_urls\n"
    "  write:text                     UTF-8 text from standard input\n"
    "  write:image WIDTH HEIGHT SCALE PNG bytes from standard input\n"
    "  write:file_urls                a JSON array of absolute paths from standard input\n"
    "  validate:png                   check PNG bytes from standard input; the clipboard is left alone\n"
    "\n"
    "Options:\n"
    "  --helper PATH        the helper to launch (default: morvane_macos_helper beside this\n"
    "                       program, else the one installed with it in " MORVANE_INSTALLED_HELPER_DIR "/,\n"
    "                       else the one on PATH)\n"
    "  --deadline MS        the deadline passed to the helper (default 10000)\n"
    "  --payload-out FILE   write the payload to FILE instead of standard output\n"
    "  --help               show this text\n"
    "  --version            show this release, and the protocol and build identity it sends\n"
    "  --                   ends the options (for an operation that begins with '-')\n"
    "\n"
    "Exit status: the helper's own (0 success, 1 failure response, 2 broken launch, 3 response\n"
    "not delivered); 2 also for a usage error here; 125 when the helper could not be launched.\n";

int usage() {
  std::cerr << kUsage;
  return 2;
}

// The helper never says why it finds the clipboard unavailable (its answer has no place for a
// cause). On the simulated pasteboard the cause is most often a store it refuses: the same
// checks as the helper's name the rule it breaks.
void explain_unavailable(const morvane::client::Response& response) {
#if !defined(__APPLE__)
  if (response.header.value("message", "") != "System clipboard is unavailable") return;
  morvane::sim::PasteboardStore store(morvane::sim::default_store_location());
  if (auto broken = store.first_broken_rule()) std::cerr << "clipboard_client: " << *broken << "\n";
#else
  (void)response;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  morvane::client::Launch launch;
  launch.program = default_helper_path();
  std::string payload_out;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage << "\n" << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << morvane::build_info::version_line("clipboard_client") << "protocol "
                << morvane::client::kProtocolVersion << ", build identity "
                << morvane::client::kBuildIdentity << "\n";
      return 0;
    }
    if (arg == "--") {
      ++i;
      break;
    }
    if (!arg.starts_with("-")) break;
    // Every option takes a value; a missing one is a usage error, not an operation named
    // "--deadline".
    if (i + 1 >= argc) return usage();
    if (arg == "--helper") launch.program = argv[++i];
    else if (arg == "--deadline") launch.deadline_ms = argv[++i];
    else if (arg == "--payload-out") payload_out = argv[++i];
    else return usage();
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
  explain_unavailable(*response);
  return response->status;
}
