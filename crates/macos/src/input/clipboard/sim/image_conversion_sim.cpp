#include "input/clipboard/sim/image_conversion_sim.h"

#include <spng.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "input/clipboard/sim/shared_library_sim.h"

namespace morvane::sim {

namespace {

// PNG settings chosen for speed: a person waits on a clipboard read, and a larger PNG costs
// less than a slower one. Run-length deflate at level 1 with the Up filter measured the
// fastest of the settings that keep a large image well inside the 64 MiB budget, on photos and
// screenshots alike (image_convert_bench --settings); no compression at all would not fit.
constexpr int kDeflateLevel = 1;
constexpr int kDeflateStrategy = 3;  // Z_RLE
constexpr int kFilterChoice = SPNG_FILTER_CHOICE_UP;

std::uint16_t get16(const std::uint8_t* p, bool little) {
  return little ? std::uint16_t(p[0] | p[1] << 8) : std::uint16_t(p[0] << 8 | p[1]);
}
std::uint32_t get32(const std::uint8_t* p, bool little) {
  return little ? std::uint32_t{get16(p, true)} | std::uint32_t{get16(p + 2, true)} << 16
                : std::uint32_t{get16(p, false)} << 16 | get16(p + 2, false);
}

// ---- libtiff ----

struct Tiff {
  decltype(&TIFFClientOpen) client_open;
  decltype(&TIFFClose) close;
  decltype(&TIFFGetField) get_field;
  decltype(&TIFFGetFieldDefaulted) get_field_defaulted;
  decltype(&TIFFIsTiled) is_tiled;
  decltype(&TIFFNumberOfStrips) number_of_strips;
  decltype(&TIFFReadEncodedStrip) read_encoded_strip;
  decltype(&TIFFRGBAImageOK) rgba_ok;
  decltype(&TIFFRGBAImageBegin) rgba_begin;
  decltype(&TIFFRGBAImageGet) rgba_get;
  decltype(&TIFFRGBAImageEnd) rgba_end;
};

const Tiff& tiff() {
  static const Tiff api = [] {
    const SharedLibrary library(MORVANE_TIFF_SONAME);
#define MORVANE_TIFF_FUNCTION(name) library.function<decltype(&TIFF##name)>("TIFF" #name)
    const Tiff loaded{
        MORVANE_TIFF_FUNCTION(ClientOpen),       MORVANE_TIFF_FUNCTION(Close),
        MORVANE_TIFF_FUNCTION(GetField),         MORVANE_TIFF_FUNCTION(GetFieldDefaulted),
        MORVANE_TIFF_FUNCTION(IsTiled),          MORVANE_TIFF_FUNCTION(NumberOfStrips),
        MORVANE_TIFF_FUNCTION(ReadEncodedStrip), MORVANE_TIFF_FUNCTION(RGBAImageOK),
        MORVANE_TIFF_FUNCTION(RGBAImageBegin),   MORVANE_TIFF_FUNCTION(RGBAImageGet),
        MORVANE_TIFF_FUNCTION(RGBAImageEnd)};
    // The library reports problems on standard error unless told not to; the helper's
    // standard error is part of its contract.
    library.function<decltype(&TIFFSetErrorHandler)>("TIFFSetErrorHandler")(nullptr);
    library.function<decltype(&TIFFSetWarningHandler)>("TIFFSetWarningHandler")(nullptr);
#undef MORVANE_TIFF_FUNCTION
    return loaded;
  }();
  return api;
}

// The bytes as a read-only file that libtiff maps rather than copies.
struct MemoryFile {
  ByteView bytes;
  std::uint64_t position = 0;

