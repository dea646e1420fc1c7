// Images copied as TIFF or JPEG only, read as PNG: "read:image" through the real helper on the
// simulated pasteboard against a floor of the same library calls in this process (decode,
// then encode at the helper's PNG settings), side by side in one run, with the helper's peak
// memory against source + one decoded image + PNG + 32 MiB.
//   image_convert_bench [runs]        the two images, best of `runs` (default 5)
//   image_convert_bench --settings    the floor's encode at several deflate levels and filters
// The images are made here: a 3840 x 2160 RGBA screenshot-like TIFF (LZW) and a 4032 x 3024
// photo-like JPEG.
#include <spng.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "client/helper_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using Pixels = std::vector<std::uint8_t>;

// The helper's settings (sim/image_conversion_sim.cpp).
constexpr int kLevel = 1;
constexpr int kStrategy = 3;  // Z_RLE
constexpr int kFilter = SPNG_FILTER_CHOICE_UP;

std::uint32_t g_seed = 12345;
std::uint32_t next_random() {
  return g_seed = g_seed * 1664525u + 1013904223u;
}

// Flat panels and gradients with some text-like noise, as a screen is.
Pixels screenshot(std::uint32_t width, std::uint32_t height) {
  Pixels rgba(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &rgba[(std::size_t{y} * width + x) * 4];
      const bool panel = (x / 640 + y / 360) % 2 == 0;
      const bool text = (y % 24 < 14) && (x % 480 < 400) && (next_random() >> 28) < 5;
      p[0] = text ? 20 : panel ? 236 : std::uint8_t(x * 255 / width);
      p[1] = text ? 20 : panel ? 238 : std::uint8_t(y * 255 / height);
      p[2] = text ? 30 : panel ? 242 : 160;
      p[3] = (x < 8 || y < 8) ? 0 : 255;  // a transparent edge, as a window shot has
    }
  }
  return rgba;
}

// Smooth light with sensor noise, as a photo is.
Pixels photo(std::uint32_t width, std::uint32_t height) {
  Pixels rgb(std::size_t{width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &rgb[(std::size_t{y} * width + x) * 3];
      const int noise = int(next_random() >> 29) - 4;
      p[0] = std::uint8_t(std::clamp(int(x * 200 / width) + 30 + noise, 0, 255));
      p[1] = std::uint8_t(std::clamp(int(y * 180 / height) + 40 + noise, 0, 255));
      p[2] = std::uint8_t(std::clamp(int((x + y) * 120 / (width + height)) + 60 + noise, 0, 255));
    }
  }
  return rgb;
}

std::string tiff_file(const Pixels& rgba, std::uint32_t width, std::uint32_t height,
                      const std::string& path, std::uint16_t alpha) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha);
  for (std::uint32_t y = 0; y < height; ++y) {
    TIFFWriteScanline(tif, const_cast<std::uint8_t*>(&rgba[std::size_t{y} * width * 4]), y, 0);
  }
  TIFFClose(tif);
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string jpeg_file(const Pixels& rgb, std::uint32_t width, std::uint32_t height,
                      const std::string& path) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  tjCompress2(handle, rgb.data(), int(width), 0, int(height), TJPF_RGB, &jpeg, &size, TJSAMP_420,
              92, 0);
  std::string bytes(reinterpret_cast<char*>(jpeg), size);
  tjFree(jpeg);
  tjDestroy(handle);
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}

// ---- the floor: the same library calls, in this process ----

struct Memory {
  const std::string* bytes;
  std::uint64_t position = 0;
};

tmsize_t mem_read(thandle_t h, void* buffer, tmsize_t size) {
  auto* m = static_cast<Memory*>(h);
  const auto n = std::min<std::uint64_t>(
      size, m->bytes->size() - std::min<std::uint64_t>(m->position, m->bytes->size()));
  std::memcpy(buffer, m->bytes->data() + m->position, n);
  m->position += n;
  return tmsize_t(n);
}
tmsize_t mem_write(thandle_t, void*, tmsize_t) {
  return -1;
}
toff_t mem_seek(thandle_t h, toff_t offset, int whence) {
  auto* m = static_cast<Memory*>(h);
  m->position = (whence == SEEK_CUR   ? m->position
                 : whence == SEEK_END ? m->bytes->size()
                                      : 0) +
                offset;
  return m->position;
}
int mem_close(thandle_t) {
  return 0;
}
toff_t mem_size(thandle_t h) {
  return static_cast<Memory*>(h)->bytes->size();
}
int mem_map(thandle_t h, void** base, toff_t* size) {
  auto* m = static_cast<Memory*>(h);
  *base = const_cast<char*>(m->bytes->data());
  *size = m->bytes->size();
  return 1;
}
void mem_unmap(thandle_t, void*, toff_t) {}

