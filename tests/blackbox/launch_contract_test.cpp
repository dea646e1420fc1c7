// The helper's launch contract, through the real program: what is a broken launch (status 2,
// no output), what is an unsupported operation (a failure response), and the response limits.
#include <gtest/gtest.h>

#include "client/helper_client.h"
#include "helper_paths.h"

namespace morvane::blackbox {
namespace {

using client::Launch;
using client::run_raw;

Launch launch_of(std::vector<std::string> arguments) {
  Launch launch;
  launch.program = helper_path();
  launch.arguments = std::move(arguments);
  launch.request = std::string();
  return launch;
}

void expect_rejected(const Launch& launch, const std::string& label) {
  auto raw = run_raw(launch);
  ASSERT_TRUE(raw) << raw.error();
  EXPECT_EQ(raw->status, 2) << label;
  EXPECT_EQ(raw->output, "") << label;
  EXPECT_EQ(raw->error_output, "") << label;
}

TEST(LaunchContractTest, BrokenEnvironmentIsStatusTwoWithNoOutput) {
  const std::string build = client::kBuildIdentity;
  std::string build_one_off = build;
  build_one_off.back() = '6';
  struct Case {
    const char* variable;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"MORVANE_MACOS_HELPER_MODE", std::nullopt},
      {"MORVANE_MACOS_HELPER_MODE", "Clipboard"},
      {"MORVANE_MACOS_HELPER_MODE", "clipboard "},
      {"MORVANE_MACOS_HELPER_MODE", ""},
      {"MORVANE_MACOS_HELPER_PROTOCOL", std::nullopt},
      {"MORVANE_MACOS_HELPER_PROTOCOL", "01"},
      {"MORVANE_MACOS_HELPER_PROTOCOL", "2"},
      {"MORVANE_MACOS_HELPER_BUILD", std::nullopt},
      {"MORVANE_MACOS_HELPER_BUILD", build_one_off},
      {"MORVANE_MACOS_HELPER_BUILD", build + "\xff"},
      {"MORVANE_MACOS_HELPER_OUTPUT_FD", std::nullopt},
      {"MORVANE_MACOS_HELPER_OUTPUT_FD", "2"},
      {"MORVANE_MACOS_HELPER_OUTPUT_FD", "01"},
      {"MORVANE_MACOS_HELPER_TOKEN", std::nullopt},
      {"MORVANE_MACOS_HELPER_TOKEN", std::string(63, 'a')},
      {"MORVANE_MACOS_HELPER_TOKEN", std::string(65, 'a')},
      {"MORVANE_MACOS_HELPER_TOKEN", std::string(63, 'a') + "g"},
      {"MORVANE_MACOS_HELPER_TOKEN", std::string(63, 'a') + " "},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", std::nullopt},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", ""},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", " 250"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "250 "},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "250ms"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "-1"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "+"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "-"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "++1"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "0x10"},
      {"MORVANE_MACOS_HELPER_DEADLINE_MS", "18446744073709551616"},
  };
  for (const auto& c : cases) {
    Launch launch = launch_of({"read:text"});
    launch.environment[c.variable] = c.value;
    expect_rejected(launch, std::string(c.variable) + "=" + c.value.value_or("<unset>"));
  }
}

TEST(LaunchContractTest, AcceptedDeadlinesReachTheOperation) {
  for (const char* deadline : {"+250", "0", "1", "60000", "999999", "18446744073709551615"}) {
    Launch launch = launch_of({"no-such-operation"});
    launch.deadline_ms = deadline;
    auto response = client::call(launch);
    ASSERT_TRUE(response) << deadline << ": " << response.error();
    EXPECT_EQ(response->status, 1) << deadline;
  }
}

TEST(LaunchContractTest, MissingOrNonUtf8CommandLineIsStatusTwo) {
  expect_rejected(launch_of({}), "no operation");
  expect_rejected(launch_of({"read:text\xc3"}), "truncated UTF-8 operation");
  expect_rejected(launch_of({"write:image", "1", "\xff", "1"}), "non-UTF-8 argument");
}

TEST(LaunchContractTest, TokenIsEchoedAsSent) {
  Launch launch = launch_of({"no-such-operation"});
  launch.token = std::string(32, 'A') + std::string(16, 'f') + std::string(16, '9');
  auto response = client::call(launch);
  ASSERT_TRUE(response) << response.error();
  EXPECT_EQ(response->header["token"], launch.token);
}

TEST(LaunchContractTest, UnsupportedOperationsGetTheExactFailureHeader) {
  struct Case {
    std::vector<std::string> arguments;
    const char* delivery;
    const char* retry;
  };
  const Case cases[] = {
      {{"Read:text"}, "unknown", "unknown"},
      {{"read:text "}, "unknown", "unknown"},
      {{"read:text", "extra"}, "unknown", "unknown"},
      {{"clear", "extra"}, "not_delivered", "safe"},
      {{"write:image", "1", "1"}, "not_delivered", "safe"},
      {{"write:nothing"}, "not_delivered", "safe"},
      {{"clear "}, "unknown", "unknown"},
  };
  for (const auto& c : cases) {
    Launch launch = launch_of(c.arguments);
    // A request that is never read: the helper must answer without consuming it.
    launch.request = std::string(1 << 20, 'x');
    auto raw = run_raw(launch);
    ASSERT_TRUE(raw) << raw.error();
    nlohmann::json operation = c.arguments[0];
    const std::string expected =
        std::string(R"({"build":"1.2.0:aarch64-apple-darwin:10.15","disposition":{"delivery":")") +
        c.delivery + R"(","retry":")" + c.retry +
        R"("},"error_code":"INVALID_ARGS","message":"Unsupported macOS clipboard helper operation","ok":false,"operation":)" +
        operation.dump() + R"(,"payload_len":0,"protocol":"1","token":")" + raw->token +
        "\"}\n";
    EXPECT_EQ(raw->output, expected) << c.arguments[0];
    EXPECT_EQ(raw->status, 1);
    EXPECT_EQ(raw->error_output, "");
  }
}

TEST(LaunchContractTest, HeaderOverTheLimitIsStatusThreeAndNothingWritten) {
  auto raw = run_raw(launch_of({std::string(20000, 'a')}));
  ASSERT_TRUE(raw) << raw.error();
  EXPECT_EQ(raw->status, 3);
  EXPECT_EQ(raw->output, "");
}

TEST(LaunchContractTest, VanishedReaderIsStatusThree) {
  Launch launch = launch_of({"no-such-operation"});
  launch.close_response_early = true;
  auto raw = run_raw(launch);
  ASSERT_TRUE(raw) << raw.error();
  EXPECT_EQ(raw->signal, 0);
  EXPECT_EQ(raw->status, 3);
}

TEST(LaunchContractTest, ClosedStandardInputStillGetsAResponse) {
  Launch launch = launch_of({"no-such-operation"});
  launch.request = std::nullopt;
  auto response = client::call(launch);
  ASSERT_TRUE(response) << response.error();
  EXPECT_EQ(response->status, 1);
}

}  // namespace
}  // namespace morvane::blackbox
