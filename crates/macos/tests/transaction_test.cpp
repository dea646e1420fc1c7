// The replace transaction, driven through scripted write and verification steps on the fake, so
// that every outcome of a write is reached at an exact step.
#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_transaction.h"

namespace morvane {
namespace {

using clipboard_transaction::reserve_cleanup_budget;
using clipboard_transaction::run_replace;
using testing::FakeClock;
using testing::FakePasteboardPlatform;

TEST(ReserveCleanupBudgetTest, Examples) {
  struct Case {
    std::uint64_t overall_ms;
    std::int64_t elapsed_ns;
    std::optional<std::uint64_t> operation_ms;  // nullopt: the not-delivered timeout
  };
  const Case cases[] = {
      {10'000, 0, 9'750}, {300, 0, 150}, {3, 0, 2}, {2, 0, std::nullopt},
      {500, 0, 250},      {499, 0, 250}, {4, 1'999'999, 2}, {4, 2'000'000, std::nullopt},
      {1, 0, std::nullopt}, {60'000, 0, 59'750},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    auto overall = Deadline::after(c.overall_ms);
    ASSERT_TRUE(overall);
    FakeClock::advance_ns(c.elapsed_ns);
    auto operation = reserve_cleanup_budget(*overall);
    if (c.operation_ms) {
      ASSERT_TRUE(operation) << c.overall_ms;
      EXPECT_EQ(operation->timeout_ms(), *c.operation_ms) << c.overall_ms;
    } else {
      ASSERT_FALSE(operation) << c.overall_ms;
      EXPECT_EQ(operation.error().code, ErrorCode::TIMEOUT);
      EXPECT_EQ(operation.error().delivery, DeliveryState::not_delivered);
    }
  }
}

// What each scripted run did and how it ended.
struct Expected {
  ErrorCode code;
  std::string message;
  std::optional<std::string> platform_detail;
  std::optional<std::string> details;
  DeliveryState delivery;
};

struct Script {
  const char* name;
  // Prepares the fake; gets the fake and the fixture's step flags.
  std::function<void(FakePasteboardPlatform&)> setup;
  std::function<Status(FakePasteboardPlatform&, const Deadline&)> write;
  std::function<Result<bool>(FakePasteboardPlatform&, const Deadline&)> verify;
  std::optional<Expected> expected;  // nullopt: success
  int clears;                         // clearContents calls expected
};

Status write_ok(FakePasteboardPlatform& fake, const Deadline&) {
  fake.items = {FakePasteboardPlatform::text_item(u"new")};
  return {};
}
Result<bool> verify_ok(FakePasteboardPlatform&, const Deadline&) { return true; }
Status write_refused(FakePasteboardPlatform&, const Deadline&) {
  return fail(clipboard_transaction::write_failure("text"));
}

void on_call(FakePasteboardPlatform& fake, std::string call, int nth,
             std::function<void(FakePasteboardPlatform&)> action) {
  auto seen = std::make_shared<int>(0);
  fake.before_call = [&fake, call, nth, action, seen](const std::string& c) {
    if (c == call && ++*seen == nth) action(fake);
  };
}

void another_writer(FakePasteboardPlatform& fake) {
  fake.external_write({FakePasteboardPlatform::text_item(u"theirs")});
}

const std::string kReplaceFailed = "Clipboard text replacement failed after clearing prior content";

TEST(ReplaceTransactionTest, OutcomeTable) {
  const Script scripts[] = {
      {"verified in time", [](FakePasteboardPlatform&) {}, write_ok, verify_ok, std::nullopt, 1},
      {"expired before the clear",
       [](FakePasteboardPlatform& f) {
         on_call(f, "change_count", 99, [](auto&) {});
         FakeClock::advance_ms(999);
       },
       write_ok, verify_ok,
       Expected{ErrorCode::TIMEOUT, "Operation exceeded its deadline", std::nullopt,
                R"({"elapsed_ms":999,"kind":"deadline","timeout_ms":1000})",
                DeliveryState::not_delivered},
       0},
      {"clear not sent before the operation deadline",
       [](FakePasteboardPlatform& f) { f.clear_waits_past_limit = true; }, write_ok, verify_ok,
       Expected{ErrorCode::TIMEOUT, "Operation exceeded its deadline", std::nullopt,
                R"({"elapsed_ms":0,"kind":"deadline","timeout_ms":1000})",
                DeliveryState::not_delivered},
       1},
      {"negative token", [](FakePasteboardPlatform& f) { f.clear_result = -1; }, write_ok,
       verify_ok,
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery is uncertain",
                "clearContents returned an invalid ownership token", std::nullopt,
                DeliveryState::delivery_uncertain},
       1},
      {"ownership lost right after the clear",
       [](FakePasteboardPlatform& f) { on_call(f, "change_count", 1, another_writer); }, write_ok,
       verify_ok,
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery could not be verified",
                "clipboard ownership changed immediately after clearContents", std::nullopt,
                DeliveryState::delivered_unverified},
       1},
      {"operation deadline passes after the clear",
       [](FakePasteboardPlatform& f) {
         on_call(f, "change_count", 1, [](auto&) { FakeClock::advance_ms(760); });
       },
       write_ok, verify_ok,
       Expected{ErrorCode::TIMEOUT, kReplaceFailed, "Operation exceeded its deadline",
                R"({"cleanup_verified":true,"concurrent_change":false})",
                DeliveryState::delivered_unverified},
       2},
      {"write refused, cleanup verified", [](FakePasteboardPlatform&) {}, write_refused, verify_ok,
       Expected{ErrorCode::ACTION_FAILED, kReplaceFailed, "Clipboard text write failed",
                R"({"cleanup_verified":true,"concurrent_change":false})",
                DeliveryState::delivered_unverified},
       2},
      {"write refused, ownership already lost",
       [](FakePasteboardPlatform& f) { on_call(f, "change_count", 2, another_writer); },
       write_refused, verify_ok,
       Expected{ErrorCode::ACTION_FAILED, kReplaceFailed, "Clipboard text write failed",
                R"({"cleanup_verified":false,"concurrent_change":true})",
                DeliveryState::delivered_unverified},
       1},
      {"write refused, overall deadline passed at cleanup",
       [](FakePasteboardPlatform& f) {
         on_call(f, "change_count", 2, [](auto&) { FakeClock::advance_ms(2000); });
       },
       write_refused, verify_ok,
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery is uncertain",
                "Clipboard text write failed; cleanup failed: Operation exceeded its deadline",
                std::nullopt, DeliveryState::delivery_uncertain},
       1},
      {"write refused, cleanup clear not confirmed",
       [](FakePasteboardPlatform& f) {
         on_call(f, "clear_contents", 2, [](FakePasteboardPlatform& g) { g.clear_result = -5; });
       },
       write_refused, verify_ok,
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery is uncertain",
                "Clipboard text write failed; cleanup failed: Clipboard cleanup could not be verified",
                std::nullopt, DeliveryState::delivery_uncertain},
       2},
      {"ownership lost before verification",
       [](FakePasteboardPlatform& f) { on_call(f, "change_count", 2, another_writer); }, write_ok,
       verify_ok,
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery could not be verified",
                "clipboard ownership changed before verification", std::nullopt,
                DeliveryState::delivered_unverified},
       1},
      {"verification error",
       [](FakePasteboardPlatform&) {}, write_ok,
       [](FakePasteboardPlatform&, const Deadline& operation) -> Result<bool> {
         FakeClock::advance_ms(5000);
         return fail(operation.timeout_error());
       },
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery could not be verified",
                "content verification failed: Operation exceeded its deadline", std::nullopt,
                DeliveryState::delivered_unverified},
       1},
      {"ownership lost during verification",
       [](FakePasteboardPlatform& f) { on_call(f, "change_count", 3, another_writer); }, write_ok,
       [](FakePasteboardPlatform&, const Deadline&) -> Result<bool> { return false; },
       Expected{ErrorCode::APP_UNRESPONSIVE, "Clipboard text delivery could not be verified",
                "clipboard ownership changed during verification", std::nullopt,
                DeliveryState::delivered_unverified},
       1},
      {"mismatch",
       [](FakePasteboardPlatform&) {}, write_ok,
       [](FakePasteboardPlatform&, const Deadline&) -> Result<bool> { return false; },
       Expected{ErrorCode::ACTION_FAILED, kReplaceFailed,
                "Clipboard text did not retain the intended content",
                R"({"cleanup_verified":true,"concurrent_change":false})",
                DeliveryState::delivered_unverified},
       2},
      {"verified after the overall deadline",
       [](FakePasteboardPlatform&) {}, write_ok,
       [](FakePasteboardPlatform&, const Deadline&) -> Result<bool> {
         FakeClock::advance_ms(1500);
         return true;
       },
       Expected{ErrorCode::TIMEOUT, "Operation exceeded its deadline", std::nullopt,
                R"({"elapsed_ms":1500,"kind":"deadline","timeout_ms":1000})",
                DeliveryState::delivered_verified},
       1},
  };
  for (const auto& s : scripts) {
    FakeClock clock;
    FakePasteboardPlatform fake;
    fake.items = {FakePasteboardPlatform::text_item(u"prior")};
    auto overall = Deadline::after(1000);
    ASSERT_TRUE(overall);
    s.setup(fake);
    auto write = [&](const Deadline& d) { return s.write(fake, d); };
    auto verify = [&](const Deadline& d) { return s.verify(fake, d); };
    Status result = run_replace(fake, fake.general_pasteboard(), "text", *overall, write, verify);
    EXPECT_EQ(fake.count_calls("clear_contents"), s.clears) << s.name;
    if (!s.expected) {
      EXPECT_TRUE(result) << s.name << ": " << result.error().message;
      continue;
    }
    ASSERT_FALSE(result) << s.name;
    const AdapterError& e = result.error();
    EXPECT_EQ(e.code, s.expected->code) << s.name;
    EXPECT_EQ(e.message, s.expected->message) << s.name;
    EXPECT_EQ(e.platform_detail, s.expected->platform_detail) << s.name;
    EXPECT_EQ(e.details ? std::optional(e.details->dump()) : std::nullopt, s.expected->details)
        << s.name;
    EXPECT_EQ(e.delivery, s.expected->delivery) << s.name;
    EXPECT_EQ(e.retry, RetrySafety::unknown) << s.name;
    if (s.expected->delivery == DeliveryState::not_delivered) {
      EXPECT_EQ(fake.items.size(), 1u) << s.name << ": prior content must survive";
    }
  }
}

}  // namespace
}  // namespace morvane