struct Decoded {
  Pixels pixels;
  std::uint32_t width = 0, height = 0;
  int channels = 0;
};

Decoded decode_tiff(const std::string& bytes) {
  Memory memory{&bytes};
  TIFF* tif = TIFFClientOpen("floor", "r", &memory, mem_read, mem_write, mem_seek, mem_close,
                             mem_size, mem_map, mem_unmap);
  Decoded d;
  std::uint32_t rows_per_strip = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &d.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &d.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  d.channels = 4;
  const std::size_t row = std::size_t{d.width} * 4;
  d.pixels.resize(row * d.height);
  for (std::uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
    const std::size_t first = std::size_t{s} * rows_per_strip;
    const std::size_t rows = std::min<std::size_t>(rows_per_strip, d.height - first);
    TIFFReadEncodedStrip(tif, s, d.pixels.data() + first * row, tmsize_t(rows * row));
  }
  TIFFClose(tif);
  return d;
}

Decoded decode_jpeg(const std::string& bytes) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  tjDecompressHeader3(handle, data, bytes.size(), &width, &height, &subsampling, &colourspace);
  Decoded d{Pixels(std::size_t(width) * height * 3), std::uint32_t(width), std::uint32_t(height),
            3};
  tjDecompress2(handle, data, bytes.size(), d.pixels.data(), width, width * 3, height, TJPF_RGB, 0);
  tjDestroy(handle);
  return d;
}

std::size_t encode_png(const Decoded& d, int level, int filter, int strategy = -1) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  if (strategy >= 0) spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, strategy);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, level);
  spng_set_option(ctx, SPNG_FILTER_CHOICE, filter);
  spng_ihdr ihdr{
      d.width,
      d.height,
      8,
      std::uint8_t(d.channels == 4 ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR),
      0,
      0,
      0};
  spng_set_ihdr(ctx, &ihdr);
  spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
  const std::size_t row = std::size_t{d.width} * d.channels;
  for (std::uint32_t y = 0; y < d.height; ++y) spng_encode_row(ctx, d.pixels.data() + y * row, row);
  std::size_t length = 0;
  int error = 0;
  void* png = spng_get_png_buffer(ctx, &length, &error);
  std::free(png);
  spng_ctx_free(ctx);
  return length;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- the helper ----

struct HelperRun {
  double ms = 0;
  double rss_mib = 0;
  std::size_t png_bytes = 0;
};

std::optional<HelperRun> helper_read(const std::string& store) {
  morvane::client::Launch launch;
  launch.program = "/usr/bin/time";  // forks the helper from its own small process
  launch.arguments = {"-f", "%M", std::string(MORVANE_BIN_DIR) + "/morvane_macos_helper",
                      "read:image"};
  launch.request = std::string();
  launch.deadline_ms = "60000";
  launch.environment["MORVANE_SIM_PASTEBOARD"] = store;
  const auto start = Clock::now();
  auto raw = morvane::client::run_raw(launch);
  const double ms = ms_since(start);
  if (!raw || raw->status != 0) {
    std::printf("read:image failed: %s\n",
                raw ? raw->output.substr(0, 300).c_str() : raw.error().c_str());
    return std::nullopt;
  }
  const auto last = raw->error_output.find_last_of('\n', raw->error_output.size() - 2);
  const double rss =
      std::atof(raw->error_output.c_str() + (last == std::string::npos ? 0 : last + 1));
  const std::size_t header_end = raw->output.find('\n');
  return HelperRun{ms, rss / 1024.0, raw->output.size() - header_end - 1};
}

bool plant(const std::string& store, const char* type, const std::string& path) {
  const std::string command = std::string(MORVANE_BIN_DIR) + "/sim_pasteboard write --data " +
                              type + " " + path + " > /dev/null";
  return ::setenv("MORVANE_SIM_PASTEBOARD", store.c_str(), 1) == 0 &&
         std::system(command.c_str()) == 0;
}

