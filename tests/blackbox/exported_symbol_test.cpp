#include <gtest/gtest.h>

#include "client/helper_client.h"
#include "helper_paths.h"

namespace morvane::blackbox {
namespace {

// The runtime routine must be reachable by its plain C name in the executable's dynamic symbol
// table, not mangled and not stripped as unused.
TEST(ExportedSymbolTest, RuntimeRoutineIsExportedUnmangled) {
  client::Launch launch;
  launch.program = "/usr/bin/nm";
#if defined(__APPLE__)
  // Mach-O: the external symbols the executable defines, with C's leading underscore.
  launch.arguments = {"-gU", helper_path()};
  const std::string expected = " T _morvane_ensure_cocoa_multithreaded\n";
#else
  // ELF: the dynamic symbol table.
  launch.arguments = {"-D", "--defined-only", helper_path()};
  const std::string expected = " T morvane_ensure_cocoa_multithreaded\n";
#endif
  launch.request = std::string();
  auto raw = client::run_raw(launch);
  ASSERT_TRUE(raw) << raw.error();
  ASSERT_EQ(raw->status, 0) << raw->error_output;
  EXPECT_NE(raw->output.find(expected), std::string::npos) << raw->output.substr(0, 2000);
}

}  // namespace
}  // namespace morvane::blackbox
