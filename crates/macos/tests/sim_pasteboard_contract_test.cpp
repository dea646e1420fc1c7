// The seam's contract on the simulated general pasteboard, each case on a store of its own;
// another application is another owner token writing to the same store.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "input/utf8.h"
#include "pasteboard_contract.h"
#include "sim_store_scope.h"

namespace morvane::testing {
namespace {

class SimSubject final : public ContractSubject {
 public:
  SimSubject() { pasteboard_ = platform::pasteboard_platform().general_pasteboard(); }

  platform::PasteboardPlatform& platform() override { return platform::pasteboard_platform(); }
  platform::Pasteboard pasteboard() override { return pasteboard_; }
  void other_writer(const std::vector<ContractItem>& items) override {
    auto written = sim::store_at(store_.path()).update([&](sim::StoreContents& contents) {
      contents.clear_by(sim::process_owner_token() + 1);
      for (const ContractItem& i : items) {
        sim::StoreItem& item = contents.items.emplace_back();
        if (i.text) {
          item.put(sim::EntryType::string, sim::Value::of_utf16(utf8_to_utf16(*i.text).value()));
        }
        if (i.file_url) {
          item.put(sim::EntryType::file_url,
                   sim::Value::of_utf16(utf8_to_utf16(*i.file_url).value()));
        }
        if (i.png) item.put(sim::EntryType::png, sim::Value::of_bytes(*i.png));
      }
      return true;
    });
    ASSERT_TRUE(written.has_value());
  }

 private:
  testing::ScopedSimStore store_{"contract"};
  platform::Pasteboard pasteboard_ = nullptr;
};

TEST(PasteboardContractTest, SimulatedPasteboard) {
  run_contract([] { return std::make_unique<SimSubject>(); });
}

}  // namespace
}  // namespace morvane::testing
