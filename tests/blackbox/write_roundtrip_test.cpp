// Writes and clears through the real helper on the simulated pasteboard, read back both by the
// helper's own read operations and by another application (sim_pasteboard).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <chrono>

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

// What a host sees whatever its pipes or the pasteboard do: non-blocking pipes served late, a
// request never closed, a platform call that never returns (the stand-in's stall), a response
// still being written when the deadline passes. Every launch answers once, in full, within its
// deadline plus the helper's grace (250 ms) plus a margin for a busy machine; a stalled call is
// answered TIMEOUT with the disposition of what may have reached the pasteboard.
TEST(WriteBlackBoxTest, EveryLaunchAnswersOnceByItsDeadline) {
  constexpr int kDeadlineMs = 200, kGraceMs = 250, kMarginMs = 250;
  static const std::string prior = repeat("p", 300'000), late = repeat("late", 1'000);
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<std::string> request;
    const char* stall;            // seam member that never returns; nullptr: none
    bool nonblocking = false;
    int request_delay_ms = 0;
    int response_delay_ms = 0;
    bool keep_request_open = false;
    int deadline_ms = kDeadlineMs;
    const char* disposition;      // a TIMEOUT's; nullptr: success
    std::string payload = {};     // of a success
    std::string left = prior;     // the text on the pasteboard afterwards
  };
  const Case cases[] = {
      {"300 KB read through a non-blocking pipe read late", {"read:text"}, std::nullopt, nullptr,
       true, 0, 500, false, 10'000, nullptr, prior},
      {"non-blocking request arriving late", {"write:text"}, late, nullptr, true, 200, 0, false,
       10'000, nullptr, "", late},
      {"response still being written at the deadline", {"read:text"}, std::nullopt, nullptr,
       false, 0, kDeadlineMs + kGraceMs + 300, false, kDeadlineMs, nullptr, prior},
      {"read call stalled", {"read:text"}, std::nullopt, "data_for_type", false, 0, 0, false,
       kDeadlineMs, R"({"delivery":"unknown","retry":"unknown"})"},
      {"lookup before the clear stalled", {"write:text"}, "new", "general_pasteboard", false, 0,
       0, false, kDeadlineMs, R"({"delivery":"not_delivered","retry":"safe"})"},
      {"clear stalled", {"write:text"}, "new", "clear_contents", false, 0, 0, false, kDeadlineMs,
       R"({"delivery":"delivery_uncertain","retry":"unsafe"})"},
      {"clear operation stalled", {"clear"}, std::nullopt, "clear_contents", false, 0, 0, false,
       kDeadlineMs, R"({"delivery":"delivery_uncertain","retry":"unsafe"})"},
      {"write call stalled", {"write:text"}, "new", "set_string", false, 0, 0, false, kDeadlineMs,
       R"({"delivery":"delivery_uncertain","retry":"unsafe"})", "", ""},
      {"verification read-back stalled", {"write:text"}, "new", "data_for_type", false, 0, 0,
       false, kDeadlineMs, R"({"delivery":"delivered_unverified","retry":"unsafe"})", "", "new"},
      {"request never closed", {"write:text"}, "new", nullptr, false, 0, 0, true, kDeadlineMs,
       R"({"delivery":"not_delivered","retry":"safe"})"},
      {"non-blocking request never closed", {"write:text"}, "new", nullptr, true, 0, 0, true,
       kDeadlineMs, R"({"delivery":"not_delivered","retry":"safe"})"},
  };
  for (const auto& c : cases) {
    // Only the stand-in can be told to stall.
    if (c.stall != nullptr && !kSimulatedPasteboard) continue;
    SimPasteboard pb;
    const std::filesystem::path file = pb.store().string() + ".text";
    std::ofstream(file, std::ios::binary) << prior;
    ASSERT_EQ(pb.tool({"write", "--text-file", file.string()}).status, 0) << c.name;
    std::filesystem::remove(file);
    client::Launch launch = pb.helper(c.arguments);
    launch.request = c.request;
    if (c.stall != nullptr) launch.environment["MORVANE_SIM_PASTEBOARD_STALL"] = c.stall;
    launch.nonblocking_pipes = c.nonblocking;
    launch.request_delay_ms = c.request_delay_ms;
    launch.response_delay_ms = c.response_delay_ms;
    launch.keep_request_open = c.keep_request_open;
    launch.deadline_ms = std::to_string(c.deadline_ms);
    launch.kill_after_ms = c.deadline_ms + 5'000;  // a backstop, as a host's own timer
    const auto started = std::chrono::steady_clock::now();
    auto raw = client::run_raw(launch);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(raw) << raw.error();
    EXPECT_EQ(raw->signal, 0) << c.name;
    EXPECT_EQ(raw->error_output, "") << c.name;
    const int answer_by = c.response_delay_ms > 0 ? c.response_delay_ms + kMarginMs
                                                  : c.deadline_ms + kGraceMs + kMarginMs;
    EXPECT_LE(took, answer_by) << c.name;
    if (c.disposition == nullptr) {
      auto response = client::parse_response(*raw, launch);
      EXPECT_TRUE(response && response->status == 0 && response->payload == c.payload)
          << c.name << ": " << (response ? response->header_text : response.error());
    } else {
      EXPECT_EQ(raw->status, 1) << c.name;
      EXPECT_EQ(raw->output,
                std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","disposition":)") +
                    c.disposition +
                    R"(,"error_code":"TIMEOUT","message":"Operation exceeded its deadline","ok":false,"operation":")" +
                    c.arguments[0] + R"(","payload_len":0,"protocol":"1","token":")" +
                    raw->token + "\"}\n")
          << c.name;
    }
    EXPECT_TRUE(pb.tool({"read", "text"}).output == c.left) << c.name;
  }
}

}  // namespace
}  // namespace morvane::blackbox
