// Peak resident memory of whole helper runs that take a request: the request read from a pipe
// and from a regular file, up to the 64 MiB limit and one byte over it, "validate:png" and
// "write:image" of large PNGs. Each run is one launch; the counters are in MiB:
//   peak         the helper's peak RSS (GNU time's %M)
//   above_launch the peak minus that of a launch whose request is empty
//   per_png      for image runs, the peak divided by the PNG's size
//   text         for the text read, the size of its UTF-8 payload
//   request_memory_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "client/helper_client.h"
#include "noisy_png.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kLimit = 64 * kMiB;

std::string store_path() {
  static const std::string path = "/tmp/morvane-memory-bench-pasteboard-" + std::to_string(::getpid());
  return path;
}

struct Measured {
  int status = -1;
  std::string output;
  double peak_mib = 0;
};

// GNU time forks the helper from its own small process: a child spawned straight from this one
// would count this process's memory (shared until exec) in its peak. With `input_fd` set, the
// helper reads that descriptor, at its current offset, instead of a pipe fed with `request`.
Measured run_helper(std::vector<std::string> arguments, std::string request, int input_fd = -1) {
  morvane::client::Launch launch;
  const std::string helper = std::string(MORVANE_BIN_DIR) + "/morvane_macos_helper";
  if (input_fd < 0) {
    launch.program = "/usr/bin/time";
    arguments.insert(arguments.begin(), {"-f", "%M", helper});
  } else {
    launch.program = "/bin/sh";
    arguments.insert(arguments.begin(),
                     {"-c", "exec /usr/bin/time -f %M \"$@\" 0<&" + std::to_string(input_fd), "sh",
                      helper});
  }
  launch.arguments = std::move(arguments);
  launch.request = std::move(request);
  launch.deadline_ms = "60000";
  launch.environment["MORVANE_SIM_PASTEBOARD"] = store_path();
  auto raw = morvane::client::run_raw(launch);
  if (!raw) return {};
  const std::string& err = raw->error_output;
  const auto last_line = err.size() < 2 ? std::string::npos : err.find_last_of('\n', err.size() - 2);
  const double kib =
      std::atof(err.c_str() + (last_line == std::string::npos ? 0 : last_line + 1));
  return {raw->status, raw->output, kib / 1024.0};
}

double launch_baseline_mib() {
  static const double baseline = run_helper({"validate:png"}, "").peak_mib;
  return baseline;
}

bool header_has(const Measured& run, const char* text) {
  return run.output.find(text) != std::string::npos;
}

void report(benchmark::State& state, const Measured& run, double png_bytes = 0) {
  state.counters["peak"] = run.peak_mib;
  state.counters["above_launch"] = run.peak_mib - launch_baseline_mib();
  if (png_bytes > 0) state.counters["per_png"] = run.peak_mib * kMiB / png_bytes;
}

// A request of `size` zero bytes: "validate:png" refuses it at the header, so the run is the
// request read and nothing else; one byte over the limit is refused as too large.
void BM_RequestFromPipe(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Measured run;
  for (auto _ : state) run = run_helper({"validate:png"}, std::string(size, '\0'));
  const bool refused = header_has(run, size > kLimit ? "exceeds the protocol limit"
                                                     : "failed platform validation");
  if (run.status != 1 || !refused) state.SkipWithError("unexpected response");
  report(state, run);
}

// Text requests land in a string; over a million UTF-16 units they are refused before the
// pasteboard is touched.
void BM_TextRequestFromPipe(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Measured run;
  for (auto _ : state) run = run_helper({"write:text"}, std::string(size, 'a'));
  if (run.status != 1) state.SkipWithError("unexpected response");
  report(state, run);
}

// A regular file of `size` bytes (sparse), read from its start or, with the second argument
// set, from its end: an empty request.
void BM_RequestFromFile(benchmark::State& state) {
  const auto size = static_cast<off_t>(state.range(0));
  const bool at_end = state.range(1) != 0;
  char path[] = "/tmp/morvane-memory-bench-request-XXXXXX";
  const int fd = ::mkstemp(path);
  ::unlink(path);
  if (fd < 0 || ::ftruncate(fd, size) != 0) {
    state.SkipWithError("cannot make the request file");
    return;
  }
  Measured run;
  for (auto _ : state) {
    ::lseek(fd, at_end ? size : 0, SEEK_SET);
    run = run_helper({"validate:png"}, "", fd);
  }
  ::close(fd);
  if (run.status != 1) state.SkipWithError("unexpected response");
  report(state, run);
}

