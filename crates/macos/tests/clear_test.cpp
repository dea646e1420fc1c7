#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_clear.h"
#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/clipboard_transaction.h"

namespace morvane {
namespace {

using testing::FakeClock;
using testing::FakePasteboardPlatform;

struct ClearRun {
  Outcome outcome;
  FakePasteboardPlatform fake;
};

TEST(ClearTest, Outcomes) {
  struct Case {
    const char* name;
    std::function<void(FakePasteboardPlatform&)> script;
    std::optional<ErrorCode> code;  // nullopt: success
    DeliveryState delivery;
    bool clears;
  };
  const Case cases[] = {
      {"success on an empty pasteboard", [](FakePasteboardPlatform&) {}, std::nullopt,
       DeliveryState::unknown, true},
      {"reads denied do not matter", [](FakePasteboardPlatform& f) { f.access = 3; },
       std::nullopt, DeliveryState::unknown, true},
      {"expired before the clear",
       [](FakePasteboardPlatform& f) {
         f.before_call = [](const std::string& call) {
           if (call == "general_pasteboard") FakeClock::advance_ms(100);
         };
       },
       ErrorCode::TIMEOUT, DeliveryState::not_delivered, false},
      {"negative token", [](FakePasteboardPlatform& f) { f.clear_result = -1; },
       ErrorCode::APP_UNRESPONSIVE, DeliveryState::delivery_uncertain, true},
      {"clear not sent before the deadline",
       [](FakePasteboardPlatform& f) { f.clear_waits_past_limit = true; }, ErrorCode::TIMEOUT,
       DeliveryState::not_delivered, true},
      {"another writer right after the clear",
       [](FakePasteboardPlatform& f) {
         f.before_call = [&f](const std::string& call) {
           if (call == "change_count") f.external_write({FakePasteboardPlatform::text_item(u"x")});
         };
       },
       ErrorCode::APP_UNRESPONSIVE, DeliveryState::delivery_uncertain, true},
      {"expired after a confirmed clear",
       [](FakePasteboardPlatform& f) {
         f.before_call = [](const std::string& call) {
           if (call == "change_count") FakeClock::advance_ms(100);
         };
       },
       ErrorCode::TIMEOUT, DeliveryState::delivered_verified, true},
      {"no pasteboard", [](FakePasteboardPlatform& f) { f.pasteboard_nil = true; },
       ErrorCode::ACTION_FAILED, DeliveryState::unknown, false},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    FakePasteboardPlatform fake;
    fake.items = {FakePasteboardPlatform::text_item(u"prior")};
    fake.count = 41;
    c.script(fake);
    auto deadline = Deadline::after(50);
    ASSERT_TRUE(deadline);
    Outcome outcome = clear_on(fake, *deadline);
    EXPECT_EQ(fake.pools_created, 1) << c.name;
    EXPECT_EQ(fake.pools_drained, 1) << c.name;
    EXPECT_EQ(fake.count_calls("clear_contents"), c.clears ? 1 : 0) << c.name;
    if (!c.code) {
      ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().message;
      EXPECT_EQ(serialize_json(outcome->metadata), R"({"delivery":"committed_verified","kind":"none"})");
      EXPECT_TRUE(outcome->payload.empty());
      EXPECT_EQ(fake.count, 42);
      EXPECT_TRUE(fake.items.empty());
      continue;
    }
    ASSERT_FALSE(outcome) << c.name;
    EXPECT_EQ(outcome.error().code, *c.code) << c.name;
    EXPECT_EQ(outcome.error().delivery, c.delivery) << c.name;
    if (!c.clears) {
      EXPECT_EQ(fake.count, 41) << c.name;
    }
  }
}

TEST(ClearTest, NegativeTokenIsNotComparedWithTheChangeCount) {
  FakeClock clock;
  FakePasteboardPlatform fake;
  fake.clear_result = -1;
  auto deadline = Deadline::after(50);
  Outcome outcome = clear_on(fake, *deadline);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(fake.count_calls("change_count"), 0);
  EXPECT_EQ(outcome.error().message, "Clipboard clear delivery is uncertain");
  EXPECT_EQ(outcome.error().platform_detail, "clipboard ownership could not be verified");
  EXPECT_EQ(outcome.error().suggestion,
            "Inspect the clipboard state before deciding whether to repeat the write");
}

TEST(DeliveryOutcomeTest, ConstructorsBuildTheFixedTexts) {
  auto uncertain = clipboard_transaction::delivery_uncertain("image", "some detail");
  EXPECT_EQ(uncertain.code, ErrorCode::APP_UNRESPONSIVE);
  EXPECT_EQ(uncertain.message, "Clipboard image delivery is uncertain");
  EXPECT_EQ(uncertain.suggestion,
            "Inspect the clipboard state before deciding whether to repeat the write");
  EXPECT_EQ(uncertain.platform_detail, "some detail");
  EXPECT_FALSE(uncertain.details);
  EXPECT_EQ(uncertain.retry, RetrySafety::unknown);
  EXPECT_EQ(uncertain.delivery, DeliveryState::delivery_uncertain);

  auto unverified = clipboard_transaction::delivered_unverified("file URLs", "d");
  EXPECT_EQ(unverified.message, "Clipboard file URLs delivery could not be verified");
  EXPECT_EQ(unverified.delivery, DeliveryState::delivered_unverified);

  auto write = clipboard_transaction::write_failure("text");
  EXPECT_EQ(write.code, ErrorCode::ACTION_FAILED);
  EXPECT_EQ(write.message, "Clipboard text write failed");
  EXPECT_EQ(write.delivery, DeliveryState::unknown);
  EXPECT_EQ(clipboard_transaction::retention_failure("image").message,
            "Clipboard image did not retain the intended content");
}

}  // namespace
}  // namespace morvane
