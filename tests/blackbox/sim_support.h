#pragma once

// A private simulated pasteboard for one test, and the two programs that act on it: the helper
// (through the host-side client) and sim_pasteboard (playing another application).

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/helper_client.h"
#include "helper_paths.h"

namespace morvane::blackbox {

class SimPasteboard {
 public:
  SimPasteboard() {
    static int counter = 0;
    store_ = std::filesystem::temp_directory_path() /
             ("morvane-test-pb-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
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
    launch.program = bin("sim_pasteboard");
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

inline std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace morvane::blackbox
