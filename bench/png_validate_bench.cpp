// "validate:png" on PNGs of ~63 and ~32 MiB: the chunk walk's throughput, and the whole check
// (walk plus the platform's full decode) against a bare libspng decode of the same file.
//   png_validate_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// The images are generated at start-up, deterministically: 4096 x 4000 (and 4096 x 2000) RGBA
// noise (so it hardly compresses), every filter type in turn, 8 KiB IDAT chunks as common
// encoders write them. Afterwards it prints the peak heap each step needs beyond the PNG it is
// given, for the larger image.
#include <benchmark/benchmark.h>
#include <spng.h>
#include <zlib.h>

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <random>
#include <vector>

#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/pasteboard_platform.h"

// Heap accounting: every malloc-family call of the process (libspng and zlib allocate with
// malloc) passes through these wrappers, which keep the bytes held and their peak.
namespace heap {
std::atomic<long> live{0};
std::atomic<long> peak{0};
void note(void* p, bool allocated) {
  if (p == nullptr) return;
  const long size = static_cast<long>(malloc_usable_size(p));
  const long now = allocated ? live += size : live -= size;
  long seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
}
}  // namespace heap

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  void* p = __libc_malloc(size);
  heap::note(p, true);
  return p;
}
void* calloc(std::size_t count, std::size_t size) {
  void* p = __libc_calloc(count, size);
  heap::note(p, true);
  return p;
}
void* realloc(void* old, std::size_t size) {
  heap::note(old, false);
  void* p = __libc_realloc(old, size);
  heap::note(p != nullptr ? p : (size != 0 ? old : nullptr), true);
  return p;
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  void* p = __libc_memalign(alignment, size);
  heap::note(p, true);
  return p;
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  *out = __libc_memalign(alignment, size);
  heap::note(*out, true);
  return *out == nullptr ? ENOMEM : 0;
}
void free(void* p) {
  heap::note(p, false);
  __libc_free(p);
}
}

namespace {

using morvane::Bytes;

constexpr std::uint32_t kWidth = 4096;
constexpr std::uint32_t kHeight = 4000;  // ~63 MiB; the benchmarks' argument is the height
constexpr std::size_t kIdatChunk = 8192;

void append_be32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void append_chunk(Bytes& png, const char* type, const std::uint8_t* data, std::size_t size) {
  append_be32(png, static_cast<std::uint32_t>(size));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data, data + size);
  append_be32(png, static_cast<std::uint32_t>(crc32_z(0, png.data() + start, size + 4)));
}

Bytes noisy_rows(std::uint32_t height) {
  const std::size_t stride = std::size_t{kWidth} * 4 + 1;
  Bytes raw(stride * height);
  std::mt19937_64 random(20240601);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = raw.data() + y * stride;
    row[0] = static_cast<std::uint8_t>(y % 5);
    for (std::size_t x = 1; x + 8 <= stride; x += 8) {
      const std::uint64_t v = random();
      std::memcpy(row + x, &v, 8);
    }
  }
  return raw;
}

Bytes make_png(std::uint32_t height) {
  const Bytes raw = noisy_rows(height);
  uLongf size = compressBound(raw.size());
  Bytes zlib(size);
  compress2(zlib.data(), &size, raw.data(), raw.size(), 1);
  Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  append_be32(ihdr, kWidth);
  append_be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  append_chunk(out, "IHDR", ihdr.data(), ihdr.size());
  for (std::size_t at = 0; at < size; at += kIdatChunk) {
    append_chunk(out, "IDAT", zlib.data() + at, std::min<std::size_t>(kIdatChunk, size - at));
  }
  append_chunk(out, "IEND", nullptr, 0);
  return out;
}

const Bytes& test_png(std::uint32_t height = kHeight) {
  static const Bytes large = make_png(kHeight);
  static const Bytes small = make_png(kHeight / 2);
  return height == kHeight ? large : small;
}

const Bytes& png_of(const benchmark::State& state) {
  return test_png(static_cast<std::uint32_t>(state.range(0)));
}

void report(benchmark::State& state, bool ok) {
  if (!ok) state.SkipWithError("the PNG was refused");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * png_of(state).size()));
  state.counters["png_MiB"] = static_cast<double>(png_of(state).size()) / (1 << 20);
}

void BM_ChunkWalk(benchmark::State& state) {
  const Bytes& png = png_of(state);
  bool ok = true;
  for (auto _ : state) ok &= morvane::clipboard_image_io::has_complete_chunk_structure(png);
  report(state, ok);
}

void BM_ValidatePng(benchmark::State& state) {
  const Bytes& png = png_of(state);
  auto& platform = morvane::platform::pasteboard_platform();
  bool ok = true;
  for (auto _ : state) ok &= morvane::clipboard_image_io::is_complete_png(platform, png);
  report(state, ok);
}

// libspng on its own: every row decoded into one row buffer, then the chunks through IEND.
bool bare_decode(const Bytes& png) {
  spng_ctx* context = spng_ctx_new(0);
  std::size_t image_size = 0;
  bool ok = spng_set_png_buffer(context, png.data(), png.size()) == 0 &&
            spng_decoded_image_size(context, SPNG_FMT_PNG, &image_size) == 0 &&
            spng_decode_image(context, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE) == 0;
  spng_ihdr header{};
  ok = ok && spng_get_ihdr(context, &header) == 0;
  std::vector<std::uint8_t> row(ok ? image_size / header.height : 0);
  int result = 0;
  while (ok && (result = spng_decode_row(context, row.data(), row.size())) == 0) {
  }
  ok = ok && result == SPNG_EOI && spng_decode_chunks(context) == 0;
  spng_ctx_free(context);
  return ok;
}

void BM_BareSpngDecode(benchmark::State& state) {
  const Bytes& png = png_of(state);
  bool ok = true;
  for (auto _ : state) ok &= bare_decode(png);
  report(state, ok);
}

// Wall time: the helper's caller waits for it, and nothing here sleeps or blocks.
BENCHMARK(BM_ChunkWalk)->Arg(kHeight)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ValidatePng)
    ->Arg(kHeight)
    ->Arg(kHeight / 2)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();
BENCHMARK(BM_BareSpngDecode)
    ->Arg(kHeight)
    ->Arg(kHeight / 2)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();

// How far one run lifts the bytes held on the heap above what was held before it, in KiB.
long peak_growth_kib(const std::function<bool()>& run) {
  const long baseline = heap::live.load();
  heap::peak = baseline;
  run();
  return (heap::peak.load() - baseline) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Bytes& png = test_png();
  test_png(kHeight / 2);  // both images are made before anything is timed
  benchmark::RunSpecifiedBenchmarks();
  auto& platform = morvane::platform::pasteboard_platform();
  std::printf("PNG %.1f MiB (%ux%u RGBA). Peak heap above what was held before, one run each:\n",
              static_cast<double>(png.size()) / (1 << 20), kWidth, kHeight);
  std::printf("  walk %ld KiB, validate (walk + decode) %ld KiB, bare libspng decode %ld KiB\n",
              peak_growth_kib([&] { return morvane::clipboard_image_io::has_complete_chunk_structure(png); }),
              peak_growth_kib([&] { return morvane::clipboard_image_io::is_complete_png(platform, png); }),
              peak_growth_kib([&] { return bare_decode(png); }));
  benchmark::Shutdown();
  return 0;
}
