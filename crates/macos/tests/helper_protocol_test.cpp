#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "input/clipboard/clipboard_file_urls.h"
#include "input/clipboard/clipboard_helper_entry.h"
#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/clipboard_transaction.h"
#include "input/clipboard/clipboard_watchdog.h"
#include "input/clipboard/imp.h"
#include "input/clipboard/request_reader.h"
#include "system/image_buffer.h"

namespace morvane {
namespace {

const std::string kToken(64, 'a');

TEST(ResponseHeaderTest, SuccessMembersInKeyOrder) {
  const auto header = response_header(kToken, "clear",
                                      nlohmann::json{{"kind", "none"}, {"delivery", "committed_verified"}}, 0);
  EXPECT_EQ(serialize_json(header),
            R"({"build":"1.2.0:aarch64-apple-darwin:10.15","metadata":{"delivery":"committed_verified","kind":"none"},"ok":true,"operation":"clear","payload_len":0,"protocol":"1","token":")" +
                kToken + "\"}");
}

TEST(ResponseHeaderTest, FailureMembersAndDispositionByDelivery) {
  struct Case {
    DeliveryState delivery;
    const char* wire;
    const char* retry;
  };
  const Case cases[] = {
      {DeliveryState::unknown, "unknown", "unknown"},
      {DeliveryState::not_delivered, "not_delivered", "safe"},
      {DeliveryState::delivery_uncertain, "delivery_uncertain", "unsafe"},
      {DeliveryState::delivered_unverified, "delivered_unverified", "unsafe"},
      {DeliveryState::delivered_verified, "delivered_verified", "unsafe"},
  };
  for (const auto& c : cases) {
    // The record's own retry hint never reaches the response.
    auto error = AdapterError::make(ErrorCode::TIMEOUT, "late")
                     .with_details({{"retryable", true}})
                     .with_delivery(c.delivery);
    EXPECT_EQ(serialize_json(response_header(kToken, "read:text", error)),
              std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","disposition":{"delivery":")") +
                  c.wire + R"(","retry":")" + c.retry +
                  R"("},"error_code":"TIMEOUT","message":"late","ok":false,"operation":"read:text","payload_len":0,"protocol":"1","token":")" +
                  kToken + "\"}");
  }
}

TEST(ResponseHeaderTest, DeliveryAdjustedOnlyForClipboardChangingOperations) {
  struct Case {
    const char* operation;
    DeliveryState before;
    DeliveryState after;
  };
  const Case cases[] = {
      {"clear", DeliveryState::unknown, DeliveryState::not_delivered},
      {"write:text", DeliveryState::unknown, DeliveryState::not_delivered},
      {"write:", DeliveryState::unknown, DeliveryState::not_delivered},
      {"write:text", DeliveryState::delivered_unverified, DeliveryState::delivered_unverified},
      {"read:text", DeliveryState::unknown, DeliveryState::unknown},
      {"validate:png", DeliveryState::unknown, DeliveryState::unknown},
      {"clear ", DeliveryState::unknown, DeliveryState::unknown},
      {"Write:text", DeliveryState::unknown, DeliveryState::unknown},
  };
  for (const auto& c : cases) {
    auto error = AdapterError::make(ErrorCode::INTERNAL, "x").with_delivery(c.before);
    adjust_delivery_for_operation(c.operation, error);
    EXPECT_EQ(error.delivery, c.after) << c.operation;
  }
}

TEST(SerializeJsonTest, EscapesOnlyWhatJsonRequires) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\b", R"("a\\b")"},
      {"line\nfeed", R"("line\nfeed")"},
      {"\b\t\f\r", R"("\b\t\f\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x0b", R"("\u000b")"},
      {"a/b", R"("a/b")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serialize_json(nlohmann::json(c.text)), c.written);
  }
  EXPECT_EQ(serialize_json(nlohmann::json::array({"/a", "/b\"c"})), R"(["/a","/b\"c"])");
  // Stray bytes must never make the header invalid JSON or throw.
  EXPECT_EQ(serialize_json(nlohmann::json("\xff")), "\"\xef\xbf\xbd\"");
}

// What write_response does with descriptor 1 on a temporary file: its status, whether it closed
// the descriptor, and what it wrote.
struct Written {
  int status;
  bool closed;
  std::string bytes;
};
Written respond_into_file(std::string_view operation, Outcome outcome) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  std::FILE* file = std::tmpfile();
  ::dup2(fileno(file), 1);
  Written written{write_response(kToken, operation, std::move(outcome)), false, {}};
  written.closed = ::fcntl(1, F_GETFD) == -1;
  ::dup2(saved, 1);
  ::close(saved);
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) written.bytes.push_back(char(c));
  std::fclose(file);
  return written;
}

