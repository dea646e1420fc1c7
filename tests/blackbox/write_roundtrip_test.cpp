// Writes and clears through the real helper on the simulated pasteboard, read back both by the
// helper's own read operations and by another application (sim_pasteboard).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "sim_support.h"
#include "support/test_data.h"

namespace morvane::blackbox {
namespace {

using client::call;

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

const char* kCommitted = R"({"delivery":"committed_verified","kind":"none"})";

TEST(ClearBlackBoxTest, ExactSuccessAndOneChangeCountStep) {
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"write", "--text", "prior"}).status, 0);
  for (int access : {0, 3}) {
    // A denied read access must not stop a clear; only the simulation can be told to deny.
    if (access != 0 && !kSimulatedPasteboard) continue;
    if (kSimulatedPasteboard) {
      ASSERT_EQ(pb.tool({"set", "access-behavior", std::to_string(access)}).status, 0);
    }
    const std::int64_t before = pb.change_count();
    auto raw = client::run_raw(pb.helper({"clear"}));
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->status, 0);
    EXPECT_EQ(raw->output, std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","metadata":)") +
                               kCommitted +
                               R"(,"ok":true,"operation":"clear","payload_len":0,"protocol":"1","token":")" +
                               raw->token + "\"}\n");
    EXPECT_EQ(raw->error_output, "");
    EXPECT_EQ(pb.change_count(), before + 1);
    EXPECT_EQ(pb.tool({"read", "text"}).status, 1);
  }
}

TEST(WriteBlackBoxTest, TextRoundTrips) {
  // nullopt: standard input closed at launch, read as the empty request.
  const std::optional<std::string> cases[] = {
      std::nullopt,
      "",
      "hello",
      "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac",
      "\xf0\x9f\x98\x80 outside the basic plane \xf0\x90\x8d\x88",
      "line\nfeed \"quoted\" \\ tab\t",
      "\xef\xbb\xbf" "begins with U+FEFF",
      "\xef\xbb\xbf",
      std::string("embedded\0NUL", 12),
      repeat("a", 1'000'000),
      repeat("\xf0\x9f\x98\x80", 500'000),
  };
  for (const auto& request : cases) {
    const std::string text = request.value_or("");
    SimPasteboard pb;
    client::Launch launch = pb.helper({"write:text"}, text);
    launch.request = request;
    auto written = call(launch);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(written->status, 0) << written->header_text;
    EXPECT_EQ(written->header["metadata"].dump(), kCommitted);
    auto read = call(pb.helper({"read:text"}));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->payload, text);
    EXPECT_EQ(read->header["metadata"].dump(), R"({"kind":"text"})");
    EXPECT_EQ(pb.tool({"read", "text"}).output, text);
  }
}

TEST(WriteBlackBoxTest, EveryValidSuiteImageRoundTrips) {
  int images = 0;
  for (const auto& entry : std::filesystem::directory_iterator(testing::png_suite())) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".png" || name.starts_with("x")) continue;
    const std::string png = file_bytes(entry.path());
    auto be32 = [&](std::size_t at) {
      return (std::uint32_t(std::uint8_t(png[at])) << 24) | (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
             (std::uint32_t(std::uint8_t(png[at + 2])) << 8) | std::uint32_t(std::uint8_t(png[at + 3]));
    };
    const std::string width = std::to_string(be32(16)), height = std::to_string(be32(20));
    SimPasteboard pb;
    auto written = call(pb.helper({"write:image", width, height, "2"}, png));
    ASSERT_TRUE(written) << name << ": " << written.error();
    EXPECT_EQ(written->status, 0) << name << ": " << written->header_text;
    auto read = call(pb.helper({"read:image"}));
    ASSERT_TRUE(read) << name << ": " << read.error();
    EXPECT_EQ(read->payload, png) << name;
    EXPECT_EQ(read->header["metadata"]["width"], be32(16)) << name;
    EXPECT_EQ(pb.tool({"read", "png"}).output, png) << name;
    ++images;
  }
  EXPECT_GT(images, 100);
}

TEST(WriteBlackBoxTest, FilePathsRoundTrip) {
  const std::vector<std::string> paths = {
      "/tmp/with space", "/tmp/100%", "/tmp/a#b", "/tmp/what?", "/tmp/caf\xc3\xa9",
      "/tmp/semi;colon", "/", "/" + std::string(1022, 'x'),
  };
  SimPasteboard pb;
  auto written = call(pb.helper({"write:file_urls"}, nlohmann::json(paths).dump()));
  ASSERT_TRUE(written) << written.error();
  ASSERT_EQ(written->status, 0) << written->header_text;
  auto read = call(pb.helper({"read:file_urls"}));
  ASSERT_TRUE(read) << read.error();
  // Each path reads back in the file system's spelling (decomposed on macOS).
  std::vector<std::string> read_back;
  for (const auto& path : paths) read_back.push_back(path_as_read_back(path));
  EXPECT_EQ(read->payload, nlohmann::json(read_back).dump());
  auto automatic = call(pb.helper({"read:auto"}));
  ASSERT_TRUE(automatic);
  EXPECT_EQ(automatic->header["metadata"].dump(), R"({"kind":"file_urls"})");
  // Another application sees one URL per item, in order.
  const std::string urls = pb.tool({"read", "file-urls"}).output;
  EXPECT_EQ(std::count(urls.begin(), urls.end(), '\n'), static_cast<long>(paths.size()));
  EXPECT_TRUE(urls.starts_with("file:///tmp/with%20space\n")) << urls;
}

