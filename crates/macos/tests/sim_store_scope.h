#pragma once

// A simulated general pasteboard of one test's own: a private (0700) folder for its store,
// named in MORVANE_SIM_PASTEBOARD while the scope lives, then removed with all that is in it.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace morvane::testing {

class ScopedSimStore {
 public:
  explicit ScopedSimStore(std::string_view tag) {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("morvane-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" +
            std::to_string(counter++));
    std::filesystem::create_directories(dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
    path_ = (dir_ / "pasteboard").string();
    ::setenv("MORVANE_SIM_PASTEBOARD", path_.c_str(), 1);
  }
  ~ScopedSimStore() {
    ::unsetenv("MORVANE_SIM_PASTEBOARD");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScopedSimStore(const ScopedSimStore&) = delete;
  ScopedSimStore& operator=(const ScopedSimStore&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  const std::string& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace morvane::testing
