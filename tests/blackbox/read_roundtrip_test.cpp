// Reads through the real helper of what another application (sim_pasteboard) planted: text,
// file URLs, the choice of "read:auto", an empty pasteboard, denied access, and a race with a
// writer that never stops.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim_support.h"
#include "support/test_data.h"

namespace morvane::blackbox {
namespace {

using client::call;

const std::string kSuitePng = (testing::png_suite() / "basn2c08.png").string();

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Plants a text too long for a command line through a file.
void plant_text(const SimPasteboard& pb, const std::string& text) {
  const std::filesystem::path file = pb.store().string() + ".text";
  std::ofstream(file, std::ios::binary) << text;
  ASSERT_EQ(pb.tool({"write", "--text-file", file.string()}).status, 0);
  std::filesystem::remove(file);
}

TEST(ReadBlackBoxTest, TextComesBackByteForByte) {
  const std::string cases[] = {
      "",
      "plain",
      "caf\xc3\xa9 \xf0\x9f\x98\x80 \"quoted\"\nline",
      repeat("a", 1'000'000),
      repeat("\xf0\x9f\x98\x80", 500'000),  // 1,000,000 UTF-16 units in 2,000,000 bytes
  };
  SimPasteboard pb;
  for (const auto& text : cases) {
    plant_text(pb, text);
    auto read = call(pb.helper({"read:text"}));
    ASSERT_TRUE(read) << read.error();
    ASSERT_EQ(read->status, 0) << read->header_text;
    EXPECT_EQ(read->header["metadata"].dump(), R"({"kind":"text"})");
    EXPECT_TRUE(read->payload == text) << text.size() << " bytes";
  }
}

TEST(ReadBlackBoxTest, TextOverTheBudgetIsRefused) {
  SimPasteboard pb;
  plant_text(pb, repeat("\xf0\x9f\x98\x80", 500'001));
  auto read = call(pb.helper({"read:text"}));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->status, 1);
  EXPECT_EQ(read->header["message"], "clipboard text exceeds the supported resource budget");
  EXPECT_EQ(read->header["disposition"].dump(), R"({"delivery":"unknown","retry":"unknown"})");
}

TEST(ReadBlackBoxTest, FileUrlsBecomePathsInItemOrder) {
  SimPasteboard pb;
  const std::string long_path = "/" + std::string(1022, 'p');
  ASSERT_EQ(pb.tool({"write", "--file-url", "file:///tmp/a%20b", "--plain-item", "--file-url",
                     "file:///tmp/%2500", "--file-url", "file:///q%22uote", "--file-url",
                     "file://" + long_path})
                .status,
            0);
  auto read = call(pb.helper({"read:file_urls"}));
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->status, 0) << read->header_text;
  EXPECT_EQ(read->header["metadata"].dump(), R"({"kind":"file_urls"})");
  EXPECT_EQ(read->payload, R"(["/tmp/a b","/tmp/%00","/q\"uote",")" + long_path + "\"]");
}

TEST(ReadBlackBoxTest, FileUrlsThatAreNotLocalUtf8PathsAreRefused) {
  const std::string cases[] = {
      "file://localhost/tmp/x", "FILE:///tmp/x", "file:///tmp/x%00y", "file:///tmp/%FF",
      "file://" + ("/" + std::string(1023, 'p')),
  };
  SimPasteboard pb;
  for (const auto& url : cases) {
    ASSERT_EQ(pb.tool({"write", "--file-url", "file:///ok", "--file-url", url}).status, 0);
    auto read = call(pb.helper({"read:file_urls"}));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->status, 1) << url;
    EXPECT_EQ(read->header["message"], "Clipboard file URL is not a local UTF-8 path") << url;
    EXPECT_EQ(read->payload, "") << url;
  }
}

// Files copied in Finder arrive as file reference URLs; each reads back as the path of its
// file, in item order among path URLs and items that carry no URL, for both reads that
// return paths.
TEST(ReadBlackBoxTest, FileReferencesReadAsThePathsOfTheirFiles) {
  SimPasteboard pb;
  const std::filesystem::path dir = pb.store().string() + ".files";
  std::filesystem::create_directories(dir);
  std::vector<std::string> files;
  for (const char* name : {"with space", "100%", "a#b", "caf\xc3\xa9 \xf0\x9f\x98\x80"}) {
    files.push_back((dir / name).string());
    std::ofstream(files.back()) << name;
  }
  auto written = pb.tool({"write", "--file-reference", files[0], "--file-url", "file:///plain",
                          "--plain-item", "--file-reference", files[1], "--file-reference",
                          files[2], "--plain-item", "--file-reference", files[3]});
  ASSERT_EQ(written.status, 0) << written.error_output;
  // Another application sees the reference URLs themselves.
  const std::string urls = pb.tool({"read", "file-urls"}).output;
  EXPECT_TRUE(urls.starts_with("file:///.file/id=")) << urls;
  EXPECT_EQ(std::count(urls.begin(), urls.end(), '\n'), 5);

  // The simulated pasteboard resolves a reference to the path it was made from. macOS resolves
  // it to the path the file system reports, with symbolic links resolved (the temporary folder
  // /var/folders/... is /private/var/folders/...), in its decomposed spelling (expected, not yet
  // seen on a Mac).
  auto reported = [](const std::string& file) {
    return kSimulatedPasteboard ? file : path_as_read_back(std::filesystem::canonical(file).string());
  };
  const std::string expected = nlohmann::json({reported(files[0]), "/plain", reported(files[1]),
                                               reported(files[2]), reported(files[3])})
                                   .dump();
  for (const char* operation : {"read:file_urls", "read:auto"}) {
    auto read = call(pb.helper({operation}));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->status, 0) << operation << ": " << read->header_text;
    EXPECT_EQ(read->header["metadata"].dump(), R"({"kind":"file_urls"})") << operation;
    EXPECT_EQ(read->payload, expected) << operation;
  }
  std::filesystem::remove_all(dir);
}

// A reference whose file is gone names nothing: the read fails as a whole, with no partial list.
TEST(ReadBlackBoxTest, AReferenceToADeletedFileIsRefused) {
  SimPasteboard pb;
  const std::string file = pb.store().string() + ".gone";
  std::ofstream(file) << "soon gone";
  ASSERT_EQ(pb.tool({"write", "--file-url", "file:///ok", "--file-reference", file}).status, 0);
  std::filesystem::remove(file);
  for (const char* operation : {"read:file_urls", "read:auto"}) {
    auto read = call(pb.helper({operation}));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->status, 1) << operation;
    EXPECT_EQ(read->header["error_code"], "ACTION_FAILED") << operation;
    EXPECT_EQ(read->header["message"], "Clipboard file URL is not a local UTF-8 path") << operation;
    EXPECT_EQ(read->payload, "") << operation;
  }
  // A reference can only be made to a file that exists.
  auto refused = pb.tool({"write", "--file-reference", file});
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.error_output.find("cannot find"), std::string::npos) << refused.error_output;
}

