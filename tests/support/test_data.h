#pragma once

// Where the peer test data lives: PngSuite and JSONTestSuite, kept in the repository under
// tests/data. The path is fixed at build time, so a test binary finds its data from any working
// directory; a test whose data is missing fails on the missing file rather than passing empty.

#include <filesystem>
#include <string_view>

namespace morvane::testing {

inline std::filesystem::path test_data(std::string_view relative) {
  return std::filesystem::path(MORVANE_TEST_DATA_DIR) / relative;
}

inline std::filesystem::path png_suite() { return test_data("pngsuite"); }
inline std::filesystem::path json_suite() { return test_data("jsontestsuite"); }

}  // namespace morvane::testing
