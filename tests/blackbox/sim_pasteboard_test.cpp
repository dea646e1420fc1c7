// sim_pasteboard, the other application on the simulated pasteboard: its command line, what it
// plants and reads back, and the store under concurrent writers and writers killed midway.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "sim_support.h"
#include "support/test_data.h"

extern char** environ;

namespace morvane::blackbox {
namespace {

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(SimPasteboardToolTest, BadArgumentsAreUsageErrors) {
  SimPasteboard pb;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"paste"},
      {"clear", "now"},
      {"read"},
      {"read", "html"},
      {"read", "text", "png"},
      {"write", "--text"},
      {"write", "--text", "a", "--text", "b"},
      {"write", "--text", "a", "--text-file", "/dev/null"},
      {"write", "--png", "a.png", "--png", "b.png"},
      {"write", "--html", "x"},
      {"write", "--file-reference"},
      {"write", "--file-reference", ""},
      {"write", "--data", "public.tiff"},
      {"set", "access-behavior", "4"},
      {"set", "access-behavior", "-1"},
      {"set", "access-behavior", "01"},
      {"set", "refuse-writes", "yes"},
      {"set", "colour", "red"},
      {"set", "refuse-writes"},
      {"check", "now"},
  };
  for (const auto& arguments : cases) {
    auto raw = pb.tool(arguments);
    std::string label;
    for (const auto& a : arguments) label += a + " ";
    EXPECT_EQ(raw.status, 2) << label;
    EXPECT_EQ(raw.output, "") << label;
    EXPECT_NE(raw.error_output.find("usage:"), std::string::npos) << label;
  }
  if (kSimulatedPasteboard) {
    EXPECT_FALSE(std::filesystem::exists(pb.store())) << "refused before touching the store";
  }
}

TEST(SimPasteboardToolTest, WritePlantsItemsInArgumentOrder) {
  SimPasteboard pb;
  // Each write and clear is one step of the change count on the simulated pasteboard; AppKit
  // promises only that the count moves on.
  std::int64_t last = pb.change_count();
  auto expect_next_count = [&](const std::string& printed) {
    const std::int64_t now = std::stoll(printed);
    if (kSimulatedPasteboard) {
      EXPECT_EQ(now, last + 1);
    } else {
      EXPECT_GT(now, last);
    }
    last = now;
  };
  const auto png = testing::png_suite() / "basn6a08.png";
  auto written = pb.tool({"write", "--file-url", "file:///tmp/a%20b", "--plain-item", "--text",
                          "caf\xc3\xa9", "--png", png.string(), "--file-url", "not even a URL"});
  ASSERT_EQ(written.status, 0) << written.error_output;
  expect_next_count(written.output);
  EXPECT_EQ(pb.tool({"read", "text"}).output, "caf\xc3\xa9");
  EXPECT_EQ(pb.tool({"read", "png"}).output, file_bytes(png));
  EXPECT_EQ(pb.tool({"read", "file-urls"}).output, "file:///tmp/a%20b\nnot even a URL\n");
  EXPECT_EQ(pb.tool({"read", "change-count"}).output, std::to_string(last) + "\n");

  // A write replaces everything; text and PNG alone make one item.
  expect_next_count(pb.tool({"write", "--text", "only"}).output);
  EXPECT_EQ(pb.tool({"read", "text"}).output, "only");
  for (const char* what : {"png", "file-urls"}) {
    auto none = pb.tool({"read", what});
    EXPECT_EQ(none.status, 1) << what;
    EXPECT_EQ(none.output, "") << what;
  }
  expect_next_count(pb.tool({"clear"}).output);
  auto none = pb.tool({"read", "text"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.output, "");
}

TEST(SimPasteboardToolTest, TextFileCarriesTextsTooLongForACommandLine) {
  SimPasteboard pb;
  std::string text;
  for (int i = 0; i < 200'000; ++i) text += "\xf0\x9f\x98\x80 ";
  const auto file = pb.store().string() + ".txt";
  write_file(file, text);
  EXPECT_EQ(pb.tool({"write", "--text-file", file}).status, 0);
  EXPECT_EQ(pb.tool({"read", "text"}).output, text);

  write_file(file, "\xff not UTF-8");
  EXPECT_EQ(pb.tool({"write", "--text-file", file}).status, 3);
  EXPECT_EQ(pb.tool({"read", "text"}).output, text) << "a refused write changes nothing";
  EXPECT_EQ(pb.tool({"write", "--png", file + ".missing"}).status, 3);
  std::filesystem::remove(file);
}

TEST(SimPasteboardToolTest, SwitchesReachTheHelper) {
  MORVANE_STAND_IN_ONLY("set access-behavior and set refuse-writes");
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"write", "--text", "secret"}).status, 0);
  ASSERT_EQ(pb.tool({"set", "access-behavior", "3"}).status, 0);
  auto denied = client::call(pb.helper({"read:text"}));
  ASSERT_TRUE(denied) << denied.error();
  EXPECT_EQ(denied->header["message"], "System clipboard read access is denied");
  ASSERT_EQ(pb.tool({"set", "access-behavior", "1"}).status, 0);
  auto allowed = client::call(pb.helper({"read:text"}));
  ASSERT_TRUE(allowed) << allowed.error();
  EXPECT_EQ(allowed->payload, "secret");

  ASSERT_EQ(pb.tool({"set", "refuse-writes", "on"}).status, 0);
  auto refused = client::call(pb.helper({"write:text"}, "new"));
  ASSERT_TRUE(refused) << refused.error();
  EXPECT_EQ(refused->status, 1);
  ASSERT_EQ(pb.tool({"set", "refuse-writes", "off"}).status, 0);
  auto accepted = client::call(pb.helper({"write:text"}, "new"));
  ASSERT_TRUE(accepted) << accepted.error();
  EXPECT_EQ(accepted->status, 0) << accepted->header_text;
  EXPECT_EQ(pb.tool({"read", "text"}).output, "new");
}

