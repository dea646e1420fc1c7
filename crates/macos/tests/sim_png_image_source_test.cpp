// The stand-in's image source: the type, count and status it reports, and the thumbnail step
// as a complete decode that refuses every damaged file of PngSuite.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "input/clipboard/sim/png_image_source_sim.h"
#include "support/test_data.h"

namespace morvane::sim {
namespace {

const std::filesystem::path kSuite = testing::png_suite();

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void append_be32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

Bytes chunk(std::string_view type, const Bytes& data = {}) {
  Bytes out;
  append_be32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  append_be32(out, static_cast<std::uint32_t>(crc32_z(0, out.data() + 4, out.size() - 4)));
  return out;
}

// An 8-bit greyscale image of the given size, each row filter 0.
Bytes grey_png(std::uint32_t width, std::uint32_t height, const std::vector<Bytes>& before_idat = {},
               const std::vector<Bytes>& after_idat = {}) {
  Bytes header;
  append_be32(header, width);
  append_be32(header, height);
  header.insert(header.end(), {8, 0, 0, 0, 0});
  Bytes raw;
  for (std::uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (std::uint32_t x = 0; x < width; ++x) raw.push_back(static_cast<std::uint8_t>(x ^ y));
  }
  Bytes compressed(compressBound(raw.size()));
  uLongf size = compressed.size();
  compress(compressed.data(), &size, raw.data(), raw.size());
  compressed.resize(size);

  Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto add = [&png](const Bytes& c) { png.insert(png.end(), c.begin(), c.end()); };
  add(chunk("IHDR", header));
  for (const Bytes& c : before_idat) add(c);
  add(chunk("IDAT", compressed));
  for (const Bytes& c : after_idat) add(c);
  add(chunk("IEND"));
  return png;
}

TEST(SimPngImageSourceTest, PngSuiteDecodesExactlyTheIntactImages) {
  ASSERT_TRUE(std::filesystem::is_directory(kSuite)) << kSuite;
  int intact = 0, damaged = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSuite)) {
    if (entry.path().extension() != ".png") continue;
    const std::string name = entry.path().filename().string();
    const Bytes png = read_file(entry.path());
    const bool expect_intact = name[0] != 'x';
    EXPECT_EQ(decode_png_completely(png), expect_intact) << name;
    if (expect_intact) {
      const ImageSourceFacts facts = inspect_image_data(png);
      EXPECT_EQ(facts.type, "public.png") << name;
      EXPECT_EQ(facts.count, 1u) << name;
      EXPECT_EQ(facts.status, 0) << name;
    }
    ++(expect_intact ? intact : damaged);
  }
  EXPECT_GT(intact, 100);
  EXPECT_GT(damaged, 5);
}

