// Our own tools answer --help with their usage and --version with their release on standard
// output and status 0, and still refuse a real usage error with status 2.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/helper_client.h"
#include "helper_paths.h"
#include "sim_support.h"

namespace morvane::blackbox {
namespace {

client::RawResult run(const std::string& program, std::vector<std::string> arguments) {
  client::Launch launch;
  launch.program = program.starts_with("/") ? program : bin(program);
  launch.arguments = std::move(arguments);
  launch.request = std::string();
  // A store nobody else uses, in case a tool reaches for one.
  launch.environment["MORVANE_SIM_PASTEBOARD"] = "/nonexistent/morvane-help-test";
  auto raw = client::run_raw(launch);
  return raw ? *raw : client::RawResult{};
}

struct HelpCase {
  std::string program;
  std::vector<std::string> arguments;
  int status;
  std::vector<std::string> output_mentions;  // on standard output
  std::string error_mentions;                // on standard error
};

TEST(ToolHelpTest, HelpIsUsageAndSuccessAndMistakesStayErrors) {
  std::vector<HelpCase> cases = {
      {"clipboard_client", {"--help"}, 0,
       {"usage: clipboard_client", "write:image WIDTH HEIGHT SCALE", "validate:png", "--helper PATH",
        "beside this", "Exit status"}, ""},
      {"clipboard_client", {"-h"}, 0, {"usage: clipboard_client"}, ""},
      {"clipboard_client", {"--version"}, 0,
       {"clipboard_client " MORVANE_VERSION " (git ", "protocol 1, build identity 1.2.0:"}, ""},
      {"clipboard_client", {}, 2, {}, "usage: clipboard_client"},
      {"clipboard_client", {"--deadline"}, 2, {}, "usage: clipboard_client"},
      {"clipboard_client", {"--bogus", "x", "read:text"}, 2, {}, "usage: clipboard_client"},
      // After "--" even "--help" is an operation, which the helper refuses.
      {"clipboard_client", {"--", "--help"}, 1, {"\"error_code\":\"INVALID_ARGS\"", "\"operation\":\"--help\""}, ""},
  };
  // sim_pasteboard, or its twin on a Mac.
  const std::string other = other_application_program();
  cases.push_back({other, {"--help"}, 0,
                   {"usage:", "sim_pasteboard write", "sim_pasteboard check", "3 always deny",
                    "PERM_DENIED", "Exit status"},
                   ""});
  cases.push_back({other, {"help"}, 0, {"usage:"}, ""});
  cases.push_back({other, {"--version"}, 0, {" " MORVANE_VERSION " (git "}, ""});
  cases.push_back({other, {"--frobnicate"}, 2, {}, "unknown command --frobnicate"});
  for (const auto& c : cases) {
    const std::string label = c.program + (c.arguments.empty() ? "" : " " + c.arguments[0]);
    auto result = run(c.program, c.arguments);
    EXPECT_EQ(result.status, c.status) << label << ": " << result.error_output;
    for (const auto& mention : c.output_mentions) {
      EXPECT_NE(result.output.find(mention), std::string::npos) << label << " lacks " << mention;
    }
    if (c.error_mentions.empty()) {
      EXPECT_EQ(result.error_output, "") << label;
    } else {
      EXPECT_NE(result.error_output.find(c.error_mentions), std::string::npos) << label;
      EXPECT_EQ(result.output, "") << label;
    }
  }
}

}  // namespace
}  // namespace morvane::blackbox