// No operation can produce a payload over the limit today (every read has a smaller budget), so
// the limit is shown on the writer itself: refused whole, not cut.
TEST(WriteResponseTest, PayloadOverTheLimitIsStatusThreeAndNothingWritten) {
  struct Case {
    const char* name;
    std::size_t payload;
    int status;
  };
  const Case cases[] = {
      {"small payload", 3, kStatusSuccess},
      {"one byte over the limit", kMaxResponsePayloadBytes + 1, kStatusUndelivered},
  };
  for (const auto& c : cases) {
    OperationOutput output{{{"kind", "text"}}, std::string(c.payload, 'p')};
    const Written written = respond_into_file("read:text", std::move(output));
    EXPECT_EQ(written.status, c.status) << c.name;
    EXPECT_TRUE(written.closed) << c.name;
    if (c.status == kStatusUndelivered) {
      EXPECT_EQ(written.bytes, "") << c.name;
      continue;
    }
    EXPECT_TRUE(written.bytes.ends_with("\n" + std::string(c.payload, 'p'))) << written.bytes;
  }
}

// The watchdog writes its TIMEOUT from text made in advance: byte for byte the response the
// operation itself would write for the deadline's TIMEOUT, for every operation it watches and
// every phase.
TEST(WriteResponseTest, WatchdogTimeoutIsTheOperationsOwnTimeoutResponse) {
  const Deadline deadline = *Deadline::after(1);
  for (const OperationEntry& entry : operation_table()) {
    for (int phase = 0; phase <= static_cast<int>(DeliveryState::delivered_verified); ++phase) {
      const auto delivery = static_cast<DeliveryState>(phase);
      const Written written =
          respond_into_file(entry.name, fail(deadline.timeout_error().with_delivery(delivery)));
      EXPECT_EQ(watchdog::timeout_response(kToken, entry.name, delivery), written.bytes)
          << entry.name << " " << wire_string(delivery);
    }
  }
}

// A temporary file holding exactly `size` bytes, opened for reading.
int file_of_size(std::size_t size) {
  std::FILE* file = std::tmpfile();
  std::string block(1 << 20, 'r');
  for (std::size_t left = size; left > 0;) {
    const std::size_t n = std::min(left, block.size());
    std::fwrite(block.data(), 1, n, file);
    left -= n;
  }
  std::fflush(file);
  const int fd = ::dup(fileno(file));
  std::fclose(file);
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

TEST(ReadInputTest, ProtocolLimitIsInclusive) {
  const int exact = file_of_size(kMaxRequestBytes);
  auto accepted = read_input_from(exact, kMaxRequestBytes);
  ::close(exact);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->size(), kMaxRequestBytes);

  const int over = file_of_size(kMaxRequestBytes + 1);
  auto refused = read_input_from(over, kMaxRequestBytes);
  ::close(over);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ErrorCode::INVALID_ARGS);
  EXPECT_EQ(refused.error().message, "Clipboard helper request exceeds the protocol limit");
  EXPECT_EQ(refused.error().delivery, DeliveryState::unknown);
}

TEST(ReadInputTest, PipeIsReadToEndAndNeverPastTheLimit) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([fd = fds[1]] {
    std::string chunk(4096, 'p');
    for (int i = 0; i < 100; ++i) {
      if (::write(fd, chunk.data(), chunk.size()) < 0) break;
    }
    ::close(fd);
  });
  auto bytes = read_input_from(fds[0], 1'000'000);
  writer.join();
  ::close(fds[0]);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 409'600u);

  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
  auto refused = read_input_from(fds[0], 4);
  EXPECT_FALSE(refused);
  // Only limit + 1 bytes were consumed.
  char rest[16];
  EXPECT_EQ(::read(fds[0], rest, sizeof rest), 5);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ReadInputTest, ReadErrorIsReportedWithTheSystemText) {
  const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
  auto result = read_input_from(fd, 100);
  ::close(fd);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ErrorCode::INTERNAL);
  EXPECT_EQ(result.error().message, "Read helper request: Is a directory (os error 21)");
}

TEST(ParseDeadlineTest, ParsesAndClamps) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"0", 1}, {"1", 1}, {"+250", 250}, {"59999", 59999}, {"60000", 60000},
      {"999999", 60000}, {"18446744073709551615", 60000}, {"18446744073709551616", std::nullopt},
      {"", std::nullopt}, {"+", std::nullopt}, {" 1", std::nullopt}, {"1e3", std::nullopt},
      {"-0", std::nullopt}, {"00250", 250},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_deadline_ms(text), expected) << text;
}