TEST(SimPasteboardToolTest, ACorruptStoreIsReportedNotEmptied) {
  MORVANE_STAND_IN_ONLY("a store file to corrupt");
  SimPasteboard pb;
  ASSERT_EQ(pb.tool({"write", "--text", "x"}).status, 0);
  std::string bytes = file_bytes(pb.store());
  bytes[bytes.size() - 1] ^= 0x20;  // inside the text
  write_file(pb.store(), bytes);
  for (const char* what : {"text", "change-count"}) {
    auto read = pb.tool({"read", what});
    EXPECT_EQ(read.status, 3) << what;
    EXPECT_EQ(read.output, "") << what;
    EXPECT_NE(read.error_output.find("corrupt"), std::string::npos) << what;
  }
  EXPECT_EQ(pb.tool({"clear"}).status, 3);
  auto helper = client::call(pb.helper({"read:text"}));
  ASSERT_TRUE(helper) << helper.error();
  EXPECT_EQ(helper->header["message"], "System clipboard is unavailable");
}

// `check` names the first store rule that fails, by the helper's own checks, and
// clipboard_client says the same under an unavailable clipboard; the helper itself says nothing.
TEST(SimPasteboardToolTest, CheckNamesTheRuleAStoreBreaks) {
  MORVANE_STAND_IN_ONLY("a store file and its folder");
  namespace fs = std::filesystem;
  struct Row {
    const char* what;
    std::function<void(const fs::path& dir, const fs::path& store)> arrange;
    std::string line;  // with DIR and STORE for the paths
    int status;
    bool needs_root = false;
  };
  const Row rows[] = {
      {"a good store", [](const fs::path&, const fs::path&) {}, "store STORE: every rule holds", 0},
      {"a folder its group can write", [](const fs::path& dir, const fs::path&) {
         ::chmod(dir.c_str(), 0770);
       }, "folder DIR is writable by its group and not sticky", 3},
      {"a store of another user", [](const fs::path&, const fs::path& store) {
         if (::chown(store.c_str(), 65534, 65534) != 0) std::abort();
       }, "store STORE is owned by another user", 3, true},
  };
  for (const Row& row : rows) {
    if (row.needs_root && ::geteuid() != 0) {
      std::printf("skipped \"%s\": giving a file away needs root\n", row.what);
      continue;
    }
    static int counter = 0;
    const fs::path dir = fs::temp_directory_path() /
                         ("morvane-check-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directory(dir);
    fs::permissions(dir, fs::perms::owner_all);
    const fs::path store = dir / "pb";
    client::Launch tool;
    tool.program = bin("sim_pasteboard");
    tool.request = std::string();
    tool.environment["MORVANE_SIM_PASTEBOARD"] = store.string();
    tool.arguments = {"write", "--text", "x"};
    ASSERT_TRUE(client::run_raw(tool)) << row.what;
    row.arrange(dir, store);
    std::string line = row.line;
    for (auto [name, path] : {std::pair{"DIR", dir}, std::pair{"STORE", store}}) {
      if (auto at = line.find(name); at != std::string::npos) line.replace(at, std::strlen(name), path.string());
    }
    tool.arguments = {"check"};
    auto checked = client::run_raw(tool);
    ASSERT_TRUE(checked) << row.what;
    EXPECT_EQ(checked->status, row.status) << row.what;
    EXPECT_EQ(checked->output, line + "\n") << row.what;
    EXPECT_EQ(checked->error_output, "") << row.what;

    client::Launch read = tool;
    read.program = bin("clipboard_client");
    read.arguments = {"read:text"};
    auto client_read = client::run_raw(read);
    ASSERT_TRUE(client_read) << row.what;
    EXPECT_EQ(client_read->status, row.status == 0 ? 0 : 1) << row.what;
    EXPECT_EQ(client_read->error_output, row.status == 0 ? "" : "clipboard_client: " + line + "\n")
        << row.what;
    auto helper = client::run_raw([&] {
      client::Launch launch = tool;
      launch.program = helper_path();
      launch.arguments = {"read:text"};
      return launch;
    }());
    ASSERT_TRUE(helper) << row.what;
    EXPECT_EQ(helper->error_output, "") << row.what << ": the helper itself says nothing";
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, ignored);
    fs::remove_all(dir, ignored);
  }
}

