// PngSuite through the real helper: every valid image planted by another application comes back
// byte for byte with its dimensions, and every broken one is refused for its own defect.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <array>
#include <map>

#include "sim_support.h"
#include "support/test_data.h"

namespace morvane::blackbox {
namespace {

using client::call;

const std::filesystem::path kSuite = testing::png_suite();

std::vector<std::filesystem::path> suite_images(bool broken) {
  std::vector<std::filesystem::path> images;
  for (const auto& entry : std::filesystem::directory_iterator(kSuite)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".png" && name.starts_with("x") == broken) {
      images.push_back(entry.path());
    }
  }
  std::sort(images.begin(), images.end());
  return images;
}

std::uint32_t be32_at(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + 4; ++i) value = (value << 8) | std::uint8_t(bytes[i]);
  return value;
}

TEST(ReadImageBlackBoxTest, EveryValidSuiteImageIsReadBackExactly) {
  const auto images = suite_images(false);
  ASSERT_GT(images.size(), 150u);
  SimPasteboard pb;
  for (const auto& path : images) {
    const std::string name = path.filename().string();
    const std::string png = file_bytes(path);
    ASSERT_EQ(pb.tool({"write", "--png", path.string()}).status, 0) << name;

    auto read = call(pb.helper({"read:image"}));
    ASSERT_TRUE(read) << name << ": " << read.error();
    ASSERT_EQ(read->status, 0) << name << ": " << read->header_text;
    const nlohmann::json metadata = {
        {"height", be32_at(png, 20)}, {"kind", "image"}, {"width", be32_at(png, 16)}};
    EXPECT_EQ(read->header["metadata"], metadata) << name;
    EXPECT_TRUE(read->payload == png) << name;

    auto validated = call(pb.helper({"validate:png"}, png));
    ASSERT_TRUE(validated) << name << ": " << validated.error();
    EXPECT_EQ(validated->status, 0) << name << ": " << validated->header_text;
    EXPECT_EQ(validated->header["metadata"].dump(), R"({"kind":"none"})") << name;
  }
}

TEST(ReadImageBlackBoxTest, EveryBrokenSuiteImageIsRefusedForItsDefect) {
  const std::string header = "Clipboard image is missing a valid PNG header";
  const std::string fields = "Clipboard PNG payload failed complete validation";
  const std::string platform = "Clipboard PNG failed platform validation";
  const std::map<std::string, std::string> read_message = {
      {"xc1n0g08.png", fields},    // colour type 1
      {"xc9n2c08.png", fields},    // colour type 9
      {"xcrn0g04.png", header},    // line ends rewritten: signature damaged
      {"xcsn0g01.png", platform},  // IDAT checksum
      {"xd0n2c08.png", fields},    // bit depth 0
      {"xd3n2c08.png", fields},    // bit depth 3
      {"xd9n2c08.png", fields},    // bit depth 99
      {"xdtn0g01.png", platform},  // no IDAT
      {"xhdn0g08.png", platform},  // IHDR checksum
      {"xlfn0g04.png", header},    // line ends rewritten: signature damaged
      {"xs1n0g01.png", header},    // signature byte 1
      {"xs2n0g01.png", header},    // signature byte 2
      {"xs4n0g01.png", header},    // signature byte 4
      {"xs7n0g01.png", header},    // signature byte 7
  };
  const auto images = suite_images(true);
  ASSERT_EQ(images.size(), read_message.size());
  SimPasteboard pb;
  for (const auto& path : images) {
    const std::string name = path.filename().string();
    const std::string png = file_bytes(path);
    ASSERT_EQ(pb.tool({"write", "--png", path.string()}).status, 0) << name;

    auto read = call(pb.helper({"read:image"}));
    ASSERT_TRUE(read) << name << ": " << read.error();
    EXPECT_EQ(read->status, 1) << name;
    EXPECT_EQ(read->header["error_code"], "ACTION_FAILED") << name;
    EXPECT_EQ(read->header["message"], read_message.at(name)) << name;
    EXPECT_EQ(read->payload, "") << name;

    auto validated = call(pb.helper({"validate:png"}, png));
    ASSERT_TRUE(validated) << name << ": " << validated.error();
    EXPECT_EQ(validated->status, 1) << name;
    EXPECT_EQ(validated->header["error_code"], "INVALID_ARGS") << name;
    EXPECT_EQ(validated->header["message"], platform) << name;
    EXPECT_EQ(validated->header["disposition"].dump(), R"({"delivery":"unknown","retry":"unknown"})")
        << name;
  }
}

