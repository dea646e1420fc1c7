#pragma once

#include <string>

namespace morvane::blackbox {

inline std::string bin(const std::string& program) {
  return std::string(MORVANE_BIN_DIR) + "/" + program;
}
inline std::string helper_path() { return bin("morvane_macos_helper"); }

}  // namespace morvane::blackbox
