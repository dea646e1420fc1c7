#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "input/clipboard/clipboard_requests.h"
#include "support/test_data.h"

namespace morvane {
namespace {

using namespace std::string_literals;

TEST(ParseArgTest, UnsignedDimensions) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"0", 0},          {"640", 640},        {"+640", 640},          {"4294967295", 4294967295u},
      {"00012", 12},     {"4294967296", {}},  {"99999999999999999999", {}},
      {"640px", {}},     {"-1", {}},          {"", {}},               {"+", {}},
      {"-", {}},         {" 640", {}},        {"640 ", {}},           {"0x10", {}},
      {"1e3", {}},       {"++1", {}},
  };
  for (const auto& [text, expected] : cases) {
    auto parsed = parse_u32_arg(text, "width");
    if (expected) {
      ASSERT_TRUE(parsed) << text;
      EXPECT_EQ(*parsed, *expected) << text;
    } else {
      ASSERT_FALSE(parsed) << text;
      EXPECT_EQ(parsed.error().message, "Invalid image width");
      EXPECT_EQ(parsed.error().code, ErrorCode::INVALID_ARGS);
    }
  }
  EXPECT_EQ(parse_u32_arg("x", "height").error().message, "Invalid image height");
}

TEST(ParseArgTest, ScaleFactors) {
  const std::pair<const char*, std::optional<double>> accepted[] = {
      {"2", 2.0},     {"2.0", 2.0},  {"2.", 2.0},   {".5", 0.5},    {"1e0", 1.0},
      {"+1.5", 1.5},  {"-2", -2.0},  {"1E+2", 100}, {"1e-2", 0.01}, {"0", 0.0},
  };
  for (const auto& [text, value] : accepted) {
    auto parsed = parse_double_arg(text, "scale factor");
    ASSERT_TRUE(parsed) << text;
    EXPECT_DOUBLE_EQ(*parsed, *value) << text;
  }
  for (const char* word : {"inf", "INF", "-Infinity", "infinity", "nan", "NaN", "1e999"}) {
    auto parsed = parse_double_arg(word, "scale factor");
    ASSERT_TRUE(parsed) << word;
    EXPECT_FALSE(std::isfinite(*parsed)) << word;
  }
  for (const char* text : {"2,5", " 2", "2 ", "x2", "", ".", "+", "e5", "1e", "1e+", "0x1p3",
                           "nan(1)", "infinit", "1.2.3", "--1", "1_000"}) {
    auto parsed = parse_double_arg(text, "scale factor");
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().message, "Invalid image scale factor");
  }
}

// The parsers see the whole argument: a NUL does not end it early.
TEST(ParseArgTest, EmbeddedNulIsRefused) {
  for (const std::string& text : {"640\0"s, "6\0" "40"s, "\0"s, "+\0" "1"s}) {
    EXPECT_FALSE(parse_u32_arg(text, "width")) << text.size();
  }
  for (const std::string& text : {"2.5\0"s, "2\0.5"s, "inf\0"s, "nan\0abc"s, "1e\0" "5"s}) {
    EXPECT_FALSE(parse_double_arg(text, "scale factor")) << text.size();
  }
}

TEST(FileUrlRequestTest, StrictArrayOfStrings) {
  const std::pair<std::string, std::optional<std::vector<std::string>>> cases[] = {
      {R"(["/a","/b"])", std::vector<std::string>{"/a", "/b"}},
      {" \t\r\n[ \"/a\" ]\n ", std::vector<std::string>{"/a"}},
      {"[]", std::vector<std::string>{}},
      {R"(["\ud83d\ude00","a\u0000b"])",
       std::vector<std::string>{"\xf0\x9f\x98\x80", "a\0b"s}},
      {"", std::nullopt},
      {R"({"a":"/a"})", std::nullopt},
      {R"(["/a",])", std::nullopt},
      {R"(["/a"] x)", std::nullopt},
      {R"(["/a"]["/b"])", std::nullopt},
      {R"(["/a", 1])", std::nullopt},
      {R"([["/a"]])", std::nullopt},
      {R"(["/a" /* c */])", std::nullopt},
      {"[\"a\tb\"]", std::nullopt},
      {"[\"\xff\"]", std::nullopt},
      {R"(["\ud800"])", std::nullopt},
      {"\xEF\xBB\xBF[]", std::nullopt},
      {R"("/a")", std::nullopt},
      {"null", std::nullopt},
      // A raw NUL ends the input for the JSON library, never for the request.
      {"[\"/tmp/a\"]\0garbage{{{"s, std::nullopt},
      {"[\"/tmp/a\"]\0"s, std::nullopt},
      {"[\"/tmp/a\"] \0 "s, std::nullopt},
      {"\0[\"/tmp/a\"]"s, std::nullopt},
      {"[\"/tmp/\0a\"]"s, std::nullopt},
      {"[\0\"/tmp/a\"]"s, std::nullopt},
      {"[\"/tmp/a\"\0]"s, std::nullopt},
      {"[\"/a\"]\x0b", std::nullopt},
      {"[\"/a\"]\x0c", std::nullopt},
      {"[\"/a\"]\xc2\xa0", std::nullopt},
  };
  for (const auto& [request, expected] : cases) {
    auto decoded = decode_file_url_request(request);
    if (expected) {
      ASSERT_TRUE(decoded) << request;
      EXPECT_EQ(*decoded, *expected) << request;
    } else {
      ASSERT_FALSE(decoded) << request;
      EXPECT_EQ(decoded.error().message, "Invalid clipboard file URL request");
      EXPECT_FALSE(decoded.error().details);
    }
  }
}

std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The suite's accepted texts that are arrays of strings are exactly these; every other accepted
// text (numbers, objects, literals, a lone string, mixed arrays) is not a file URL request.
bool suite_case_is_array_of_strings(std::string_view name) {
  static const std::set<std::string_view> arrays = {
      "y_array_empty-string.json", "y_array_empty.json", "y_array_ending_with_newline.json",
      "y_structure_trailing_newline.json", "y_structure_whitespace_array.json"};
  return (name.starts_with("y_string_") && name != "y_string_space.json") || arrays.contains(name);
}

// Nothing but the one array of strings is ever built: deep nesting is refused at its second
// bracket instead of costing a tree of millions of arrays.
TEST(FileUrlRequestTest, DeepNestingIsRefusedWithoutBuildingIt) {
  for (const std::string& request : {std::string(32 << 20, '['), "[\"/a\"," + std::string(1 << 20, '[')}) {
    auto decoded = decode_file_url_request(request);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().message, "Invalid clipboard file URL request");
  }
}

TEST(FileUrlRequestTest, AcceptedSuiteCasesAreAcceptedExactlyWhenArraysOfStrings) {
  int accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(testing::json_suite())) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("y_")) continue;
    const bool expected = suite_case_is_array_of_strings(name);
    EXPECT_EQ(decode_file_url_request(file_bytes(entry.path())).has_value(), expected) << name;
    accepted += expected ? 1 : 0;
  }
  EXPECT_GT(accepted, 40);
}

TEST(FileUrlRequestTest, EveryRejectedSuiteCaseIsRefused) {
  const std::filesystem::path suite = testing::json_suite();
  ASSERT_TRUE(std::filesystem::is_directory(suite));
  int refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(suite)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("n_")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_FALSE(decode_file_url_request(bytes.str())) << name;
    ++refused;
  }
  EXPECT_GT(refused, 150);
}

}  // namespace
}  // namespace morvane
