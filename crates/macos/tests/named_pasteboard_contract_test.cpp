// The seam's contract on the implementation this program was built with (AppKit on macOS, the
// simulated pasteboard elsewhere), on a pasteboard of its own name so that the user's clipboard
// is never touched. Another application is another process: this test program started again in
// the role of the other writer, so ownership really passes to someone else.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "input/clipboard/pasteboard_platform_testing.h"
#include "pasteboard_contract.h"

extern char** environ;

namespace morvane::testing {
namespace {

constexpr const char* kWriterVariable = "MORVANE_CONTRACT_OTHER_WRITER";

nlohmann::json describe(const std::string& name, const std::vector<ContractItem>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const ContractItem& i : items) {
    nlohmann::json item = nlohmann::json::object();
    if (i.text) item["text"] = *i.text;
    if (i.file_url) item["file_url"] = *i.file_url;
    if (i.png) item["png"] = *i.png;
    list.push_back(item);
  }
  return {{"name", name}, {"items", list}};
}

// Runs this test program as the other application and waits for it.
bool run_other_writer(const nlohmann::json& request) {
  const std::string program = ::testing::internal::GetArgvs().front();
  std::string filter = "--gtest_filter=NamedPasteboardContractTest.OtherApplication";
  std::string variable = std::string(kWriterVariable) + "=" + request.dump();
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), filter.data(), nullptr};
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(variable.data());
  envp.push_back(nullptr);
  // Its own test report would only clutter ours; failures still show on standard error.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class NamedSubject final : public ContractSubject {
 public:
  NamedSubject() {
    static int counter = 0;
    name_ = "morvane-contract-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    platform::use_named_pasteboard_for_testing(name_);
    pasteboard_ = platform().general_pasteboard();
  }
  ~NamedSubject() override { platform::use_named_pasteboard_for_testing(""); }

  platform::PasteboardPlatform& platform() override { return platform::pasteboard_platform(); }
  platform::Pasteboard pasteboard() override { return pasteboard_; }
  // The other process can write what an application writes through this seam: text and PNG
  // data on the first item, then one item per URL.
  void other_writer(const std::vector<ContractItem>& items) override {
    ASSERT_TRUE(run_other_writer(describe(name_, items)));
  }

 private:
  std::string name_;
  platform::Pasteboard pasteboard_ = nullptr;
};

TEST(NamedPasteboardContractTest, BuiltImplementation) {
  run_contract([] { return std::make_unique<NamedSubject>(); });
}

// The other application's side; does nothing unless started by other_writer above.
TEST(NamedPasteboardContractTest, OtherApplication) {
  const char* request_text = std::getenv(kWriterVariable);
  if (request_text == nullptr) GTEST_SKIP() << "runs only as the other application";
  const auto request = nlohmann::json::parse(request_text);
  platform::use_named_pasteboard_for_testing(request["name"].get<std::string>());
  platform::PasteboardPlatform& p = platform::pasteboard_platform();
  platform::Pool pool = p.autorelease_pool_create();
  platform::Pasteboard pb = p.general_pasteboard();
  ASSERT_NE(pb, nullptr);
  ASSERT_GE(p.clear_contents(pb), 0);
  auto array = platform::own(p, p.mutable_array_create());
  std::vector<platform::Owned<platform::Url>> urls;
  for (const auto& item : request["items"]) {
    if (item.contains("text")) {
      auto text = platform::own(p, p.string_create_utf8(item["text"].get<std::string>()));
      ASSERT_TRUE(p.set_string(pb, text.get(), platform::PasteboardType::string));
    }
    if (item.contains("png")) {
      const auto png = item["png"].get<Bytes>();
      ASSERT_TRUE(p.set_data(pb, p.data_with_bytes(png), platform::PasteboardType::png));
    }
    if (item.contains("file_url")) {
      auto text = platform::own(p, p.string_create_utf8(item["file_url"].get<std::string>()));
      urls.push_back(platform::own(p, p.url_create_with_string(text.get())));
      ASSERT_TRUE(urls.back());
      p.array_add_url(array.get(), urls.back().get());
    }
  }
  if (!urls.empty()) {
    ASSERT_TRUE(p.write_objects(pb, array.get()));
  }
  p.autorelease_pool_drain(pool);
  // Leaves the named pasteboard in place: the test that started us owns it.
}

}  // namespace
}  // namespace morvane::testing
