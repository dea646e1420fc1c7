// One helper launch from the client to exit, against launching a trivial C++ program, in wall
// time (the caller waits for it; the launching process itself is mostly idle). The machine may
// be busy: compare rows of one run, alternated,
//   helper_launch_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
// $MORVANE_BENCH_BIN_DIR, when set, names another build's bin folder to launch from.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "client/helper_client.h"

namespace {

constexpr const char* kPasteboard = "/tmp/morvane-launch-bench-pasteboard";

std::string bin_dir() {
  const char* other = std::getenv("MORVANE_BENCH_BIN_DIR");
  return other != nullptr && *other != '\0' ? other : MORVANE_BIN_DIR;
}

morvane::client::Launch launch_of(const char* program, std::vector<std::string> arguments,
                                  bool on_private_pasteboard, std::string request = {}) {
  morvane::client::Launch launch;
  if (on_private_pasteboard) launch.environment["MORVANE_SIM_PASTEBOARD"] = kPasteboard;
  launch.program = bin_dir() + "/" + program;
  launch.arguments = std::move(arguments);
  launch.request = std::move(request);
  return launch;
}

void run(benchmark::State& state, const morvane::client::Launch& launch) {
  for (auto _ : state) {
    auto result = morvane::client::run_raw(launch);
    if (!result || result->status != 0) state.SkipWithError("launch failed");
    benchmark::DoNotOptimize(result);
  }
}

void run(benchmark::State& state, const char* program, std::vector<std::string> arguments,
         bool on_private_pasteboard = false) {
  run(state, launch_of(program, std::move(arguments), on_private_pasteboard));
}

const std::string& kib_of_text() {
  static const std::string text(1024, 'x');
  return text;
}

void BM_TrivialProgram(benchmark::State& state) { run(state, "trivial_program", {"x"}); }
void BM_HelperUnsupportedOperation(benchmark::State& state) {
  morvane::client::Launch launch = launch_of("morvane_macos_helper", {"no-such-operation"}, false);
  for (auto _ : state) {
    auto result = morvane::client::run_raw(launch);
    if (!result || result->status < 0) state.SkipWithError("launch failed");
    benchmark::DoNotOptimize(result);
  }
}

// A whole clipboard operation: runtime set-up, pool, clear and its ownership check.
void BM_HelperClear(benchmark::State& state) {
  run(state, "morvane_macos_helper", {"clear"}, true);
}

// A read of 1 KiB of text: set-up, lookup, access check, the stable read's change counts.
void BM_HelperReadText1KiB(benchmark::State& state) {
  const auto written = morvane::client::run_raw(
      launch_of("morvane_macos_helper", {"write:text"}, true, kib_of_text()));
  if (!written || written->status != 0) state.SkipWithError("could not put text on the pasteboard");
  run(state, "morvane_macos_helper", {"read:text"}, true);
}

// A write of 1 KiB of text: the clear, the write and the read-back that verifies it.
void BM_HelperWriteText1KiB(benchmark::State& state) {
  run(state, launch_of("morvane_macos_helper", {"write:text"}, true, kib_of_text()));
}

BENCHMARK(BM_TrivialProgram)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HelperUnsupportedOperation)
    ->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HelperClear)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HelperReadText1KiB)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_HelperWriteText1KiB)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