TEST(ReadBlackBoxTest, ItemLimitCountsItemsWithoutUrls) {
  SimPasteboard pb;
  for (std::size_t items : {1024u, 1025u}) {
    std::vector<std::string> arguments = {"write", "--file-url", "file:///first"};
    for (std::size_t i = 1; i < items; ++i) arguments.push_back("--plain-item");
    ASSERT_EQ(pb.tool(arguments).status, 0);
    auto read = call(pb.helper({"read:file_urls"}));
    ASSERT_TRUE(read) << read.error();
    if (items == 1024) {
      EXPECT_EQ(read->payload, R"(["/first"])") << read->header_text;
    } else {
      EXPECT_EQ(read->header["message"], "Clipboard contains too many file URLs");
    }
  }
}

// An image in another type (converted to PNG) comes only after everything read today: the PNG
// itself, and for auto the file URLs and the text too.
TEST(ReadBlackBoxTest, AutoPrefersFileUrlsThenImageThenText) {
  const std::string png = file_bytes(kSuitePng);
  const std::string tiff = testing::test_data("images/rgba8_lzw.tif").string();
  struct Case {
    std::vector<std::string> write;
    std::string metadata;
    std::string payload;
    std::string operation = "read:auto";
  };
  const Case cases[] = {
      {{"--png", kSuitePng, "--data", "public.tiff", tiff}, R"({"height":32,"kind":"image","width":32})", png},
      {{"--png", kSuitePng, "--data", "public.tiff", tiff}, R"({"height":32,"kind":"image","width":32})", png,
       "read:image"},
      {{"--text", "t", "--data", "public.tiff", tiff}, R"({"kind":"text"})", "t"},
      {{"--file-url", "file:///f", "--data", "public.tiff", tiff}, R"({"kind":"file_urls"})", R"(["/f"])"},
      {{"--text", "t", "--png", kSuitePng, "--file-url", "file:///f"}, R"({"kind":"file_urls"})", R"(["/f"])"},
      {{"--text", "t", "--png", kSuitePng}, R"({"height":32,"kind":"image","width":32})", png},
      {{"--text", "t"}, R"({"kind":"text"})", "t"},
      {{"--plain-item"}, R"({"kind":"none"})", ""},
  };
  SimPasteboard pb;
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"write"};
    arguments.insert(arguments.end(), c.write.begin(), c.write.end());
    ASSERT_EQ(pb.tool(arguments).status, 0);
    auto read = call(pb.helper({c.operation}));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->status, 0) << read->header_text;
    EXPECT_EQ(read->header["metadata"].dump(), c.metadata);
    EXPECT_TRUE(read->payload == c.payload) << c.metadata << " " << c.operation;
  }
}