// The numbers in a cell of the guide, in order: the words made of digits, whose groups may be
// joined by commas ("67,108,864"); a number inside a word ("UTF-16") is none.
std::vector<std::uint64_t> numbers_in(std::string_view cell) {
  std::vector<std::uint64_t> numbers;
  std::istringstream words{std::string(cell)};
  std::string word;
  while (words >> word) {
    std::erase(word, ',');
    const bool number = !word.empty() && word.size() <= 20 &&
                        std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (number) numbers.push_back(std::stoull(word));
  }
  return numbers;
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

// The guide's "Limits" table: the first cell of each row, and the numbers of its second.
std::map<std::string, std::vector<std::uint64_t>> guide_limits(std::istream& guide) {
  std::map<std::string, std::vector<std::uint64_t>> rows;
  std::string line;
  while (std::getline(guide, line) && line != "### Limits") {
  }
  bool in_table = false;
  while (std::getline(guide, line)) {
    if (!line.starts_with("|")) {
      if (in_table) break;
      continue;
    }
    in_table = true;
    std::vector<std::string_view> cells;
    std::string_view rest(line);
    for (auto bar = rest.find('|'); bar != std::string_view::npos; bar = rest.find('|')) {
      cells.push_back(rest.substr(0, bar));
      rest.remove_prefix(bar + 1);
    }
    if (cells.size() < 3 || cells[1].starts_with("---") || trimmed(cells[1]) == "Limit") continue;
    rows[trimmed(cells[1])] = numbers_in(cells[2]);
  }
  return rows;
}

// The guide's table of limits states the constants the helper applies: every row is one of
// these, with exactly these numbers, so that neither can change without the other.
TEST(DocumentedLimitsTest, GuideTableStatesTheConstants) {
  constexpr std::uint64_t kNanosPerMilli = 1'000'000;
  const std::pair<std::string, std::vector<std::uint64_t>> expected[] = {
      {"request on standard input", {kMaxRequestBytes}},
      {"response header line", {kMaxHeaderBytes}},
      {"response payload", {kMaxResponsePayloadBytes}},
      {"text, written or read", {imp::kTextBudgetUnits}},
      {"image pixels, width × height", {MAX_PNG_PIXELS}},
      {"PNG bytes", {clipboard_rich::kMaxEncodedPngBytes}},
      {"PNG chunks", {clipboard_image_io::kMaxPngChunks}},
      {"paths in one `write:file_urls`", {1, imp::kMaxWritePaths}},
      {"one path given to `write:file_urls`", {imp::kMaxInputPathUnits}},
      {"one path as a file-system path", {clipboard_file_urls::kPathBufferBytes - 1}},
      {"all paths of one `write:file_urls`", {imp::kMaxTotalPathUnits}},
      {"pasteboard items when reading file URLs", {clipboard_file_urls::kMaxItems}},
      {"one file URL read", {clipboard_file_urls::kMaxUrlUnits}},
      {"all file URLs read", {clipboard_file_urls::kMaxTotalUrlUnits}},
      {"deadline", {kMinDeadlineMs, kMaxDeadlineMs}},
      {"deadline as written", {std::numeric_limits<std::uint64_t>::max()}},
      {"token", {kTokenLength}},
      {"time left when a write starts", {clipboard_transaction::kStartThresholdNs / kNanosPerMilli}},
      {"deadline a write holds back for cleanup",
       {clipboard_transaction::kMaxReserveNs / kNanosPerMilli}},
  };
  std::ifstream guide(MORVANE_GUIDE_PATH);
  ASSERT_TRUE(guide.is_open()) << "missing " << MORVANE_GUIDE_PATH;
  const auto rows = guide_limits(guide);
  EXPECT_EQ(rows.size(), std::size(expected)) << "rows of the guide's Limits table";
  for (const auto& [limit, numbers] : expected) {
    const auto row = rows.find(limit);
    if (row == rows.end()) {
      ADD_FAILURE() << "the guide's Limits table has no row \"" << limit << "\"";
      continue;
    }
    EXPECT_EQ(row->second, numbers) << limit;
  }
}

}  // namespace
}  // namespace morvane

namespace morvane {
namespace {

Outcome throwing_operation(std::span<const std::string>, const Deadline&) {
  throw std::bad_alloc();
}

TEST(RunGuardedTest, ExceptionsFromBelowBecomeAResponse) {
  auto deadline = Deadline::after(100);
  ASSERT_TRUE(deadline);
  const std::pair<const char*, DeliveryState> cases[] = {
      {"write:image", DeliveryState::delivery_uncertain},
      {"clear", DeliveryState::delivery_uncertain},
      {"read:text", DeliveryState::unknown},
  };
  for (const auto& [operation, delivery] : cases) {
    Outcome outcome = run_guarded(operation, &throwing_operation, {}, *deadline);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().code, ErrorCode::INTERNAL);
    EXPECT_EQ(outcome.error().delivery, delivery) << operation;
  }
}

}  // namespace
}  // namespace morvane
