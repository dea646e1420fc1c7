// One helper launch from the client to exit, against launching a trivial C++ program.
#include <benchmark/benchmark.h>

#include "client/helper_client.h"

namespace {

void run(benchmark::State& state, const char* program, std::vector<std::string> arguments,
         bool on_private_pasteboard = false) {
  morvane::client::Launch launch;
  if (on_private_pasteboard) {
    launch.environment["MORVANE_SIM_PASTEBOARD"] = "/tmp/morvane-launch-bench-pasteboard";
  }
  launch.program = std::string(MORVANE_BIN_DIR) + "/" + program;
  launch.arguments = std::move(arguments);
  launch.request = std::string();
  for (auto _ : state) {
    auto result = morvane::client::run_raw(launch);
    if (!result || result->status < 0) state.SkipWithError("launch failed");
    benchmark::DoNotOptimize(result);
  }
}

void BM_TrivialProgram(benchmark::State& state) { run(state, "trivial_program", {"x"}); }
void BM_HelperUnsupportedOperation(benchmark::State& state) {
  run(state, "morvane_macos_helper", {"no-such-operation"});
}

// A whole clipboard operation: runtime set-up, pool, clear and its ownership check.
void BM_HelperClear(benchmark::State& state) {
  run(state, "morvane_macos_helper", {"clear"}, true);
}

BENCHMARK(BM_TrivialProgram)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_HelperUnsupportedOperation)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_HelperClear)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
