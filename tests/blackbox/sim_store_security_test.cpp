// The simulated pasteboard's store among hostile neighbours, through the built programs: where
// the store lives by default, which files and folders are refused (and left untouched), no
// temporary file left behind by a failed or killed writer, and readers that survive a store
// shortened in place or swapped for a corrupt one under them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "sim_support.h"

namespace morvane::blackbox {
namespace {

namespace fs = std::filesystem;
using client::Launch;

constexpr uid_t kOtherUser = 65534;  // nobody
const char* const kUnavailable = "System clipboard is unavailable";

bool can_give_files_away() { return ::geteuid() == 0; }

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// A fresh folder of this test's own (0700), removed afterwards whatever was done to it.
class Scratch {
 public:
  Scratch() {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("morvane-store-sec-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directory(dir_);
    fs::permissions(dir_, fs::perms::owner_all);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

using Environment = std::map<std::string, std::optional<std::string>>;

Environment named_store(const fs::path& store) {
  return {{"MORVANE_SIM_PASTEBOARD", store.string()}};
}

client::RawResult run_tool(const Environment& environment, std::vector<std::string> arguments) {
  Launch launch;
  launch.program = bin("sim_pasteboard");
  launch.arguments = std::move(arguments);
  launch.request = std::string();
  launch.environment = environment;
  auto raw = client::run_raw(launch);
  return raw ? *raw : client::RawResult{};
}

Launch helper(const Environment& environment, std::vector<std::string> arguments,
              std::string request = {}) {
  Launch launch;
  launch.program = helper_path();
  launch.arguments = std::move(arguments);
  launch.request = std::move(request);
  launch.environment = environment;
  return launch;
}

std::vector<std::string> temporaries_in(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp") != std::string::npos) found.push_back(name);
  }
  return found;
}

// Refused means: the helper reports the unavailable pasteboard for a read and a write, the
// other application's write fails, and none of them wrote or truncated anything first.
void expect_refused(const Environment& environment, const std::string& what) {
  auto read = client::call(helper(environment, {"read:text"}));
  ASSERT_TRUE(read) << what << ": " << read.error();
  EXPECT_EQ(read->header["message"], kUnavailable) << what << ": " << read->header_text;
  auto write = client::call(helper(environment, {"write:text"}, "new"));
  ASSERT_TRUE(write) << what << ": " << write.error();
  EXPECT_EQ(write->header["message"], kUnavailable) << what << ": " << write->header_text;
  EXPECT_EQ(write->header["disposition"]["delivery"], "not_delivered") << what;
  auto tool = run_tool(environment, {"write", "--text", "new"});
  EXPECT_EQ(tool.status, 3) << what << ": " << tool.error_output;
}

void expect_usable(const Environment& environment, const std::string& what) {
  auto write = client::call(helper(environment, {"write:text"}, "new"));
  ASSERT_TRUE(write) << what << ": " << write.error();
  EXPECT_EQ(write->status, 0) << what << ": " << write->header_text;
  auto read = client::call(helper(environment, {"read:text"}));
  ASSERT_TRUE(read) << what << ": " << read.error();
  EXPECT_EQ(read->payload, "new") << what << ": " << read->header_text;
}

struct PermissionRow {
  const char* what;
  // Arranges the folder and files; returns the paths whose bytes must survive unchanged.
  std::function<std::vector<fs::path>(const fs::path& dir, const fs::path& store)> arrange;
  bool usable;
  bool needs_other_user = false;
  // The helper runs under umask 0277 on the default store in a fresh temporary folder, so that
  // it makes the private folder and the lock file itself, and two writes must succeed.
  bool restrictive_umask = false;
};

// A launch of the helper that file modes bind: root ignores them, so as root the helper runs
// without any capability (setpriv), still as the owner of the files.
Launch bound_by_modes(Launch launch) {
  if (::geteuid() != 0) return launch;
  launch.arguments.insert(launch.arguments.begin(),
                          {"--inh-caps=-all", "--bounding-set=-all", launch.program});
  launch.program = "/usr/bin/setpriv";
  return launch;
}

void expect_two_writes_under_umask(const fs::path& dir, const std::string& what) {
  const Environment environment{{"MORVANE_SIM_PASTEBOARD", std::nullopt},
                                {"XDG_RUNTIME_DIR", std::nullopt},
                                {"TMPDIR", dir.string()}};
  struct RestrictiveUmask {
    mode_t previous = ::umask(0277);
    ~RestrictiveUmask() { ::umask(previous); }
  };
  std::optional<RestrictiveUmask> umask_in_force(std::in_place);
  for (const char* text : {"first", "second"}) {
    const Launch launch = helper(environment, {"write:text"}, text);
    auto raw = client::run_raw(bound_by_modes(launch));
    ASSERT_TRUE(raw) << what << ": " << raw.error();
    auto write = client::parse_response(*raw, launch);
    ASSERT_TRUE(write) << what << ": " << write.error();
    EXPECT_EQ(write->status, 0) << what << ", " << text << ": " << write->header_text;
  }
  umask_in_force.reset();
  auto read = client::call(helper(environment, {"read:text"}));
  ASSERT_TRUE(read) << what << ": " << read.error();
  EXPECT_EQ(read->payload, "second") << what << ": " << read->header_text;
}

std::vector<fs::path> plant_file(const fs::path& path, mode_t mode, bool other_user) {
  write_file(path, "planted by someone else");
  ::chmod(path.c_str(), mode);
  if (other_user && ::chown(path.c_str(), kOtherUser, kOtherUser) != 0) std::abort();
  return {path};
}

TEST(SimStoreSecurityTest, FilesAndFoldersOthersCouldChangeAreRefusedUntouched) {
  MORVANE_STAND_IN_ONLY("the store file and its folder");
  const PermissionRow rows[] = {
      {"store writable by others",
       [](const fs::path&, const fs::path& store) {
         ::chmod(store.c_str(), 0666);
         return std::vector<fs::path>{store};
       },
       false},
      {"store of another user",
       [](const fs::path&, const fs::path& store) {
         if (::chown(store.c_str(), kOtherUser, kOtherUser) != 0) std::abort();
         return std::vector<fs::path>{store};
       },
       false, true},
      {"lock file of another user, open to all",
       [](const fs::path&, const fs::path& store) {
         auto kept = plant_file(store.string() + ".lock", 0666, true);
         kept.push_back(store);
         return kept;
       },
       false, true},
      {"lock file writable by others",
       [](const fs::path&, const fs::path& store) {
         auto kept = plant_file(store.string() + ".lock", 0666, false);
         kept.push_back(store);
         return kept;
       },
       false},
      {"store that is a FIFO",
       [](const fs::path&, const fs::path& store) {
         fs::remove(store);
         ::mkfifo(store.c_str(), 0600);
         return std::vector<fs::path>{};
       },
       false},
      {"folder others can write, not sticky",
       [](const fs::path& dir, const fs::path& store) {
         ::chmod(dir.c_str(), 0777);
         return std::vector<fs::path>{store};
       },
       false},
      {"folder of another user",
       [](const fs::path& dir, const fs::path& store) {
         if (::chown(dir.c_str(), kOtherUser, kOtherUser) != 0) std::abort();
         return std::vector<fs::path>{store};
       },
       false, true},
      {"sticky folder open to all, like /tmp",
       [](const fs::path& dir, const fs::path&) {
         ::chmod(dir.c_str(), 01777);
         return std::vector<fs::path>{};
       },
       true},
      // The old fixed temporary name, and one of the new ones, planted by another user: a
      // write goes on, and neither file is emptied or removed.
      {"temporary names planted by another user",
       [](const fs::path& dir, const fs::path& store) {
         ::chmod(dir.c_str(), 01777);
         auto kept = plant_file(store.string() + ".tmp", 0666, true);
         auto fresh = plant_file(store.string() + ".tmp.0123456789abcdef", 0666, true);
         kept.insert(kept.end(), fresh.begin(), fresh.end());
         return kept;
       },
       true, true},
      {"folder and lock file made under umask 0277", {}, true, false, true},
  };
  for (const PermissionRow& row : rows) {
    if (row.needs_other_user && !can_give_files_away()) {
      std::printf("skipped \"%s\": giving a file to another user needs root\n", row.what);
      continue;
    }
    Scratch scratch;
    if (row.restrictive_umask) {
      expect_two_writes_under_umask(scratch.dir(), row.what);
      continue;
    }
    const fs::path store = scratch.dir() / "pb";
    const Environment environment = named_store(store);
    ASSERT_EQ(run_tool(environment, {"write", "--text", "before"}).status, 0) << row.what;
    std::vector<std::pair<fs::path, std::string>> kept;
    for (const fs::path& path : row.arrange(scratch.dir(), store)) {
      kept.emplace_back(path, file_bytes(path));
    }
    if (row.usable) {
      expect_usable(environment, row.what);
    } else {
      expect_refused(environment, row.what);
    }
    for (const auto& [path, bytes] : kept) {
      EXPECT_EQ(file_bytes(path), bytes) << row.what << ": " << path << " changed";
    }
  }
}

// Without MORVANE_SIM_PASTEBOARD the store lives in a private folder: made 0700 when missing,
// and refused when it is not a real folder of this user closed to everyone else.
TEST(SimStoreSecurityTest, TheDefaultStoreLivesInAPrivateFolder) {
  MORVANE_STAND_IN_ONLY("the store file and its folder");
  Scratch scratch;
  const fs::path temporary = scratch.dir() / "tmp";
  const fs::path runtime = scratch.dir() / "runtime";
  fs::create_directory(temporary);
  fs::create_directory(runtime);
  const std::string uid = std::to_string(::geteuid());
  const fs::path folder = temporary / ("morvane-sim-pasteboard-" + uid);
  const Environment in_temporary{{"MORVANE_SIM_PASTEBOARD", std::nullopt},
                                 {"XDG_RUNTIME_DIR", std::nullopt},
                                 {"TMPDIR", temporary.string()}};

  ASSERT_EQ(run_tool(in_temporary, {"write", "--text", "private"}).status, 0);
  struct stat status {};
  ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((folder / "pasteboard").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  auto read = client::call(helper(in_temporary, {"read:text"}));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->payload, "private");

  ::chmod(folder.c_str(), 0755);
  expect_refused(in_temporary, "private folder open to others");
  fs::remove_all(folder);
  fs::create_directory(scratch.dir() / "elsewhere");
  fs::create_directory_symlink(scratch.dir() / "elsewhere", folder);
  expect_refused(in_temporary, "private folder that is a link");
  EXPECT_TRUE(fs::is_empty(scratch.dir() / "elsewhere"));
  fs::remove(folder);
  if (can_give_files_away()) {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all);
    ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherUser), 0);
    expect_refused(in_temporary, "private folder of another user");
  } else {
    std::printf("skipped \"private folder of another user\": giving a folder away needs root\n");
  }