// Noise PNGs of about `mib` MiB, made once each.
const std::string& png_of(std::int64_t mib) {
  static std::map<std::int64_t, std::string> made;
  auto& png = made[mib];
  if (png.empty()) {
    // Four bytes a pixel plus a filter byte a row; 4090 x 4090 stays under the 64 MiB limit.
    const std::map<std::int64_t, std::uint32_t> sides = {{8, 1448}, {16, 2048}, {32, 2896}, {64, 4090}};
    const std::uint32_t side = sides.at(mib);
    png = morvane::bench::noisy_png(side, side);
  }
  return png;
}

std::string side_of(const std::string& png) {
  const auto* p = reinterpret_cast<const unsigned char*>(png.data()) + 16;
  return std::to_string((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                        (std::uint32_t{p[2]} << 8) | p[3]);
}

void BM_ValidatePng(benchmark::State& state) {
  const std::string& png = png_of(state.range(0));
  Measured run;
  for (auto _ : state) run = run_helper({"validate:png"}, png);
  if (run.status != 0) state.SkipWithError("the PNG was refused");
  report(state, run, static_cast<double>(png.size()));
  // The bound it is held to: 1.2 N + 20 MiB.
  state.counters["bound"] = 1.2 * static_cast<double>(png.size()) / kMiB + 20;
}

void BM_WriteImage(benchmark::State& state) {
  const std::string& png = png_of(state.range(0));
  const std::string side = side_of(png);
  Measured run;
  for (auto _ : state) run = run_helper({"write:image", side, side, "1"}, png);
  if (run.status != 0) state.SkipWithError(run.output.substr(0, 300).c_str());
  report(state, run, static_cast<double>(png.size()));
}

// After the write of the same size, which left the image on the pasteboard.
void BM_ReadImage(benchmark::State& state) {
  const std::string& png = png_of(state.range(0));
  Measured run;
  for (auto _ : state) run = run_helper({"read:image"}, "");
  if (run.status != 0 || !header_has(run, "\"kind\":\"image\"")) {
    state.SkipWithError("no image read back");
  }
  report(state, run, static_cast<double>(png.size()));
}

// A text at the million-unit budget, three UTF-8 bytes a unit: the UTF-8 text the platform
// converts is the response payload, with no copy of it in between.
void BM_ReadText(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 1'000'000; ++i) text += "\xe6\x97\xa5";
  if (run_helper({"write:text"}, text).status != 0) {
    state.SkipWithError("cannot write the text");
    return;
  }
  Measured run;
  for (auto _ : state) run = run_helper({"read:text"}, "");
  if (run.status != 0 || run.output.size() < text.size()) state.SkipWithError("no text read back");
  report(state, run);
  state.counters["text"] = static_cast<double>(text.size()) / kMiB;
}

constexpr std::int64_t kLimitBytes = static_cast<std::int64_t>(kLimit);

BENCHMARK(BM_RequestFromPipe)
    ->Arg(0)->Arg(1 << 20)->Arg(32 << 20)->Arg(kLimitBytes)->Arg(kLimitBytes + 1)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TextRequestFromPipe)
    ->Arg(32 << 20)->Arg(kLimitBytes)->Arg(kLimitBytes + 1)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RequestFromFile)
    ->Args({kLimitBytes, 0})->Args({kLimitBytes + 1, 0})->Args({std::int64_t{1} << 30, 1})
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ValidatePng)->Arg(32)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteImage)->Arg(16)->Arg(32)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadImage)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadText)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("launch baseline (empty validate:png request): %.1f MiB peak RSS\n",
              launch_baseline_mib());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* suffix : {"", ".lock", ".tmp"}) ::unlink((store_path() + suffix).c_str());
  return 0;
}