struct Case {
  const char* name;
  const char* type;
  std::string path;
  std::string bytes;
  std::function<Decoded(const std::string&)> decode;
  int bytes_per_pixel;  // the decoded image the memory budget allows
};

// 1 when the helper is over either limit.
int compare(const Case& c, const std::string& store, int runs) {
  if (!plant(store, c.type, c.path)) return 1;
  double floor_ms = 1e9, helper_ms = 1e9, rss = 0;
  std::size_t png = 0, pixels = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    const Decoded d = c.decode(c.bytes);
    png = encode_png(d, kLevel, kFilter, kStrategy);
    floor_ms = std::min(floor_ms, ms_since(start));
    pixels = std::size_t{d.width} * d.height;
    const auto helper = helper_read(store);
    if (!helper) return 1;
    helper_ms = std::min(helper_ms, helper->ms);
    rss = std::max(rss, helper->rss_mib);
  }
  const double mib = 1048576.0;
  const double budget = (c.bytes.size() + pixels * c.bytes_per_pixel + png) / mib + 32;
  const bool within = rss <= budget && helper_ms <= 1.2 * floor_ms;
  std::printf(
      "%-18s source %4.1f MiB  PNG %4.1f MiB | floor %6.1f ms  helper %6.1f ms = %.2fx"
      " (limit 1.20x) | peak RSS %5.1f MiB, budget %5.1f MiB %s\n",
      c.name, c.bytes.size() / mib, png / mib, floor_ms, helper_ms, helper_ms / floor_ms, rss,
      budget, within ? "ok" : "OVER");
  return within ? 0 : 1;
}

void settings(const std::vector<Case>& cases) {
  const std::pair<const char*, int> filters[] = {{"none", SPNG_FILTER_CHOICE_NONE},
                                                 {"sub", SPNG_FILTER_CHOICE_SUB},
                                                 {"up", SPNG_FILTER_CHOICE_UP},
                                                 {"paeth", SPNG_FILTER_CHOICE_PAETH},
                                                 {"all", SPNG_FILTER_CHOICE_ALL}};
  for (const Case& c : cases) {
    const Decoded d = c.decode(c.bytes);
    // zlib's strategies: 1 filtered (libspng's default for images), 3 run-length only.
    for (const int strategy : {1, 3}) {
      for (const int level : {0, 1, 2, 3, 6}) {
        for (const auto& [name, filter] : filters) {
          if (strategy == 3 && level != 1) continue;
          double best = 1e9;
          std::size_t size = 0;
          for (int run = 0; run < 3; ++run) {
            const auto start = Clock::now();
            size = encode_png(d, level, filter, strategy);
            best = std::min(best, ms_since(start));
          }
          std::printf("%-18s strategy %d level %d filter %-5s  encode %7.1f ms  PNG %6.1f MiB\n",
                      c.name, strategy, level, name, best, size / 1048576.0);
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = "/tmp/morvane-convert-bench-" + std::to_string(::getpid());
  const std::string store = base + ".store";
  TIFFSetWarningHandler(nullptr);
  std::vector<Case> cases;
  const Pixels screen = screenshot(3840, 2160);
  // Unassociated alpha, and associated (premultiplied) alpha as AppKit writes an NSImage.
  cases.push_back({"TIFF", "public.tiff", base + ".tif",
                   tiff_file(screen, 3840, 2160, base + ".tif", EXTRASAMPLE_UNASSALPHA),
                   decode_tiff, 4});
  cases.push_back(
      {"TIFF premultiplied", "public.tiff", base + "-premultiplied.tif",
       tiff_file(screen, 3840, 2160, base + "-premultiplied.tif", EXTRASAMPLE_ASSOCALPHA),
       decode_tiff, 4});
  cases.push_back({"JPEG", "public.jpeg", base + ".jpg",
                   jpeg_file(photo(4032, 3024), 4032, 3024, base + ".jpg"), decode_jpeg, 4});
  int status = 0;
  if (argc > 1 && std::string(argv[1]) == "--settings") {
    settings(cases);
  } else {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("PNG settings: deflate level %d, run-length strategy, filter up\n", kLevel);
    for (const Case& c : cases) status |= compare(c, store, runs);
  }
  for (const Case& c : cases) ::unlink(c.path.c_str());
  for (const std::string& path : {store, store + ".lock"}) ::unlink(path.c_str());
  return status;
}