  const Environment in_runtime{{"MORVANE_SIM_PASTEBOARD", std::nullopt},
                               {"XDG_RUNTIME_DIR", runtime.string()}};
  fs::permissions(runtime, fs::perms::owner_all);
  expect_usable(in_runtime, "runtime folder");
  EXPECT_TRUE(fs::is_regular_file(runtime / "morvane-sim-pasteboard"));
  ::chmod(runtime.c_str(), 0777);
  expect_refused(in_runtime, "runtime folder open to others");
}

// Runs sim_pasteboard with a limit on the size of files it may write; SIGXFSZ is ignored, so
// the write fails with EFBIG instead of killing the process.
int run_tool_with_file_limit(const fs::path& store, std::vector<std::string> arguments,
                             rlim_t limit) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("MORVANE_SIM_PASTEBOARD", store.c_str(), 1);
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit file_limit{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &file_limit);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    std::string program = bin("sim_pasteboard");
    argv.push_back(program.data());
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimStoreSecurityTest, FailedAndKilledWritesLeaveNoTemporaryFiles) {
  MORVANE_STAND_IN_ONLY("the store file and its folder");
  Scratch scratch;
  const fs::path store = scratch.dir() / "pb";
  const Environment environment = named_store(store);
  const fs::path big = scratch.dir() / "big.png";
  write_file(big, std::string(8u << 20, 'p'));
  ASSERT_EQ(run_tool(environment, {"write", "--text", "before"}).status, 0);

  EXPECT_EQ(run_tool_with_file_limit(store, {"write", "--text", "after", "--png", big.string()}, 1u << 20), 3);
  EXPECT_EQ(temporaries_in(scratch.dir()), std::vector<std::string>{}) << "after a failed write";
  EXPECT_EQ(run_tool(environment, {"read", "text"}).output, "before");

  int killed = 0;
  int left_behind = 0;
  for (int delay_ms : {1, 3, 6, 10, 15, 25, 40}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("MORVANE_SIM_PASTEBOARD", store.c_str(), 1);
      std::string program = bin("sim_pasteboard");
      ::execl(program.c_str(), program.c_str(), "write", "--text", "after", "--png",
              big.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    if (!temporaries_in(scratch.dir()).empty()) ++left_behind;
    // The next write sweeps what a killed writer left.
    ASSERT_EQ(run_tool(environment, {"write", "--text", "before"}).status, 0);
    EXPECT_EQ(temporaries_in(scratch.dir()), std::vector<std::string>{}) << "after " << delay_ms << " ms";
  }
  std::printf("%d writers killed, %d left a temporary file for the next write to sweep\n", killed,
              left_behind);
}

// Another process, outside the protocol, keeps shortening the store in place and writing its
// bytes back. No reader may die of it or answer with anything but the whole text or an error.
TEST(SimStoreSecurityTest, ReadersSurviveAStoreShortenedUnderThem) {
  MORVANE_STAND_IN_ONLY("the store file and its folder");
  Scratch scratch;
  const fs::path store = scratch.dir() / "pb";
  const Environment environment = named_store(store);
  const std::string text = repeat("0123456789abcdef", 50'000);  // within the text budget
  const fs::path text_file = scratch.dir() / "text";
  write_file(text_file, text);
  ASSERT_EQ(run_tool(environment, {"write", "--text-file", text_file.string()}).status, 0);
  const std::string bytes = file_bytes(store);

  std::atomic<bool> stop = false;
  std::thread shortener([&] {
    const int fd = ::open(store.c_str(), O_WRONLY);
    while (!stop) {
      (void)::ftruncate(fd, 4096);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      (void)::pwrite(fd, bytes.data(), bytes.size(), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    ::close(fd);
  });
  int whole = 0, errors = 0;
  for (int i = 0; i < 60; ++i) {
    const Launch launch = helper(environment, {i % 2 == 0 ? "read:text" : "read:auto"});
    auto raw = client::run_raw(launch);
    ASSERT_TRUE(raw) << raw.error();
    ASSERT_EQ(raw->signal, 0) << "the helper died of signal " << raw->signal;
    auto read = client::parse_response(*raw, launch);
    ASSERT_TRUE(read) << read.error();
    if (read->status == 0) {
      ++whole;
      EXPECT_EQ(read->payload, text) << "a torn read answered as success";
    } else {
      ++errors;
      const std::string message = read->header["message"];
      EXPECT_TRUE(message == kUnavailable ||
                  message == "Clipboard helper operation was interrupted by a platform failure" ||
                  message == "Clipboard changed concurrently during a stable operation")
          << read->header_text;
    }
    auto tool = run_tool(environment, {"read", "text"});
    ASSERT_EQ(tool.signal, 0) << "sim_pasteboard died of signal " << tool.signal;
    EXPECT_TRUE(tool.status == 3 || tool.output == text) << tool.error_output;
  }
  stop = true;
  shortener.join();
  std::printf("%d whole reads, %d errors\n", whole, errors);
}

// A second process keeps renaming a valid store and a corrupt one over the path. A read may
// fail, but never answers that the pasteboard is empty.
TEST(SimStoreSecurityTest, AStoreSwappedForACorruptOneIsNeverAnEmptyPasteboard) {
  MORVANE_STAND_IN_ONLY("the store file and its folder");
  Scratch scratch;
  const fs::path store = scratch.dir() / "pb";
  const Environment environment = named_store(store);
  ASSERT_EQ(run_tool(environment, {"write", "--text", "kept"}).status, 0);
  const std::string valid = file_bytes(store);
  const std::string corrupt(valid.size(), 'x');

  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    const fs::path next = scratch.dir() / "next";
    for (int i = 0; !stop; ++i) {
      write_file(next, i % 2 == 0 ? corrupt : valid);
      ::chmod(next.c_str(), 0600);
      fs::rename(next, store);
    }
  });
  int ok = 0, failed = 0;
  for (int i = 0; i < 120; ++i) {
    auto read = client::call(helper(environment, {i % 2 == 0 ? "read:text" : "read:auto"}));
    ASSERT_TRUE(read) << read.error();
    if (read->status == 0) {
      ++ok;
      EXPECT_EQ(read->header["metadata"]["kind"], "text") << read->header_text;
      EXPECT_EQ(read->payload, "kept");
    } else {
      ++failed;
      const std::string message = read->header["message"];
      EXPECT_TRUE(message == kUnavailable ||
                  message == "Clipboard helper operation was interrupted by a platform failure")
          << read->header_text;
      EXPECT_EQ(read->header["disposition"]["delivery"], "unknown");
    }
  }
  stop = true;
  swapper.join();
  std::printf("%d reads answered, %d failed\n", ok, failed);
}

}  // namespace
}  // namespace morvane::blackbox
