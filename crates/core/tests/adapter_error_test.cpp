#include "response/adapter_error.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(AdapterErrorTest, WireStringsFollowTheFixedValues) {
  const std::pair<int, std::string_view> codes[] = {
      {0, "PERM_DENIED"},       {1, "ELEMENT_NOT_FOUND"},      {2, "APP_NOT_FOUND"},
      {3, "ACTION_FAILED"},     {4, "ACTION_NOT_SUPPORTED"},   {5, "STALE_REF"},
      {6, "AMBIGUOUS_TARGET"},  {7, "WINDOW_NOT_FOUND"},       {8, "PLATFORM_NOT_SUPPORTED"},
      {9, "TIMEOUT"},           {10, "INVALID_ARGS"},          {11, "NOTIFICATION_NOT_FOUND"},
      {12, "SNAPSHOT_NOT_FOUND"}, {13, "POLICY_DENIED"},       {14, "APP_UNRESPONSIVE"},
      {15, "INTERNAL"},
  };
  for (const auto& [value, wire] : codes) {
    EXPECT_EQ(wire_string(static_cast<ErrorCode>(value)), wire) << value;
  }
  const std::pair<DeliveryState, std::string_view> deliveries[] = {
      {DeliveryState::unknown, "unknown"},
      {DeliveryState::not_delivered, "not_delivered"},
      {DeliveryState::delivery_uncertain, "delivery_uncertain"},
      {DeliveryState::delivered_unverified, "delivered_unverified"},
      {DeliveryState::delivered_verified, "delivered_verified"},
  };
  for (const auto& [state, wire] : deliveries) EXPECT_EQ(wire_string(state), wire);
  EXPECT_EQ(wire_string(RetrySafety::unknown), "unknown");
  EXPECT_EQ(wire_string(RetrySafety::safe), "safe");
  EXPECT_EQ(wire_string(RetrySafety::unsafe), "unsafe");
}

TEST(AdapterErrorTest, FreshRecordHasOnlyCodeAndMessage) {
  auto error = AdapterError::make(ErrorCode::TIMEOUT, "Operation exceeded its deadline");
  EXPECT_EQ(error.display(), "Operation exceeded its deadline");
  EXPECT_FALSE(error.suggestion);
  EXPECT_FALSE(error.platform_detail);
  EXPECT_FALSE(error.details);
  EXPECT_EQ(error.retry, RetrySafety::unknown);
  EXPECT_EQ(error.delivery, DeliveryState::unknown);
}

TEST(AdapterErrorTest, WithDetailsTakesRetryOnlyFromABooleanRetryable) {
  using nlohmann::json;
  struct Case {
    const char* name;
    json details;
    RetrySafety expected;
  };
  const Case cases[] = {
      {"true", json{{"retryable", true}, {"other", 1}}, RetrySafety::safe},
      {"false", json{{"retryable", false}}, RetrySafety::unsafe},
      {"string", json{{"retryable", "true"}}, RetrySafety::unknown},
      {"number", json{{"retryable", 1}}, RetrySafety::unknown},
      {"null", json{{"retryable", nullptr}}, RetrySafety::unknown},
      {"other case", json{{"Retryable", true}}, RetrySafety::unknown},
      {"no member", json{{"kind", "x"}}, RetrySafety::unknown},
      {"empty object", json::object(), RetrySafety::unknown},
      {"array", json::array({true}), RetrySafety::unknown},
      {"boolean", json(true), RetrySafety::unknown},
  };
  for (const auto& c : cases) {
    auto error = AdapterError::make(ErrorCode::INTERNAL, "x").with_details(c.details);
    EXPECT_EQ(error.retry, c.expected) << c.name;
    EXPECT_EQ(*error.details, c.details) << c.name;
  }
}

TEST(AdapterErrorTest, SecondDetailsReplaceTheFirst) {
  using nlohmann::json;
  auto replaced = AdapterError::make(ErrorCode::INTERNAL, "x")
                      .with_details(json{{"retryable", true}, {"a", 1}})
                      .with_details(json{{"retryable", false}});
  EXPECT_EQ(replaced.retry, RetrySafety::unsafe);
  EXPECT_EQ(*replaced.details, (json{{"retryable", false}}));

  auto kept = AdapterError::make(ErrorCode::INTERNAL, "x")
                  .with_details(json{{"retryable", true}})
                  .with_details(json{{"b", 2}});
  EXPECT_EQ(kept.retry, RetrySafety::safe);
  EXPECT_EQ(*kept.details, (json{{"b", 2}}));
}

TEST(AdapterErrorTest, BuilderStepsCarryEveryOtherField) {
  auto error = AdapterError::make(ErrorCode::ACTION_FAILED, "m")
                   .with_suggestion("s.")
                   .with_platform_detail("p")
                   .with_delivery(DeliveryState::delivered_unverified)
                   .with_details(nlohmann::json{{"k", 1}});
  EXPECT_EQ(error.code, ErrorCode::ACTION_FAILED);
  EXPECT_EQ(error.message, "m");
  EXPECT_EQ(error.suggestion, "s.");
  EXPECT_EQ(error.platform_detail, "p");
  EXPECT_EQ(error.delivery, DeliveryState::delivered_unverified);
}

}  // namespace
}  // namespace morvane
