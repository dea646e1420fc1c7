#pragma once

// The pasteboard of one test and the two programs that act on it: the helper (through the
// host-side client) and another application. On Linux that is a private simulated pasteboard
// and sim_pasteboard; on macOS it is the one real general pasteboard and sim_pasteboard's twin,
// macos_pasteboard, with the same command line and outputs. So the black-box tests run
// unchanged on both systems; a test that needs a switch only the simulation offers says so with
// MORVANE_STAND_IN_ONLY and is skipped on a Mac.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/helper_client.h"
#include "helper_paths.h"

namespace morvane::blackbox {

// True where the tests run against the simulated pasteboard, false on a real Mac pasteboard.
#if defined(__APPLE__)
inline constexpr bool kSimulatedPasteboard = false;
#else
inline constexpr bool kSimulatedPasteboard = true;
#endif

// The program that plays another application on this system's pasteboard.
inline std::string other_application_program() {
  return bin(kSimulatedPasteboard ? "sim_pasteboard" : "macos_pasteboard");
}

// First statement of a test that needs what only the simulated pasteboard offers (its switches,
// its store file): on a Mac the test is skipped with the reason printed.
#define MORVANE_STAND_IN_ONLY(reason)                                  \
  if (!::morvane::blackbox::kSimulatedPasteboard) {                    \
    GTEST_SKIP() << "needs the simulated pasteboard: " << (reason);    \
  }

class SimPasteboard {
 public:
  SimPasteboard() {
    static int counter = 0;
    store_ = std::filesystem::temp_directory_path() /
             ("morvane-test-pb-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    // A private store starts empty; the one real pasteboard is emptied to match.
    if (!kSimulatedPasteboard) tool({"clear"});
  }
  ~SimPasteboard() {
    std::error_code ignored;
    std::filesystem::remove(store_, ignored);
    std::filesystem::remove(store_.string() + ".lock", ignored);
  }
  SimPasteboard(const SimPasteboard&) = delete;
  SimPasteboard& operator=(const SimPasteboard&) = delete;

  const std::filesystem::path& store() const { return store_; }

  // Runs sim_pasteboard with the given arguments against this store.
  client::RawResult tool(std::vector<std::string> arguments) const {
    client::Launch launch;
    launch.program = other_application_program();
    launch.arguments = std::move(arguments);
    launch.request = std::string();
    launch.environment["MORVANE_SIM_PASTEBOARD"] = store_.string();
    auto raw = client::run_raw(launch);
    return raw ? *raw : client::RawResult{};
  }

  // A helper launch against this store.
  client::Launch helper(std::vector<std::string> arguments, std::string request = {}) const {
    client::Launch launch;
    launch.program = helper_path();
    launch.arguments = std::move(arguments);
    launch.request = std::move(request);
    launch.environment["MORVANE_SIM_PASTEBOARD"] = store_.string();
    return launch;
  }

  std::int64_t change_count() const {
    return std::stoll(tool({"read", "change-count"}).output);
  }

 private:
  std::filesystem::path store_;
};

// The bytes in which a path that went through the platform's file URL conversion reads back.
// The simulated pasteboard answers a path as it was written. macOS answers the file system's
// representation (CFURLGetFileSystemRepresentation), which decomposes accented letters: "é"
// written composed reads back as "e" and U+0301 (NFD); on macOS both spellings name the same
// file (CoreFoundation's own sources say so; docs/building-on-macos.md cites them). The
// tests' paths have one precomposed letter, é, so that is the one decomposed here.
inline std::string path_as_read_back(std::string path) {
  if (kSimulatedPasteboard) return path;
  const std::string composed = "\xc3\xa9", decomposed = "e\xcc\x81";
  for (auto at = path.find(composed); at != std::string::npos; at = path.find(composed, at)) {
    path.replace(at, composed.size(), decomposed);
  }
  return path;
}

inline std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace morvane::blackbox