TEST(SimPngImageSourceTest, EveryChecksumIsChecked) {
  const Bytes text = chunk("tEXt", Bytes{'k', 0, 'v'});
  const Bytes good = grey_png(17, 5, {}, {text});
  ASSERT_TRUE(decode_png_completely(good));

  auto flip = [](Bytes png, std::size_t at) {
    png[at] ^= 0x01;
    return png;
  };
  const std::size_t end = good.size();
  const std::size_t iend_crc = end - 1;
  const std::size_t text_crc = end - 12 - 1;
  const std::size_t idat_end = end - 12 - text.size();
  const std::size_t adler_last_byte = idat_end - 4 - 1;  // the zlib stream ends with Adler-32
  const std::size_t ihdr_crc = 8 + 8 + 13 + 3;

  struct Case {
    const char* what;
    Bytes png;
  };
  Bytes adler = flip(good, adler_last_byte);
  // Keep the chunk CRC right so that only the zlib checksum is wrong.
  {
    const std::size_t idat_start = 8 + 25;
    const std::uint32_t length = (adler[idat_start] << 24) | (adler[idat_start + 1] << 16) |
                                 (adler[idat_start + 2] << 8) | adler[idat_start + 3];
    const auto crc = crc32_z(0, adler.data() + idat_start + 4, length + 4);
    for (int i = 0; i < 4; ++i) {
      adler[idat_start + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
  }
  const Case cases[] = {
      {"IHDR CRC", flip(good, ihdr_crc)},
      {"ancillary CRC after the image data", flip(good, text_crc)},
      {"IEND CRC", flip(good, iend_crc)},
      {"zlib checksum", adler},
      {"truncated before IEND", Bytes(good.begin(), good.end() - 12)},
      {"truncated image data", Bytes(good.begin(), good.begin() + static_cast<long>(idat_end) - 10)},
      {"no signature", Bytes(good.begin() + 1, good.end())},
      {"empty", Bytes{}},
  };
  for (const Case& c : cases) EXPECT_FALSE(decode_png_completely(c.png)) << c.what;
}

// The data of the `index`th chunk of a kind the decoder would keep: each with a name of its
// own, as text keywords and palette names may repeat but need not.
Bytes kept_chunk_data(std::string_view type, int index) {
  const std::string name = "k" + std::to_string(index);
  Bytes data(name.begin(), name.end());
  data.push_back(0);
  if (type == "tEXt") {
    data.push_back('v');
  } else if (type == "zTXt") {
    data.push_back(0);  // deflate
    const std::uint8_t text[] = {'v'};
    Bytes compressed(compressBound(sizeof text));
    uLongf size = compressed.size();
    compress(compressed.data(), &size, text, sizeof text);
    data.insert(data.end(), compressed.begin(), compressed.begin() + static_cast<long>(size));
  } else if (type == "iTXt") {
    data.insert(data.end(), {0, 0, 0, 0, 'v'});  // uncompressed, no language, no translation
  } else {
    data.insert(data.end(), {8, 10, 20, 30, 255, 0, 1});  // sPLT: 8-bit, one entry
  }
  return data;
}

// The decoder keeps no count and no size of its own on text and palette chunks: 1000, 1001 and
// as many as the chunk walk admits (65,536 chunks in all) decode; so does one text chunk that
// fills a 64 MiB file. A wrong CRC on any of them still fails.
TEST(SimPngImageSourceTest, TextAndPaletteChunksAreNotLimited) {
  for (const std::string_view type : {"tEXt", "zTXt", "iTXt", "sPLT"}) {
    for (const int count : {1000, 1001, 65'536 - 3}) {
      std::vector<Bytes> chunks;
      chunks.reserve(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) chunks.push_back(chunk(type, kept_chunk_data(type, i)));
      Bytes png = grey_png(3, 2, chunks);
      EXPECT_TRUE(decode_png_completely(png)) << type << " x" << count;
      std::size_t middle_end = 8 + 25;  // after the signature and IHDR
      for (int i = 0; i <= count / 2; ++i) middle_end += chunks[static_cast<std::size_t>(i)].size();
      png[middle_end - 1] ^= 0x01;  // the last byte of the middle chunk's CRC
      EXPECT_FALSE(decode_png_completely(png)) << type << " x" << count << " with a bad CRC";
    }
  }
  for (const std::string_view type : {"tEXt", "iTXt"}) {
    const Bytes small = grey_png(3, 2, {chunk(type, kept_chunk_data(type, 0))});
    Bytes data = kept_chunk_data(type, 0);
    data.resize(data.size() + (64u << 20) - small.size(), 'x');
    Bytes png = grey_png(3, 2, {chunk(type, data)});
    ASSERT_EQ(png.size(), 64u << 20);
    EXPECT_TRUE(decode_png_completely(png)) << type << " of 64 MiB";
    png[8 + 25 + 12 + data.size() - 1] ^= 0x01;  // its last CRC byte
    EXPECT_FALSE(decode_png_completely(png)) << type << " of 64 MiB with a bad CRC";
  }
}

TEST(SimPngImageSourceTest, TypeCountAndStatus) {
  Bytes actl;
  append_be32(actl, 3);  // frames
  append_be32(actl, 0);  // plays
  struct Case {
    const char* what;
    Bytes data;
    std::string type;
    std::size_t count;
    int status;
  };
  const Case cases[] = {
      {"still image", grey_png(2, 2), "public.png", 1, 0},
      {"animated image", grey_png(2, 2, {chunk("acTL", actl)}), "public.png", 3, 0},
      {"acTL after the image data counts for nothing", grey_png(2, 2, {}, {chunk("acTL", actl)}),
       "public.png", 1, 0},
      {"signature alone", Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "public.png", 1, 0},
      {"JPEG", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10}, "", 0, kImageStatusUnknownType},
      {"empty", Bytes{}, "", 0, kImageStatusUnknownType},
  };
  for (const Case& c : cases) {
    const ImageSourceFacts facts = inspect_image_data(c.data);
    EXPECT_EQ(facts.type, c.type) << c.what;
    EXPECT_EQ(facts.count, c.count) << c.what;
    EXPECT_EQ(facts.status, c.status) << c.what;
  }
}

}  // namespace
}  // namespace morvane::sim