  static MemoryFile& of(thandle_t handle) { return *static_cast<MemoryFile*>(handle); }
  static tmsize_t read(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& file = of(handle);
    if (size < 0 || file.position >= file.bytes.size()) return 0;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size),
                                           file.bytes.size() - file.position);
    std::memcpy(buffer, file.bytes.data() + file.position, n);
    file.position += n;
    return static_cast<tmsize_t>(n);
  }
  static tmsize_t write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t seek(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = of(handle);
    const std::uint64_t base = whence == SEEK_CUR   ? file.position
                               : whence == SEEK_END ? file.bytes.size()
                                                    : 0;
    file.position = base + offset;  // past the end reads nothing
    return file.position;
  }
  static int close(thandle_t) { return 0; }
  static toff_t size(thandle_t handle) { return of(handle).bytes.size(); }
  static int map(thandle_t handle, void** base, toff_t* size) {
    *base = const_cast<std::uint8_t*>(of(handle).bytes.data());
    *size = of(handle).bytes.size();
    return 1;
  }
  static void unmap(thandle_t, void*, toff_t) {}
};

struct TiffClose {
  void operator()(TIFF* file) const { tiff().close(file); }
};
using TiffFile = std::unique_ptr<TIFF, TiffClose>;

TiffFile open_tiff(MemoryFile& file) {
  return TiffFile(tiff().client_open("clipboard", "r", &file, &MemoryFile::read, &MemoryFile::write,
                                     &MemoryFile::seek, &MemoryFile::close, &MemoryFile::size,
                                     &MemoryFile::map, &MemoryFile::unmap));
}

std::optional<ImageHeader> header_of(TIFF* tif) {
  std::uint32_t width = 0, height = 0;
  std::uint16_t orientation = ORIENTATION_TOPLEFT, depth = 1;
  if (tiff().get_field(tif, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      tiff().get_field(tif, TIFFTAG_IMAGELENGTH, &height) != 1) {
    return std::nullopt;
  }
  tiff().get_field_defaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  tiff().get_field_defaulted(tif, TIFFTAG_BITSPERSAMPLE, &depth);
  return ImageHeader{width, height, orientation >= 1 && orientation <= 8 ? orientation : 1, depth};
}

std::optional<ImageHeader> tiff_header(ByteView bytes) {
  MemoryFile file{bytes};
  const TiffFile tif = open_tiff(file);
  if (!tif) return std::nullopt;
  return header_of(tif.get());
}

std::unique_ptr<std::uint8_t[]> pixel_buffer(std::size_t row_bytes, std::uint32_t height) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(row_bytes * height);
}

// The layout libtiff's strips already have, for the common ones read as they are (16-bit kept):
// contiguous 8- or 16-bit RGB, RGB with alpha, or grey, in strips.
std::optional<PixelLayout> direct_layout(TIFF* tif) {
  std::uint16_t depth = 0, samples = 0, planar = 0, photometric = 0, format = 0, extras = 0;
  std::uint16_t* extra_types = nullptr;
  const Tiff& t = tiff();
  t.get_field_defaulted(tif, TIFFTAG_BITSPERSAMPLE, &depth);
  t.get_field_defaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  t.get_field_defaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  t.get_field_defaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  t.get_field_defaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &extra_types);
  if (t.get_field(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1 || t.is_tiled(tif) ||
      planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT || (depth != 8 && depth != 16)) {
    return std::nullopt;
  }
  const bool wide = depth == 16;
  if (photometric == PHOTOMETRIC_MINISBLACK && samples == 1) {
    return wide ? PixelLayout::grey16 : PixelLayout::grey8;
  }
  if (photometric != PHOTOMETRIC_RGB) return std::nullopt;
  if (samples == 3 && extras == 0) return wide ? PixelLayout::rgb16 : PixelLayout::rgb8;
  if (samples != 4 || extras != 1) return std::nullopt;
  if (extra_types[0] == EXTRASAMPLE_UNASSALPHA)
    return wide ? PixelLayout::rgba16 : PixelLayout::rgba8;
  if (extra_types[0] == EXTRASAMPLE_ASSOCALPHA) {
    return wide ? PixelLayout::rgba16_premultiplied : PixelLayout::rgba8_premultiplied;
  }
  return std::nullopt;
}