std::string be32(std::uint32_t value) {
  return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string png_chunk(std::string_view type, std::string_view data) {
  std::string typed = std::string(type) + std::string(data);
  const auto crc = crc32_z(0, reinterpret_cast<const Bytef*>(typed.data()), typed.size());
  return be32(static_cast<std::uint32_t>(data.size())) + typed + be32(static_cast<std::uint32_t>(crc));
}

// A 3x2 greyscale PNG with the given chunks between its header and its image data.
std::string png_with(const std::vector<std::string>& chunks) {
  const std::uint8_t rows[] = {0, 1, 2, 3, 0, 4, 5, 6};
  std::string compressed(compressBound(sizeof rows), '\0');
  uLongf size = compressed.size();
  compress(reinterpret_cast<Bytef*>(compressed.data()), &size, rows, sizeof rows);
  compressed.resize(size);
  std::string png = "\x89PNG\r\n\x1a\n" +
                    png_chunk("IHDR", be32(3) + be32(2) + std::string("\x08\0\0\0\0", 5));
  for (const auto& chunk : chunks) png += chunk;
  return png + png_chunk("IDAT", compressed) + png_chunk("IEND", "");
}

// The `index`th text or suggested-palette chunk of a kind, each with a name of its own.
std::string kept_chunk(std::string_view type, int index) {
  std::string data = "k" + std::to_string(index) + '\0';
  if (type == "tEXt") data += "v";
  if (type == "zTXt") data += std::string("\0\x78\x9c\x2b\x03\x00\x00\x77\x00\x77", 10);  // "v"
  if (type == "iTXt") data += std::string("\0\0\0\0v", 5);
  if (type == "sPLT") data += std::string("\x08\x0a\x14\x1e\xff\x00\x01", 7);
  return png_chunk(type, data);
}

// An image that ImageIO accepts is accepted by every operation that checks one, however many
// text or suggested-palette chunks it holds (up to the chunk walk's 65,536 chunks in all) and
// however large its text (one chunk filling the whole 64 MiB request); the same image with one
// wrong CRC among those chunks is refused by all of them.
TEST(ReadImageBlackBoxTest, TextAndPaletteChunksDoNotLimitAnImage) {
  struct Row {
    std::string name;
    std::string png;
    std::size_t crc_at;  // the last byte of one of those chunks' CRC
  };
  std::vector<Row> rows;
  for (const std::string_view type : {"tEXt", "zTXt", "iTXt", "sPLT"}) {
    for (const int count : {1001, 65'536 - 3}) {
      std::vector<std::string> chunks;
      std::size_t crc_at = 8 + 25 - 1;
      for (int i = 0; i < count; ++i) {
        chunks.push_back(kept_chunk(type, i));
        if (i <= count / 2) crc_at += chunks.back().size();
      }
      rows.push_back({std::string(type) + " x" + std::to_string(count), png_with(chunks), crc_at});
    }
  }
  const std::size_t fill = (64u << 20) - png_with({png_chunk("tEXt", "big")}).size();
  rows.push_back({"tEXt of 64 MiB", png_with({png_chunk("tEXt", "big" + std::string(fill, 'x'))}),
                  8 + 25 + 12 + 3 + fill - 1});
  ASSERT_EQ(rows.back().png.size(), 64u << 20);

  SimPasteboard pb;
  const std::string planted = pb.store().string() + ".png";
  const std::string platform = "Clipboard PNG failed platform validation";
  for (auto& row : rows) {
    auto validated = call(pb.helper({"validate:png"}, row.png));
    ASSERT_TRUE(validated) << row.name;
    EXPECT_EQ(validated->status, 0) << row.name << ": " << validated->header_text;
    auto written = call(pb.helper({"write:image", "3", "2", "1"}, row.png));
    ASSERT_TRUE(written) << row.name;
    EXPECT_EQ(written->status, 0) << row.name << ": " << written->header_text;
    for (const char* operation : {"read:image", "read:auto"}) {
      auto read = call(pb.helper({operation}));
      ASSERT_TRUE(read) << row.name;
      EXPECT_EQ(read->header["metadata"].dump(), R"({"height":2,"kind":"image","width":3})")
          << row.name << " " << operation << ": " << read->header_text;
      EXPECT_TRUE(read->payload == row.png) << row.name << " " << operation;
    }

    row.png[row.crc_at] ^= 0x01;
    validated = call(pb.helper({"validate:png"}, row.png));
    ASSERT_TRUE(validated) << row.name;
    EXPECT_EQ(validated->header["message"], platform) << row.name << " with a bad CRC";
    written = call(pb.helper({"write:image", "3", "2", "1"}, row.png));
    ASSERT_TRUE(written) << row.name;
    EXPECT_EQ(written->header["message"], platform) << row.name << " with a bad CRC";
    std::ofstream(planted, std::ios::binary) << row.png;
    ASSERT_EQ(pb.tool({"write", "--png", planted}).status, 0);
    for (const char* operation : {"read:image", "read:auto"}) {
      auto read = call(pb.helper({operation}));
      ASSERT_TRUE(read) << row.name;
      EXPECT_EQ(read->header["message"], platform) << row.name << " " << operation << " with a bad CRC";
    }
  }
  std::filesystem::remove(planted);
}

// The samples of a PNG of 8 or 16 bits a sample without a palette, row by row, each sample
// as a number; enough to look at the converted images below.
std::vector<std::vector<std::uint32_t>> png_samples(const std::string& png, std::size_t& channels) {
  std::string compressed;
  std::uint32_t width = be32_at(png, 16), height = be32_at(png, 20);
  const int depth = std::uint8_t(png[24]), colour = std::uint8_t(png[25]);
  channels = colour == 0 ? 1 : colour == 2 ? 3 : colour == 4 ? 2 : 4;
  for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + be32_at(png, at)) {
    if (png.compare(at + 4, 4, "IDAT") == 0) compressed += png.substr(at + 8, be32_at(png, at));
  }
  const std::size_t bytes_per_pixel = channels * depth / 8, row_bytes = width * bytes_per_pixel;
  std::string raw((row_bytes + 1) * height, '\0');
  uLongf size = raw.size();
  uncompress(reinterpret_cast<Bytef*>(raw.data()), &size,
             reinterpret_cast<const Bytef*>(compressed.data()), compressed.size());
  std::vector<std::vector<std::uint32_t>> rows;
  std::string previous(row_bytes, '\0');
  for (std::uint32_t y = 0; y < height; ++y) {
    const int filter = raw[y * (row_bytes + 1)];
    std::string row = raw.substr(y * (row_bytes + 1) + 1, row_bytes);
    for (std::size_t x = 0; x < row_bytes; ++x) {
      const int a = x >= bytes_per_pixel ? std::uint8_t(row[x - bytes_per_pixel]) : 0;
      const int b = std::uint8_t(previous[x]);
      const int c = x >= bytes_per_pixel ? std::uint8_t(previous[x - bytes_per_pixel]) : 0;
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int predicted[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
      row[x] = char(std::uint8_t(row[x]) + predicted[filter]);
    }
    std::vector<std::uint32_t>& samples = rows.emplace_back();
    for (std::size_t x = 0; x < row_bytes; x += depth / 8) {
      samples.push_back(depth == 16 ? std::uint8_t(row[x]) << 8 | std::uint8_t(row[x + 1])
                                    : std::uint8_t(row[x]));
    }
    previous = row;
  }
  return rows;
}

// Images that applications put on the pasteboard as TIFF or JPEG only read as PNG, upright
// (orientation applied), colour kept (alpha, 16 bits, CMYK as RGB), through both reads.
TEST(ReadImageBlackBoxTest, OtherImageTypesAreReadAsPng) {
  struct Row {
    std::string file;
    std::string type;
    std::uint32_t width, height;
    int depth;  // of the PNG, where the stand-in decides it
    // A sample (x, y, channel) and the value expected there, within `tolerance`.
    std::vector<std::array<std::uint32_t, 4>> samples;
    std::uint32_t tolerance;
  };
  const Row rows[] = {
      // 4 x 3 RGBA with unassociated alpha, LZW: every sample as stored.
      {"rgba8_lzw.tif", "public.tiff", 4, 3, 8,
       {{0, 0, 0, 255}, {1, 0, 1, 255}, {2, 0, 2, 255}, {2, 0, 3, 128}, {3, 0, 3, 0},
        {1, 1, 0, 40}, {3, 2, 2, 7}}, 2},
      // 32 x 16 stored, left half red and right half blue, EXIF orientation 6 (turn a quarter
      // clockwise): upright it is 16 x 32, red on top and blue below.
      {"exif6.jpg", "public.jpeg", 16, 32, 8,
       {{8, 4, 0, 255}, {8, 4, 2, 0}, {8, 28, 0, 0}, {8, 28, 2, 255}}, 12},
      {"rgb16_deflate.tif", "public.tiff", 3, 2, 16, {{0, 0, 0, 0x1234}, {2, 1, 2, 0x3 * 0x1234 + 5 * 0x0101}}, 64},
      // Full cyan, then no ink: RGB (0, 255, 255) and white.
      {"cmyk8.tif", "public.tiff", 2, 1, 8, {{0, 0, 0, 0}, {0, 0, 1, 255}, {1, 0, 0, 255}}, 40},
  };
  SimPasteboard pb;
  for (const Row& row : rows) {
    const auto path = testing::test_data("images/" + row.file);
    ASSERT_EQ(pb.tool({"write", "--data", row.type, path.string()}).status, 0) << row.file;
    for (const char* operation : {"read:image", "read:auto"}) {
      auto read = call(pb.helper({operation}));
      ASSERT_TRUE(read) << row.file << ": " << read.error();
      ASSERT_EQ(read->status, 0) << row.file << " " << operation << ": " << read->header_text;
      const nlohmann::json metadata = {{"height", row.height}, {"kind", "image"}, {"width", row.width}};
      EXPECT_EQ(read->header["metadata"], metadata) << row.file;
      ASSERT_EQ(read->payload.substr(0, 8), "\x89PNG\r\n\x1a\n") << row.file;
      if (kSimulatedPasteboard) {
        EXPECT_EQ(int(std::uint8_t(read->payload[24])), row.depth) << row.file;
      }
      std::size_t channels = 0;
      const auto samples = png_samples(read->payload, channels);
      const std::uint32_t scale = std::uint8_t(read->payload[24]) == row.depth ? 1 : row.depth == 16 ? 257 : 1;
      for (const auto& [x, y, channel, expected] : row.samples) {
        const std::uint32_t got = samples.at(y).at(x * channels + channel) * scale;
        EXPECT_LE(got > expected ? got - expected : expected - got, row.tolerance * scale)
            << row.file << " at " << x << "," << y << " channel " << channel << ": " << got;
      }
    }
  }
}

// A TIFF that cannot be decoded fails with a message naming its type, and one whose header
// alone exceeds the pixel budget is refused with the PNG's budget message before any decode
// (its pixel data is not even there). The pasteboard is left as it was.
TEST(ReadImageBlackBoxTest, UnreadableOrOversizedImagesAreRefused) {
  const std::pair<std::string, std::string> rows[] = {
      {"truncated_rgb.tif", "Clipboard image (public.tiff) could not be converted to PNG"},
      {"budget_8193x8193.tif", "Clipboard image exceeds the decoded-image budget"},
  };
  SimPasteboard pb;
  for (const auto& [file, message] : rows) {
    const auto path = testing::test_data("images/" + file);
    ASSERT_EQ(pb.tool({"write", "--data", "public.tiff", path.string()}).status, 0) << file;
    const std::int64_t count = pb.change_count();
    for (const char* operation : {"read:image", "read:auto"}) {
      auto read = call(pb.helper({operation}));
      ASSERT_TRUE(read) << file << ": " << read.error();
      EXPECT_EQ(read->status, 1) << file;
      EXPECT_EQ(read->header["error_code"], "ACTION_FAILED") << file;
      EXPECT_EQ(read->header["message"], message) << file << " " << operation;
      EXPECT_EQ(read->header["disposition"].dump(), R"({"delivery":"unknown","retry":"unknown"})");
      EXPECT_EQ(read->payload, "") << file;
    }
    EXPECT_EQ(pb.change_count(), count) << file;
  }
}

TEST(ValidatePngBlackBoxTest, NeedsNoPasteboard) {
  const std::string png = file_bytes(kSuite / "basn0g01.png");
  client::Launch launch;
  launch.program = helper_path();
  launch.arguments = {"validate:png"};
  launch.request = png;
  // A store path that cannot be created: the pasteboard is unavailable.
  launch.environment["MORVANE_SIM_PASTEBOARD"] = "/nonexistent-dir/store";
  auto ok = call(launch);
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok->status, 0) << ok->header_text;

  launch.request = std::string();
  auto empty = call(launch);
  ASSERT_TRUE(empty) << empty.error();
  EXPECT_EQ(empty->header["message"], "Clipboard PNG failed platform validation");
  EXPECT_EQ(empty->header["disposition"]["delivery"], "unknown");
}

}  // namespace
}  // namespace morvane::blackbox
