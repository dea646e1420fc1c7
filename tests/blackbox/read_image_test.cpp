// PngSuite through the real helper: every valid image planted by another application comes back
// byte for byte with its dimensions, and every broken one is refused for its own defect.
#include <gtest/gtest.h>

#include <filesystem>
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