std::size_t bytes_per_pixel(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::grey8:
      return 1;
    case PixelLayout::rgb8:
      return 3;
    case PixelLayout::rgbx8:
    case PixelLayout::rgba8:
    case PixelLayout::rgba8_premultiplied:
    case PixelLayout::cmyk8_inverted:
      return 4;
    case PixelLayout::grey16:
      return 2;
    case PixelLayout::rgb16:
      return 6;
    case PixelLayout::rgba16:
    case PixelLayout::rgba16_premultiplied:
      return 8;
  }
  return 4;
}

// Strip by strip straight into the image; every strip must decode whole.
bool read_strips(TIFF* tif, DecodedImage& image) {
  std::uint32_t rows_per_strip = 0;
  tiff().get_field_defaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (rows_per_strip == 0) return false;
  const std::uint32_t strips = tiff().number_of_strips(tif);
  if (strips != (std::uint64_t{image.height} + rows_per_strip - 1) / rows_per_strip) return false;
  for (std::uint32_t strip = 0; strip < strips; ++strip) {
    const std::uint64_t first_row = std::uint64_t{strip} * rows_per_strip;
    const std::uint64_t rows = std::min<std::uint64_t>(rows_per_strip, image.height - first_row);
    const auto size = static_cast<tmsize_t>(rows * image.row_bytes);
    if (tiff().read_encoded_strip(tif, strip, image.pixels.get() + first_row * image.row_bytes,
                                  size) != size) {
      return false;
    }
  }
  return true;
}

// Every other layout (palette, CMYK, YCbCr, tiles, separate planes, 1 to 4 bits, ...), as 8-bit
// RGBA in stored order: libtiff's own orientation handling is asked for none, so that the
// orientation is applied once, when encoding, as for every other image.
bool read_rgba(TIFF* tif, DecodedImage& image) {
  char message[1024] = {};
  if (tiff().rgba_ok(tif, message) != 1) return false;
  TIFFRGBAImage reader{};
  if (tiff().rgba_begin(&reader, tif, 1, message) != 1) return false;
  reader.req_orientation = reader.orientation;
  const bool alpha = reader.alpha != 0;
  // libtiff premultiplies unassociated alpha of colour images; grey with alpha comes as stored.
  const bool grey =
      reader.photometric == PHOTOMETRIC_MINISBLACK || reader.photometric == PHOTOMETRIC_MINISWHITE;
  const bool premultiplied = reader.alpha == EXTRASAMPLE_ASSOCALPHA || (alpha && !grey);
  image.layout = !alpha          ? PixelLayout::rgbx8
                 : premultiplied ? PixelLayout::rgba8_premultiplied
                                 : PixelLayout::rgba8;
  image.row_bytes = std::size_t{image.width} * 4;
  image.pixels = pixel_buffer(image.row_bytes, image.height);
  const int got = tiff().rgba_get(&reader, reinterpret_cast<std::uint32_t*>(image.pixels.get()),
                                  image.width, image.height);
  tiff().rgba_end(&reader);
  return got == 1;
}

std::optional<DecodedImage> decode_tiff(ByteView bytes) {
  MemoryFile file{bytes};
  const TiffFile tif = open_tiff(file);
  if (!tif) return std::nullopt;
  const auto header = header_of(tif.get());
  if (!header || header->width == 0 || header->height == 0) return std::nullopt;
  DecodedImage image;
  image.width = header->width;
  image.height = header->height;
  image.orientation = header->orientation;
  if (const auto layout = direct_layout(tif.get())) {
    image.layout = *layout;
    image.row_bytes = std::size_t{image.width} * bytes_per_pixel(*layout);
    image.pixels = pixel_buffer(image.row_bytes, image.height);
    if (!read_strips(tif.get(), image)) return std::nullopt;
  } else if (!read_rgba(tif.get(), image)) {
    return std::nullopt;
  }
  return image;
}

