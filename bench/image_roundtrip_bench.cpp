// "write:image" then "read:image" of a ~32 MiB PNG through the real programs on the simulated
// pasteboard: wall time and peak resident memory of each helper run, against the PNG's size.
//   image_roundtrip_bench [runs]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "client/helper_client.h"
#include "noisy_png.h"

namespace {

morvane::client::Launch launch_of(std::vector<std::string> args, std::string request,
                                  const std::string& store) {
  // GNU time forks the helper from its own small process: a child spawned directly from this
  // one would count this process's memory (shared until exec) in its peak.
  morvane::client::Launch launch;
  launch.program = "/usr/bin/time";
  args.insert(args.begin(), {"-f", "%M", std::string(MORVANE_BIN_DIR) + "/morvane_macos_helper"});
  launch.arguments = std::move(args);
  launch.request = std::move(request);
  launch.deadline_ms = "60000";
  launch.environment["MORVANE_SIM_PASTEBOARD"] = store;
  return launch;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  const std::string png = morvane::bench::noisy_png(2896, 2896);
  const double mib = png.size() / 1048576.0;
  const std::string store = "/tmp/morvane-bench-pasteboard-" + std::to_string(::getpid());
  std::printf("PNG: %.1f MiB (%zu bytes)\n", mib, png.size());
  for (int run = 0; run < runs; ++run) {
    for (const bool write : {true, false}) {
      auto launch = write ? launch_of({"write:image", "2896", "2896", "1"}, png, store)
                          : launch_of({"read:image"}, "", store);
      const auto start = std::chrono::steady_clock::now();
      auto raw = morvane::client::run_raw(launch);
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (!raw || raw->status != 0) {
        std::printf("%s failed: %s\n", write ? "write" : "read",
                    raw ? raw->output.substr(0, 300).c_str() : raw.error().c_str());
        return 1;
      }
      const auto last_line = raw->error_output.find_last_of('\n', raw->error_output.size() - 2);
      const double rss_mib =
          std::atof(raw->error_output.c_str() + (last_line == std::string::npos ? 0 : last_line + 1)) /
          1024.0;
      std::printf("%-11s %8.1f ms  peak RSS %7.1f MiB = %.2fx the PNG\n",
                  write ? "write:image" : "read:image", ms, rss_mib, rss_mib / mib);
    }
  }
  ::unlink(store.c_str());
  ::unlink((store + ".lock").c_str());
  return 0;
}
