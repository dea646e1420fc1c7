// The simulated pasteboard among hostile neighbours: corrupt stores with valid checksums, a
// store file shortened or rewritten in place, taken away or refused after the pasteboard was
// looked up, and a pasteboard that breaks in the middle of an operation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "input/clipboard/clipboard_helper_entry.h"
#include "input/clipboard/imp.h"
#include "input/clipboard/pasteboard_platform.h"
#include "input/clipboard/sim/communication_failure_sim.h"
#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "sim_store_scope.h"

namespace morvane::sim {
namespace {

using platform::PasteboardType;
namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;  // nobody

// Decodes a copy of `bytes` that ends exactly where a page with no access begins, so that a
// read past the end faults instead of passing unnoticed.
bool decodes_at_page_end(const Bytes& bytes, bool verify_values) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t pages = (bytes.size() + page - 1) / page + 1;
  auto* base = static_cast<std::uint8_t*>(
      ::mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (base == MAP_FAILED) std::abort();
  std::uint8_t* guard = base + (pages - 1) * page;
  ::mprotect(guard, page, PROT_NONE);
  std::uint8_t* start = guard - bytes.size();
  std::copy(bytes.begin(), bytes.end(), start);
  const bool decoded = decode_store(ByteView(start, bytes.size()), nullptr, verify_values).has_value();
  ::munmap(base, pages * page);
  return decoded;
}

void put_u64(Bytes& bytes, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A PNG value of 3 bytes and an 8-byte string in one item: the string starts at 128, after 5
// bytes of padding, and the file ends at 136.
Bytes two_value_store() {
  StoreContents contents;
  contents.first_item().put(EntryType::png, Value::of_bytes(Bytes{1, 2, 3}));
  contents.first_item().put(EntryType::string, Value::of_utf16(u"abcd"));
  return encode_store(contents).flatten();
}

constexpr std::size_t kSecondEntry = 56 + 32;

// Rows kept from fuzzing the decoder (with its checksums recomputed) and the edges around them.
TEST(SimStoreDecodeTest, LengthsAndLayoutAreCheckedBeforeUse) {
  const Bytes good = two_value_store();
  ASSERT_EQ(good.size(), 136u);
  struct Row {
    const char* what;
    std::function<void(Bytes&)> edit;
    bool decodes;
  };
  const Row rows[] = {
      {"the encoder's own file", [](Bytes&) {}, true},
      // Fuzz finding: the second value's offset (128) lies past the end of the 123-byte file,
      // so "what remains" wrapped around before the length was compared with it.
      {"file cut after the first value", [](Bytes& b) { b.resize(123); }, false},
      {"file cut inside the padding", [](Bytes& b) { b.resize(126); }, false},
      {"file cut inside the last value", [](Bytes& b) { b.resize(135); }, false},
      {"length one past the end", [](Bytes& b) { put_u64(b, kSecondEntry + 16, 9); }, false},
      {"length near 2^64", [](Bytes& b) { put_u64(b, kSecondEntry + 16, ~std::uint64_t{0} - 7); }, false},
      {"offset near 2^64", [](Bytes& b) { put_u64(b, kSecondEntry + 8, ~std::uint64_t{0} - 7); }, false},
      {"offset past the end", [](Bytes& b) { put_u64(b, kSecondEntry + 8, 4096); }, false},
      // Fuzz finding: a byte of padding that is not zero decoded, so two files held one store.
      {"padding not zero", [](Bytes& b) { b[125] = 1; }, false},
      {"entry table longer than the file", [](Bytes& b) { put_u32(b, 44, 100); }, false},
      {"item count at the bound", [](Bytes& b) { put_u32(b, 40, 1u << 16); }, true},
      {"item count over the bound", [](Bytes& b) { put_u32(b, 40, (1u << 16) + 1); }, false},
  };
  for (const Row& row : rows) {
    Bytes bytes = good;
    row.edit(bytes);
    reseal_store(bytes);
    EXPECT_EQ(decodes_at_page_end(bytes, true), row.decodes) << row.what;
    EXPECT_EQ(decodes_at_page_end(bytes, false), row.decodes) << row.what;
  }
}

bool can_chown_to_another_user() { return ::geteuid() == 0; }

// One test's own store, looked up through the seam as the helper does.
class SimStoreHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.emplace("sim-hostile");
    pool_ = p.autorelease_pool_create();
  }
  void TearDown() override {
    test_hooks::fail_store_opens_after(-1);
    p.autorelease_pool_drain(pool_);
    store_.reset();
  }