// ---- TurboJPEG ----

struct TurboJpeg {
  decltype(&tjInitDecompress) init_decompress;
  decltype(&tjDecompressHeader3) header;
  decltype(&tjDecompress2) decompress;
  decltype(&tjDestroy) destroy;
};

const TurboJpeg& turbojpeg() {
  static const TurboJpeg api = [] {
    const SharedLibrary library(MORVANE_TURBOJPEG_SONAME);
    return TurboJpeg{library.function<decltype(&tjInitDecompress)>("tjInitDecompress"),
                     library.function<decltype(&tjDecompressHeader3)>("tjDecompressHeader3"),
                     library.function<decltype(&tjDecompress2)>("tjDecompress2"),
                     library.function<decltype(&tjDestroy)>("tjDestroy")};
  }();
  return api;
}

struct TjDestroy {
  void operator()(void* handle) const { turbojpeg().destroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDestroy>;

struct JpegFacts {
  int width = 0, height = 0, colourspace = 0;
};

std::optional<JpegFacts> jpeg_facts(void* handle, ByteView bytes) {
  JpegFacts facts;
  int subsampling = 0;
  if (turbojpeg().header(handle, bytes.data(), bytes.size(), &facts.width, &facts.height,
                         &subsampling, &facts.colourspace) != 0 ||
      facts.width <= 0 || facts.height <= 0) {
    return std::nullopt;
  }
  return facts;
}

std::optional<ImageHeader> jpeg_header(ByteView bytes) {
  const TjHandle handle(turbojpeg().init_decompress());
  if (!handle) return std::nullopt;
  const auto facts = jpeg_facts(handle.get(), bytes);
  if (!facts) return std::nullopt;
  return ImageHeader{static_cast<std::uint32_t>(facts->width),
                     static_cast<std::uint32_t>(facts->height), jpeg_exif_orientation(bytes), 8};
}

// A warning (such as data that ends early) fails the decode as an error does.
std::optional<DecodedImage> decode_jpeg(ByteView bytes) {
  const TjHandle handle(turbojpeg().init_decompress());
  if (!handle) return std::nullopt;
  const auto facts = jpeg_facts(handle.get(), bytes);
  if (!facts) return std::nullopt;
  DecodedImage image;
  image.width = static_cast<std::uint32_t>(facts->width);
  image.height = static_cast<std::uint32_t>(facts->height);
  image.orientation = jpeg_exif_orientation(bytes);
  int format = TJPF_RGB;
  image.layout = PixelLayout::rgb8;
  if (facts->colourspace == TJCS_GRAY) {
    format = TJPF_GRAY;
    image.layout = PixelLayout::grey8;
  } else if (facts->colourspace == TJCS_CMYK || facts->colourspace == TJCS_YCCK) {
    format = TJPF_CMYK;
    image.layout = PixelLayout::cmyk8_inverted;
  }
  image.row_bytes = std::size_t{image.width} * bytes_per_pixel(image.layout);
  image.pixels = pixel_buffer(image.row_bytes, image.height);
  if (turbojpeg().decompress(handle.get(), bytes.data(), bytes.size(), image.pixels.get(),
                             facts->width, static_cast<int>(image.row_bytes), facts->height, format,
                             0) != 0) {
    return std::nullopt;
  }
  return image;
}

// The orientation entry (0x0112, one SHORT) of IFD0 of an "Exif\0\0" block; nullopt when the
// block is not EXIF.
std::optional<int> exif_block_orientation(ByteView block) {
  if (block.size() < 6 || std::memcmp(block.data(), "Exif\0\0", 6) != 0) return std::nullopt;
  const ByteView tiff_data = block.subspan(6);
  if (tiff_data.size() < 8) return 1;
  const std::uint8_t* base = tiff_data.data();
  const bool little = base[0] == 'I' && base[1] == 'I';
  if (!little && !(base[0] == 'M' && base[1] == 'M')) return 1;
  if (get16(base + 2, little) != 42) return 1;
  const std::uint64_t ifd = get32(base + 4, little);
  if (ifd > tiff_data.size() - 2) return 1;
  const std::uint16_t entries = get16(base + ifd, little);
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t at = ifd + 2 + 12 * i;
    if (at > tiff_data.size() || tiff_data.size() - at < 12) break;
    if (get16(base + at, little) != 0x0112) continue;
    const std::uint16_t value = get16(base + at + 8, little);
    const bool one_short = get16(base + at + 2, little) == 3 && get32(base + at + 4, little) == 1;
    return one_short && value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

// ---- libspng ----

struct SpngEncoder {
  decltype(&spng_ctx_new) ctx_new;
  decltype(&spng_ctx_free) ctx_free;
  decltype(&spng_set_option) set_option;
  decltype(&spng_set_ihdr) set_ihdr;
  decltype(&spng_encode_image) encode_image;
  decltype(&spng_encode_row) encode_row;
  decltype(&spng_get_png_buffer) get_png_buffer;
};

const SpngEncoder& spng_encoder() {
  static const SpngEncoder api = [] {
    const SharedLibrary library(MORVANE_SPNG_SONAME);
#define MORVANE_SPNG_FUNCTION(name) library.function<decltype(&spng_##name)>("spng_" #name)
    return SpngEncoder{MORVANE_SPNG_FUNCTION(ctx_new),       MORVANE_SPNG_FUNCTION(ctx_free),
                       MORVANE_SPNG_FUNCTION(set_option),    MORVANE_SPNG_FUNCTION(set_ihdr),
                       MORVANE_SPNG_FUNCTION(encode_image),  MORVANE_SPNG_FUNCTION(encode_row),
                       MORVANE_SPNG_FUNCTION(get_png_buffer)};
#undef MORVANE_SPNG_FUNCTION
  }();
  return api;
}

struct SpngFree {
  void operator()(spng_ctx* context) const { spng_encoder().ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngFree>;

struct PngFormat {
  std::uint8_t colour_type;
  std::uint8_t depth;
  std::size_t channels;
};

PngFormat png_format(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::grey8:
      return {SPNG_COLOR_TYPE_GRAYSCALE, 8, 1};
    case PixelLayout::rgb8:
    case PixelLayout::rgbx8:
    case PixelLayout::cmyk8_inverted:
      return {SPNG_COLOR_TYPE_TRUECOLOR, 8, 3};
    case PixelLayout::rgba8:
    case PixelLayout::rgba8_premultiplied:
      return {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 4};
    case PixelLayout::grey16:
      return {SPNG_COLOR_TYPE_GRAYSCALE, 16, 1};
    case PixelLayout::rgb16:
      return {SPNG_COLOR_TYPE_TRUECOLOR, 16, 3};
    case PixelLayout::rgba16:
    case PixelLayout::rgba16_premultiplied:
      return {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16, 4};
  }
  return {SPNG_COLOR_TYPE_TRUECOLOR, 8, 3};
}

bool quarter_turned(int orientation) {
  return orientation >= 5;
}

// Where the pixel that appears at (x, y) is stored, for each TIFF/EXIF orientation.
std::pair<std::uint32_t, std::uint32_t> stored_position(const DecodedImage& image, std::uint32_t x,
                                                        std::uint32_t y) {
  const std::uint32_t w = image.width - 1, h = image.height - 1;
  switch (image.orientation) {
    case 2:
      return {w - x, y};
    case 3:
      return {w - x, h - y};
    case 4:
      return {x, h - y};
    case 5:
      return {y, x};
    case 6:
      return {y, h - x};
    case 7:
      return {w - y, h - x};
    case 8:
      return {w - y, x};
    default:
      return {x, y};
  }
}

std::uint8_t unpremultiply8(std::uint8_t value, std::uint8_t alpha) {
  if (alpha == 0 || alpha == 255) return value;
  return static_cast<std::uint8_t>(std::min(255u, (value * 255u + alpha / 2u) / alpha));
}

std::uint16_t unpremultiply16(std::uint16_t value, std::uint16_t alpha) {
  if (alpha == 0 || alpha == 65535) return value;
  return static_cast<std::uint16_t>(std::min(65535u, (value * 65535u + alpha / 2u) / alpha));
}

template <std::size_t N>
void copy_bytes(const std::uint8_t* from, std::uint8_t* to) {
  std::memcpy(to, from, N);
}

// `count` pixels from `in` on, `step` bytes apart, each made into `Out` bytes at `out`.
template <std::size_t Out, typename Convert>
void map_pixels(const std::uint8_t* in, std::ptrdiff_t step, std::uint32_t count, std::uint8_t* out,
                Convert convert) {
  for (std::uint32_t i = 0; i < count; ++i, in += step, out += Out) convert(in, out);
}

// One output row into `out`, from source pixels `step` bytes apart starting at `in`.
void convert_row(PixelLayout layout, const std::uint8_t* in, std::ptrdiff_t step,
                 std::uint32_t count, std::uint8_t* out) {
  switch (layout) {
    case PixelLayout::grey8:
      return map_pixels<1>(in, step, count, out, copy_bytes<1>);
    case PixelLayout::rgb8:
    case PixelLayout::rgbx8:
      return map_pixels<3>(in, step, count, out, copy_bytes<3>);
    case PixelLayout::rgba8:
      return map_pixels<4>(in, step, count, out, copy_bytes<4>);
    case PixelLayout::grey16:
      return map_pixels<2>(in, step, count, out, copy_bytes<2>);
    case PixelLayout::rgb16:
      return map_pixels<6>(in, step, count, out, copy_bytes<6>);
    case PixelLayout::rgba16:
      return map_pixels<8>(in, step, count, out, copy_bytes<8>);
    case PixelLayout::rgba8_premultiplied:
      return map_pixels<4>(in, step, count, out, [](const std::uint8_t* from, std::uint8_t* to) {
        std::memcpy(to, from, 4);
        // Opaque and clear pixels, most of any image, are the same either way.
        if (from[3] == 255 || from[3] == 0) return;
        for (int c = 0; c < 3; ++c) to[c] = unpremultiply8(from[c], from[3]);
      });
    case PixelLayout::cmyk8_inverted:
      return map_pixels<3>(in, step, count, out, [](const std::uint8_t* from, std::uint8_t* to) {
        for (int c = 0; c < 3; ++c)
          to[c] = static_cast<std::uint8_t>((from[c] * from[3] + 127) / 255);
      });
    case PixelLayout::rgba16_premultiplied:
      return map_pixels<8>(in, step, count, out, [](const std::uint8_t* from, std::uint8_t* to) {
        std::uint16_t pixel[4];
        std::memcpy(pixel, from, 8);
        for (int c = 0; c < 3; ++c) pixel[c] = unpremultiply16(pixel[c], pixel[3]);
        std::memcpy(to, pixel, 8);
      });
  }
}

// Layouts the encoder takes as they are (16-bit samples in the machine's order: the encoder
// writes them big-endian itself).
bool passes_through(PixelLayout layout) {
  return layout == PixelLayout::grey8 || layout == PixelLayout::rgb8 ||
         layout == PixelLayout::rgba8 || layout == PixelLayout::grey16 ||
         layout == PixelLayout::rgb16 || layout == PixelLayout::rgba16;
}

// Row y of the upright image: the stored row itself when nothing needs changing.
const std::uint8_t* upright_row(const DecodedImage& image, std::uint32_t y, std::uint32_t width,
                                std::uint8_t* scratch) {
  const std::size_t pixel = bytes_per_pixel(image.layout);
  const auto address = [&](std::uint32_t x) {
    const auto [sx, sy] = stored_position(image, x, y);
    return image.pixels.get() + std::size_t{sy} * image.row_bytes + std::size_t{sx} * pixel;
  };
  if (image.orientation == 1 && passes_through(image.layout)) return address(0);
  const std::ptrdiff_t step = width > 1 ? address(1) - address(0) : 0;
  convert_row(image.layout, address(0), step, width, scratch);
  return scratch;
}

}  // namespace

std::string converted_image_type(ByteView bytes) {
  if (bytes.size() >= 4 &&
      ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
       (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42) ||
       (bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 43 && bytes[3] == 0) ||
       (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 43))) {
    return "public.tiff";
  }
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
    return "public.jpeg";
  }
  return {};
}

std::optional<ImageHeader> read_image_header(ByteView bytes) {
  const std::string type = converted_image_type(bytes);
  if (type == "public.tiff") return tiff_header(bytes);
  if (type == "public.jpeg") return jpeg_header(bytes);
  return std::nullopt;
}

std::optional<DecodedImage> decode_image(ByteView bytes) {
  const std::string type = converted_image_type(bytes);
  if (type == "public.tiff") return decode_tiff(bytes);
  if (type == "public.jpeg") return decode_jpeg(bytes);
  return std::nullopt;
}

std::optional<EncodedPng> encode_png(const DecodedImage& image) {
  const SpngEncoder& spng = spng_encoder();
  const PngFormat format = png_format(image.layout);
  const bool turned = quarter_turned(image.orientation);
  const std::uint32_t width = turned ? image.height : image.width;
  const std::uint32_t height = turned ? image.width : image.height;
  const std::size_t row_length = std::size_t{width} * format.channels * (format.depth / 8);
  SpngContext context(spng.ctx_new(SPNG_CTX_ENCODER));
  spng_ihdr header{width, height, format.depth, format.colour_type, 0, 0, 0};
  if (!context || spng.set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
      spng.set_option(context.get(), SPNG_IMG_COMPRESSION_LEVEL, kDeflateLevel) != 0 ||
      spng.set_option(context.get(), SPNG_IMG_COMPRESSION_STRATEGY, kDeflateStrategy) != 0 ||
      spng.set_option(context.get(), SPNG_FILTER_CHOICE, kFilterChoice) != 0 ||
      spng.set_ihdr(context.get(), &header) != 0 ||
      spng.encode_image(context.get(), nullptr, 0, SPNG_FMT_PNG,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
    return std::nullopt;
  }
  const auto scratch = std::make_unique_for_overwrite<std::uint8_t[]>(row_length);
  int result = 0;
  for (std::uint32_t y = 0; y < height && result == 0; ++y) {
    result =
        spng.encode_row(context.get(), upright_row(image, y, width, scratch.get()), row_length);
  }
  if (result != SPNG_EOI) return std::nullopt;
  std::size_t length = 0;
  int error = 0;
  void* buffer = spng.get_png_buffer(context.get(), &length, &error);
  if (buffer == nullptr || error != 0) {
    std::free(buffer);
    return std::nullopt;
  }
  std::shared_ptr<const void> keep(buffer, [](const void* p) { std::free(const_cast<void*>(p)); });
  return EncodedPng{std::move(keep), ByteView(static_cast<const std::uint8_t*>(buffer), length)};
}

int jpeg_exif_orientation(ByteView jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return 1;
  std::size_t at = 2;
  while (jpeg.size() - at >= 4) {
    if (jpeg[at] != 0xFF) return 1;
    const std::uint8_t marker = jpeg[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length follows
      at += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return 1;  // image data or the end: no EXIF before it
    const std::size_t length = get16(jpeg.data() + at + 2, false);
    if (length < 2 || length > jpeg.size() - at - 2) return 1;
    if (marker == 0xE1) {
      if (const auto orientation = exif_block_orientation(jpeg.subspan(at + 4, length - 2))) {
        return *orientation;
      }
    }
    at += 2 + length;
  }
  return 1;
}

}  // namespace morvane::sim
