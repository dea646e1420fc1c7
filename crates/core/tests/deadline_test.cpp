#include "wait/deadline.h"

#include <gtest/gtest.h>

#include <limits>

#include "fake_clock.h"

namespace morvane {
namespace {

using testing::FakeClock;

TEST(DeadlineTest, ZeroTimeoutIsExpiredAtOnce) {
  FakeClock clock;
  auto deadline = Deadline::after(0);
  ASSERT_TRUE(deadline);
  EXPECT_TRUE(deadline->is_expired());
  auto status = deadline->ensure_remaining();
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code, ErrorCode::TIMEOUT);
}

TEST(DeadlineTest, LimitIsInclusive) {
  FakeClock clock;
  EXPECT_TRUE(Deadline::after(86'400'000));
  auto over = Deadline::after(86'400'001);
  ASSERT_FALSE(over);
  const AdapterError& e = over.error();
  EXPECT_EQ(e.code, ErrorCode::INVALID_ARGS);
  EXPECT_EQ(e.message, "Timeout exceeds the 86400000ms maximum");
  EXPECT_EQ(e.suggestion, "Choose a timeout between 0 and 86400000 milliseconds");
  EXPECT_EQ(e.details->dump(), R"({"max_timeout_ms":86400000,"timeout_ms":86400001})");
  EXPECT_EQ(e.retry, RetrySafety::unknown);
  EXPECT_EQ(e.delivery, DeliveryState::unknown);
}

TEST(DeadlineTest, ExpiresExactlyAtExpiresAt) {
  FakeClock clock(Instant{50, 999'000'000});
  auto deadline = Deadline::after(1500);
  ASSERT_TRUE(deadline);
  EXPECT_EQ(deadline->expires_at(), (Instant{52, 499'000'000}));
  FakeClock::advance_ns(1'499'999'999);
  EXPECT_FALSE(deadline->is_expired());
  EXPECT_EQ(deadline->remaining(), (Duration{0, 1}));
  EXPECT_TRUE(deadline->ensure_remaining());
  FakeClock::advance_ns(1);
  EXPECT_TRUE(deadline->is_expired());
  EXPECT_EQ(deadline->remaining(), Duration{});
  FakeClock::advance_ms(10);
  EXPECT_EQ(deadline->remaining(), Duration{});
}

TEST(DeadlineTest, UnrepresentableExpiryIsRefused) {
  FakeClock clock(Instant{std::numeric_limits<std::int64_t>::max() - 1, 500'000'000});
  auto deadline = Deadline::after(1600);
  ASSERT_FALSE(deadline);
  EXPECT_EQ(deadline.error().message, "Timeout cannot be represented safely");
  EXPECT_EQ(deadline.error().details->dump(), R"({"timeout_ms":1600})");
  EXPECT_FALSE(deadline.error().suggestion);
  // The carry alone must not overflow either.
  FakeClock::set(Instant{std::numeric_limits<std::int64_t>::max(), 500'000'000});
  EXPECT_FALSE(Deadline::after(600));
  EXPECT_TRUE(Deadline::after(400));
}

TEST(DeadlineTest, AfterDurationRoundsUpToWholeMilliseconds) {
  FakeClock clock;
  struct Case {
    Duration duration;
    std::uint64_t expected_ms;
  };
  const Case cases[] = {
      {{0, 1}, 1}, {{0, 2'500'000}, 3}, {{2, 0}, 2000}, {{0, 0}, 0}, {{1, 999'999'999}, 2000},
      {{86'400, 0}, 86'400'000},
  };
  for (const auto& c : cases) {
    auto deadline = Deadline::after_duration(c.duration);
    ASSERT_TRUE(deadline);
    EXPECT_EQ(deadline->timeout_ms(), c.expected_ms);
  }
  auto too_long = Deadline::after_duration(Duration{86'400, 1});
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().message, "Timeout exceeds the 86400000ms maximum");
  auto huge = Deadline::after_duration(Duration{std::numeric_limits<std::int64_t>::max(), 0});
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message, "Timeout is too large");
  EXPECT_FALSE(huge.error().details);
}

TEST(DeadlineTest, TimeoutErrorTruncatesElapsedTime) {
  FakeClock clock;
  auto deadline = Deadline::after(1);
  ASSERT_TRUE(deadline);
  FakeClock::advance_ns(1'999'000);
  AdapterError e = deadline->timeout_error();
  EXPECT_EQ(e.code, ErrorCode::TIMEOUT);
  EXPECT_EQ(e.message, "Operation exceeded its deadline");
  EXPECT_EQ(e.suggestion, "The target application may be busy or unresponsive");
  EXPECT_EQ(e.details->dump(), R"({"elapsed_ms":1,"kind":"deadline","timeout_ms":1})");
  EXPECT_EQ(e.retry, RetrySafety::unknown);
  EXPECT_EQ(e.delivery, DeliveryState::unknown);
  EXPECT_FALSE(e.platform_detail);
}

TEST(DeadlineTest, ClockGoingBackwardsCountsAsNoTimeElapsed) {
  FakeClock clock(Instant{100, 0});
  auto deadline = Deadline::after(5);
  ASSERT_TRUE(deadline);
  FakeClock::set(Instant{99, 0});
  EXPECT_EQ(deadline->timeout_error().details->at("elapsed_ms"), 0);
  EXPECT_EQ(deadline->remaining(), (Duration{1, 5'000'000}));
}

}  // namespace
}  // namespace morvane