  // Text and a PNG, written by another application.
  void plant(std::size_t png_size = 64) {
    Bytes png(png_size);
    for (std::size_t i = 0; i < png.size(); ++i) png[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_TRUE(PasteboardStore(store_->path()).update([&](StoreContents& c) {
      c.clear_by(process_owner_token() + 1);
      c.first_item().put(EntryType::string, Value::of_utf16(u"planted"));
      c.first_item().put(EntryType::png, Value::of_bytes(png));
      return true;
    }));
  }
  Bytes store_bytes() const {
    std::ifstream in(store_->path(), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  platform::PasteboardPlatform& p = platform::pasteboard_platform();
  std::optional<testing::ScopedSimStore> store_;
  platform::Pool pool_ = nullptr;
};

// How a store can stop answering; `needs_other_user` rows run only where a file can be given
// to another user.
struct Breakage {
  const char* what;
  std::function<void(SimStoreHostileTest&, const std::string& path)> apply;
  bool needs_other_user = false;
};

void replace_with(const std::string& path, const std::string& bytes) {
  std::ofstream(path + ".new", std::ios::binary) << bytes;
  fs::rename(path + ".new", path);
}

void rewrite_in_place(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::usleep(20'000);  // past the granularity of file times
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

const Breakage kAfterTheLookup[] = {
    {"renamed away", [](auto&, const std::string& path) { fs::rename(path, path + ".gone"); }},
    {"replaced by a corrupt file", [](auto&, const std::string& path) { replace_with(path, std::string(300, 'x')); }},
    {"made writable by others", [](auto&, const std::string& path) { ::chmod(path.c_str(), 0666); }},
    {"given to another user",
     [](auto&, const std::string& path) { ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0); },
     true},
    {"shortened in place", [](auto&, const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 100), 0); }},
    {"rewritten in place", [](auto&, const std::string& path) { rewrite_in_place(path); }},
    {"every later open fails", [](auto&, const std::string&) { test_hooks::fail_store_opens_after(0); }},
};

// Every call after the lookup, as the readers and the write transaction make them.
struct Call {
  const char* what;
  std::function<void(platform::PasteboardPlatform&, platform::Pasteboard)> run;
};

platform::String some_text(platform::PasteboardPlatform& p) {
  return p.string_create_utf8("new");
}

const Call kCalls[] = {
    {"change count", [](auto& p, auto pb) { p.change_count(pb); }},
    {"access behaviour", [](auto& p, auto pb) { p.access_behavior(pb); }},
    {"types", [](auto& p, auto pb) { p.types(pb); }},
    {"items", [](auto& p, auto pb) { p.pasteboard_items(pb); }},
    {"string", [](auto& p, auto pb) { p.string_for_type(pb, PasteboardType::string); }},
    {"data", [](auto& p, auto pb) { p.data_for_type(pb, PasteboardType::png); }},
    {"clear", [](auto& p, auto pb) { p.clear_contents(pb); }},
    {"set string",
     [](auto& p, auto pb) {
       auto text = platform::own(p, some_text(p));
       p.set_string(pb, text.get(), PasteboardType::string);
     }},
};

TEST_F(SimStoreHostileTest, AStoreBrokenAfterTheLookupRaisesFromEveryCall) {
  for (const Breakage& breakage : kAfterTheLookup) {
    if (breakage.needs_other_user && !can_chown_to_another_user()) {
      std::printf("skipped \"%s\": only root can give a file to another user here\n", breakage.what);
      continue;
    }
    for (const Call& call : kCalls) {
      fs::remove(store_->path());
      plant();
      platform::Pasteboard pb = p.general_pasteboard();
      ASSERT_NE(pb, nullptr) << breakage.what;
      ASSERT_EQ(p.change_count(pb), 1) << breakage.what;
      breakage.apply(*this, store_->path());
      EXPECT_THROW(call.run(p, pb), PasteboardCommunicationFailure)
          << breakage.what << ", " << call.what;
      test_hooks::fail_store_opens_after(-1);
      fs::remove(store_->path() + ".gone");
    }
  }
}

TEST_F(SimStoreHostileTest, AStoreUnusableAtTheLookupIsNoPasteboard) {
  const Breakage at_the_lookup[] = {
      {"corrupt", [](auto&, const std::string& path) { replace_with(path, std::string(300, 'x')); }},
      {"writable by others", [](auto&, const std::string& path) { ::chmod(path.c_str(), 0666); }},
      {"another user's",
       [](auto&, const std::string& path) { ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0); },
       true},
      {"lock writable by others",
       [](auto&, const std::string& path) { ::chmod((path + ".lock").c_str(), 0666); }},
      {"lock of another user",
       [](auto&, const std::string& path) {
         ASSERT_EQ(::chown((path + ".lock").c_str(), kOtherUser, kOtherUser), 0);
       },
       true},
      {"a FIFO",
       [](auto&, const std::string& path) {
         fs::remove(path);
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       }},
      {"every open fails", [](auto&, const std::string&) { test_hooks::fail_store_opens_after(0); }},
  };
  for (const Breakage& breakage : at_the_lookup) {
    if (breakage.needs_other_user && !can_chown_to_another_user()) {
      std::printf("skipped \"%s\": only root can give a file to another user here\n", breakage.what);
      continue;
    }
    fs::remove(store_->path());
    plant();
    const Bytes before = fs::is_regular_file(store_->path()) ? store_bytes() : Bytes{};
    breakage.apply(*this, store_->path());
    EXPECT_EQ(p.general_pasteboard(), nullptr) << breakage.what;
    test_hooks::fail_store_opens_after(-1);
    if (std::string(breakage.what).starts_with("lock")) {
      // Refused before anything was written: the store is as it was.
      EXPECT_EQ(store_bytes(), before) << breakage.what;
      fs::remove(store_->path() + ".lock");
    }
  }
}

// A process outside the protocol shortens the store while a reader holds bytes served from it:
// the reader must not die of SIGBUS, and must learn that what it read is not the store.
TEST_F(SimStoreHostileTest, AStoreShortenedInPlaceNeverKillsTheReader) {
  plant(4u << 20);
  EXPECT_EXIT(
      {
        platform::Pasteboard pb = p.general_pasteboard();
        platform::Data data = p.data_for_type(pb, PasteboardType::png);
        const std::uint8_t* bytes = p.data_bytes(data);
        const std::size_t size = p.data_length(data);
        if (bytes == nullptr || size != 4u << 20) std::_Exit(2);
        if (::truncate(store_->path().c_str(), 4096) != 0) std::_Exit(3);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < size; i += 512) sum += bytes[i];
        if (sum == 0) std::_Exit(4);
        try {
          p.change_count(pb);
        } catch (const PasteboardCommunicationFailure&) {
          std::_Exit(0);
        }
        std::_Exit(5);
      },
      ::testing::ExitedWithCode(0), "");
}

Result<AdapterError> failure_of(Outcome outcome) {
  if (outcome) return fail(AdapterError::make(ErrorCode::INTERNAL, "unexpected success"));
  return std::move(outcome.error());
}

// With every open of the store after the lookup failing, no operation ends as if the
// pasteboard were empty or the write had not happened.
TEST_F(SimStoreHostileTest, APasteboardBrokenMidOperationIsAnErrorNeverAnEmptyRead) {
  auto deadline = Deadline::after(10'000);
  ASSERT_TRUE(deadline);
  using Operation = std::function<Outcome()>;
  auto write_text = [&] {
    return run_guarded("write:text", [](std::span<const std::string>, const Deadline& d) -> Outcome {
      auto written = imp::set_content_direct(ClipboardContent{TextContent{"new"}}, d);
      if (!written) return fail(std::move(written.error()));
      return OperationOutput{};
    }, {}, *deadline);
  };
  const struct {
    const char* operation;
    Operation run;
    DeliveryState delivery;
  } rows[] = {
      {"read:auto", [&] { return dispatch_operation("read:auto", {}, *deadline); }, DeliveryState::unknown},
      {"read:text", [&] { return dispatch_operation("read:text", {}, *deadline); }, DeliveryState::unknown},
      {"read:image", [&] { return dispatch_operation("read:image", {}, *deadline); }, DeliveryState::unknown},
      {"read:file_urls", [&] { return dispatch_operation("read:file_urls", {}, *deadline); },
       DeliveryState::unknown},
      {"clear", [&] { return dispatch_operation("clear", {}, *deadline); },
       DeliveryState::delivery_uncertain},
      {"write:text", write_text, DeliveryState::delivery_uncertain},
  };
  plant();
  for (const auto& row : rows) {
    test_hooks::fail_store_opens_after(1);  // the lookup's
    auto error = failure_of(row.run());
    test_hooks::fail_store_opens_after(-1);
    ASSERT_TRUE(error) << row.operation << " succeeded";
    EXPECT_EQ(error->code, ErrorCode::INTERNAL) << row.operation << ": " << error->message;
    EXPECT_EQ(error->delivery, row.delivery) << row.operation;
  }
  // Unusable at the lookup: the unavailable pasteboard, as before.
  test_hooks::fail_store_opens_after(0);
  auto unavailable = failure_of(dispatch_operation("read:text", {}, *deadline));
  test_hooks::fail_store_opens_after(-1);
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->message, "System clipboard is unavailable");
}

}  // namespace
}  // namespace morvane::sim
