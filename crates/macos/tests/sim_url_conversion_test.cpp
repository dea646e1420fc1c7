// The stand-in's URL conversion: what parses, which path comes out, and the path → URL → path
// round trip for every byte string.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "input/clipboard/sim/url_conversion_sim.h"

namespace morvane::sim {
namespace {

constexpr std::size_t kBuffer = 1024;

std::optional<std::string> path_of(std::string_view url) {
  auto parsed = parse_url(url);
  if (!parsed) return std::nullopt;
  return file_system_representation(*parsed, kBuffer);
}

TEST(SimUrlConversionTest, MalformedTextGivesNoUrl) {
  const char* cases[] = {
      "file:///tmp/a b", "file:///tmp/\xc3\xa9", "file:///tmp/%zz", "file:///tmp/%2",
      "file:///tmp/%",   "/tmp/x",               "tmp/x",           "",
      "file:///tmp/[x]", "file:///tmp/x\ty",     "file:///tmp/a\"b",
  };
  for (const char* text : cases) EXPECT_FALSE(parse_url(text)) << text;
  EXPECT_FALSE(parse_url(std::string_view("file:///tmp/x\0y", 15)));
}

TEST(SimUrlConversionTest, FileSystemRepresentation) {
  struct Case {
    const char* url;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"file:///tmp/a%20b", "/tmp/a b"},
      {"file:///tmp/%2500", "/tmp/%00"},
      {"file:///tmp/x%00y", "/tmp/x"},  // a C string ends at its NUL
      {"file:///tmp/%FF", "/tmp/\xff"},
      {"file://localhost/tmp/x", "/tmp/x"},
      {"file://LocalHost/tmp/x", "/tmp/x"},
      {"FILE:///tmp/x", "/tmp/x"},
      {"file:/tmp/x", "/tmp/x"},
      {"file:///", "/"},
      {"file:///tmp/dir/", "/tmp/dir/"},
      {"file:////x", "//x"},
      {"file:///tmp/x?query#fragment", "/tmp/x"},
      {"file:///a;b=c@d:e", "/a;b=c@d:e"},
      {"file://example.com/tmp/x", std::nullopt},
      {"file://user@localhost/tmp/x", std::nullopt},
      {"file://localhost:80/tmp/x", std::nullopt},
      {"file:tmp/x", std::nullopt},
      {"http://localhost/tmp/x", std::nullopt},
      {"mailto:someone@example.com", std::nullopt},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(parse_url(c.url)) << c.url;
    EXPECT_EQ(path_of(c.url), c.path) << c.url;
  }
}

TEST(SimUrlConversionTest, DecodedPathAndItsNulMustFitTheBuffer) {
  const std::string fits = "/" + std::string(1022, 'a');
  const std::string too_long = "/" + std::string(1023, 'a');
  EXPECT_EQ(path_of("file://" + fits), fits);
  EXPECT_EQ(path_of("file://" + too_long), std::nullopt);
  // The decoded length counts, not the text's: 1023 escaped bytes fit.
  std::string escaped = "file:///";
  for (int i = 0; i < 1022; ++i) escaped += "%41";
  EXPECT_EQ(path_of(escaped), "/" + std::string(1022, 'A'));
  // A NUL ends the result but not the size check.
  EXPECT_EQ(path_of("file:///x%00" + std::string(1021, 'a')), std::nullopt);
}

TEST(SimUrlConversionTest, OnlyAbsolutePathsMakeFileUrls) {
  EXPECT_EQ(file_url_for_path(""), std::nullopt);
  EXPECT_EQ(file_url_for_path("tmp/x"), std::nullopt);
  EXPECT_EQ(file_url_for_path("/tmp/a b;c#d?e%f"), "file:///tmp/a%20b%3Bc%23d%3Fe%25f");
}

std::string random_bytes(std::mt19937& random, std::size_t length) {
  // Half the bytes come from the ones a URL treats specially, the rest from the whole range.
  static constexpr std::string_view kSpecial = "%#?; /:@[]&=+$,!'()*~.\\\"<>{}|^`";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    if (random() % 2 == 0) {
      out.push_back(kSpecial[random() % kSpecial.size()]);
    } else {
      out.push_back(static_cast<char>(random() % 256));
    }
  }
  return out;
}

TEST(SimUrlConversionTest, EncodingRoundTripsEveryByteString) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 5000; ++round) {
    const std::string bytes = random_bytes(random, random() % 48);
    EXPECT_EQ(percent_decode(percent_encode_path(bytes)), bytes);

    std::string path = "/" + bytes;
    std::erase(path, '\0');  // a file-system path holds no NUL
    const auto url = file_url_for_path(path);
    ASSERT_TRUE(url);
    ASSERT_TRUE(parse_url(*url)) << *url;
    EXPECT_EQ(path_of(*url), path) << *url;
  }
}

TEST(SimUrlConversionTest, FileReferenceIds) {
  struct Case {
    const char* path;
    bool is_reference;
    std::optional<FileId> id;
  };
  const Case cases[] = {
      {"/.file/id=6571367.2773272", true, FileId{6571367, 2773272}},
      {"/.file/id=0.0", true, FileId{0, 0}},
      {"/.file/id=18446744073709551615.1", true, FileId{18446744073709551615ull, 1}},
      {"/.file/id=18446744073709551616.1", true, std::nullopt},
      {"/.file/id=1.2/", true, std::nullopt},
      {"/.file/id=1.2.3", true, std::nullopt},
      {"/.file/id=1", true, std::nullopt},
      {"/.file/id=.2", true, std::nullopt},
      {"/.file/id=+1.2", true, std::nullopt},
      {"/.file/id=1.-2", true, std::nullopt},
      {"/.file/ID=1.2", false, std::nullopt},
      {"/x/.file/id=1.2", false, std::nullopt},
      {"/tmp/a", false, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_file_reference_path(c.path), c.is_reference) << c.path;
    EXPECT_EQ(file_reference_id(c.path), c.id) << c.path;
  }
  const std::string url = file_reference_url({6571367, 2773272});
  EXPECT_EQ(url, "file:///.file/id=6571367.2773272");
  EXPECT_EQ(path_of(url), "/.file/id=6571367.2773272");
}

}  // namespace
}  // namespace morvane::sim