TEST(WriteBlackBoxTest, RefusedWriteLeavesAnEmptyPasteboard) {
  MORVANE_STAND_IN_ONLY("set refuse-writes");
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"write", "--text", "prior"}).status, 0);
  ASSERT_EQ(pb.tool({"set", "refuse-writes", "on"}).status, 0);
  auto response = call(pb.helper({"write:text"}, "new"));
  ASSERT_TRUE(response) << response.error();
  EXPECT_EQ(response->status, 1);
  EXPECT_EQ(response->header["message"], "Clipboard text replacement failed after clearing prior content");
  EXPECT_EQ(response->header["error_code"], "ACTION_FAILED");
  EXPECT_EQ(response->header["disposition"].dump(), R"({"delivery":"delivered_unverified","retry":"unsafe"})");
  EXPECT_EQ(pb.tool({"read", "text"}).status, 1);
}

TEST(WriteBlackBoxTest, RefusalsBeforeTheClearLeaveTheClipboardAlone) {
  struct Case {
    std::vector<std::string> arguments;
    std::string request;
    std::string message;
    std::string code = "INVALID_ARGS";
    // Another process holds the store's lock for 3 s, past the 500 ms deadline.
    bool store_locked = false;
  };
  const Case cases[] = {
      {{"write:text"}, "\xff", "Clipboard text must be valid UTF-8"},
      {{"write:image", "640px", "1", "1"}, "", "Invalid image width"},
      // Refused before a byte of the request is read: reading it would have found it too long.
      {{"write:image", "1", "-1", "1"}, std::string(67'108'865, 'a'), "Invalid image height"},
      {{"write:image", "1", "1", "1,5"}, "", "Invalid image scale factor"},
      {{"write:image", "1", "1", "1"}, "not a png", "Clipboard image is missing a valid PNG header"},
      {{"write:file_urls"}, R"(["/a",])", "Invalid clipboard file URL request"},
      {{"write:file_urls"}, std::string("[\"/tmp/a\"]\0garbage{{{", 21),
       "Invalid clipboard file URL request"},
      {{"write:file_urls"}, std::string("[\"/tmp/a\"]\0", 11), "Invalid clipboard file URL request"},
      {{"write:file_urls"}, "[]", "File URL list must contain 1 to 1024 paths"},
      {{"write:file_urls"}, R"(["relative"])", "Every file path must be a bounded absolute path"},
      {{"write:text"}, std::string(67'108'865, 'a'), "Clipboard helper request exceeds the protocol limit"},
      {{"write:text"}, std::string(67'108'864, 'a'), "clipboard text exceeds the supported resource budget"},
      {{"write:text"}, "new", "Operation exceeded its deadline", "TIMEOUT", true},
  };
  for (const auto& c : cases) {
    if (c.store_locked && !kSimulatedPasteboard) continue;
    SimPasteboard pb;
    ASSERT_EQ(pb.tool({"write", "--text", "prior"}).status, 0);
    const std::int64_t before = pb.change_count();
    client::Launch launch = pb.helper(c.arguments, c.request);
    std::promise<void> answered;
    std::thread holder;
    if (c.store_locked) {
      launch.deadline_ms = "500";
      const int lock = ::open((pb.store().string() + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(::flock(lock, LOCK_EX), 0);
      holder = std::thread([lock, done = answered.get_future()] {
        done.wait_for(std::chrono::seconds(3));
        ::close(lock);
      });
    }
    const auto started = std::chrono::steady_clock::now();
    auto response = call(launch);
    const auto took = std::chrono::steady_clock::now() - started;
    answered.set_value();
    if (holder.joinable()) holder.join();
    ASSERT_TRUE(response) << response.error();
    if (c.store_locked) {
      EXPECT_LT(took, std::chrono::milliseconds(1000)) << "answered late";
    }
    EXPECT_EQ(response->status, 1);
    EXPECT_EQ(response->header["message"], c.message);
    EXPECT_EQ(response->header["error_code"], c.code);
    EXPECT_EQ(response->header["disposition"].dump(), R"({"delivery":"not_delivered","retry":"safe"})");
    EXPECT_EQ(pb.change_count(), before) << c.message;
    EXPECT_EQ(pb.tool({"read", "text"}).output, "prior");
  }
}

}  // namespace
}  // namespace morvane::blackbox