// Several applications clear and write at once while another watches: every store it sees is
// whole, the change count never goes back, and no change is lost.
TEST(SimPasteboardToolTest, ConcurrentWritersNeverTearTheStore) {
  MORVANE_STAND_IN_ONLY("the store file's replacement under its lock");
  SimPasteboard pb;
  constexpr int kWriters = 4;
  constexpr int kRounds = 25;
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string text = "writer " + std::to_string(w) + " round " + std::to_string(round);
        auto raw = round % 5 == 4 ? pb.tool({"clear"})
                                  : pb.tool({"write", "--text", text, "--file-url", "file:///" + text});
        if (raw.status != 0) ++failures;
      }
    });
  }
  std::int64_t last = -1;
  int reads = 0;
  std::thread watcher([&] {
    while (writing) {
      auto count = pb.tool({"read", "change-count"});
      auto text = pb.tool({"read", "text"});
      if (count.status != 0 || (text.status != 0 && text.status != 1) ||
          (text.status == 0 && text.output.rfind("writer ", 0) != 0)) {
        ++failures;
        continue;
      }
      const std::int64_t now = std::stoll(count.output);
      if (now < last) ++failures;
      last = now;
      ++reads;
    }
  });
  for (auto& t : writers) t.join();
  writing = false;
  watcher.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(pb.change_count(), kWriters * kRounds);
}

pid_t spawn_tool(const SimPasteboard& pb, std::vector<std::string> arguments) {
  std::vector<std::string> env{"MORVANE_SIM_PASTEBOARD=" + pb.store().string()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).rfind("MORVANE_SIM_PASTEBOARD=", 0) != 0) env.emplace_back(*e);
  }
  arguments.insert(arguments.begin(), bin("sim_pasteboard"));
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A writer killed at any moment leaves the pasteboard as it was before, or as it wrote it.
TEST(SimPasteboardToolTest, AKilledWriterNeverLeavesATornStore) {
  MORVANE_STAND_IN_ONLY("the store file's replacement under its lock");
  SimPasteboard pb;
  const auto big = pb.store().string() + ".big";
  write_file(big, std::string(24u << 20, 'p'));
  ASSERT_EQ(pb.tool({"write", "--text", "before"}).status, 0);
  for (int delay_ms : {0, 1, 2, 5, 10, 20, 40, 80}) {
    const pid_t pid = spawn_tool(pb, {"write", "--text", "after", "--png", big});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto text = pb.tool({"read", "text"});
    ASSERT_EQ(text.status, 0) << "after " << delay_ms << " ms: " << text.error_output;
    EXPECT_TRUE(text.output == "before" || text.output == "after") << text.output;
    if (text.output == "after") {
      EXPECT_EQ(pb.tool({"read", "png"}).output.size(), 24u << 20);
      ASSERT_EQ(pb.tool({"write", "--text", "before"}).status, 0);
    }
  }
  std::filesystem::remove(big);
  // The next write sweeps whatever temporary file a killed writer left.
  ASSERT_EQ(pb.tool({"clear"}).status, 0);
  const std::string prefix = pb.store().filename().string() + ".tmp";
  for (const auto& entry : std::filesystem::directory_iterator(pb.store().parent_path())) {
    EXPECT_NE(entry.path().filename().string().rfind(prefix, 0), 0u) << entry.path();
  }
}

}  // namespace
}  // namespace morvane::blackbox