TEST(ReadBlackBoxTest, EmptyPasteboardIsNoneForEveryRead) {
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"clear"}).status, 0);
  for (const char* operation : {"read:auto", "read:text", "read:image", "read:file_urls"}) {
    auto raw = client::run_raw(pb.helper({operation}));
    ASSERT_TRUE(raw) << raw.error();
    EXPECT_EQ(raw->status, 0) << operation;
    EXPECT_EQ(raw->output, std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","metadata":{"kind":"none"},"ok":true,"operation":")") +
                               operation + R"(","payload_len":0,"protocol":"1","token":")" + raw->token + "\"}\n");
  }
}

TEST(ReadBlackBoxTest, DeniedAccessIsReportedWithUnknownDelivery) {
  MORVANE_STAND_IN_ONLY("set access-behavior");
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"write", "--text", "secret"}).status, 0);
  ASSERT_EQ(pb.tool({"set", "access-behavior", "3"}).status, 0);
  auto read = call(pb.helper({"read:text"}));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->status, 1);
  EXPECT_EQ(read->header["error_code"], "PERM_DENIED");
  EXPECT_EQ(read->header["message"], "System clipboard read access is denied");
  EXPECT_EQ(read->header["disposition"].dump(), R"({"delivery":"unknown","retry":"unknown"})");
}

// While another application rewrites the pasteboard without pause, every read returns exactly
// one of the texts written, or the concurrency error: never a mix, never anything else. On macOS
// an empty pasteboard is a third answer: macos_pasteboard writes in two server calls,
// clearContents and then writeObjects:, and the change count moves at the clear only (expected,
// not yet seen on a Mac), so a read between the two rightly finds nothing. The simulated store
// replaces its contents in one step.
TEST(ReadBlackBoxTest, RacingWriterNeverYieldsAMixedText) {
  SimPasteboard pb;
  const std::string texts[] = {repeat("a", 300'000), repeat("b", 300'000)};
  plant_text(pb, texts[0]);
  const std::filesystem::path files[] = {pb.store().string() + ".a", pb.store().string() + ".b"};
  for (int i = 0; i < 2; ++i) std::ofstream(files[i], std::ios::binary) << texts[i];

  std::atomic<bool> stop = false;
  auto keep_writing = [&] {
    for (int i = 0; !stop; ++i) pb.tool({"write", "--text-file", files[i % 2].string()});
  };
  std::thread writers[] = {std::thread(keep_writing), std::thread(keep_writing)};
  int concurrent = 0, empty = 0;
  for (int i = 0; i < 30; ++i) {
    auto read = call(pb.helper({"read:text"}));
    ASSERT_TRUE(read) << read.error();
    if (!kSimulatedPasteboard && read->status == 0 && read->header["metadata"]["kind"] == "none") {
      ++empty;
      EXPECT_EQ(read->payload, "");
    } else if (read->status == 0) {
      EXPECT_TRUE(read->payload == texts[0] || read->payload == texts[1]);
    } else {
      ++concurrent;
      EXPECT_EQ(read->header["message"], "Clipboard changed concurrently during a stable operation")
          << read->header_text;
      EXPECT_EQ(read->header["disposition"]["delivery"], "unknown");
    }
  }
  stop = true;
  for (auto& writer : writers) writer.join();
  for (const auto& file : files) std::filesystem::remove(file);
  RecordProperty("concurrency_errors", concurrent);
  RecordProperty("empty_reads", empty);
}

}  // namespace
}  // namespace morvane::blackbox
