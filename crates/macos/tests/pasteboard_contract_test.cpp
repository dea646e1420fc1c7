// The seam's contract on the in-process fake that the unit tests and the interleaving sweep
// trust.
#include <memory>

#include "fake_pasteboard_platform.h"
#include "input/utf8.h"
#include "pasteboard_contract.h"

namespace morvane::testing {
namespace {

class FakeSubject final : public ContractSubject {
 public:
  platform::PasteboardPlatform& platform() override { return fake_; }
  platform::Pasteboard pasteboard() override { return fake_.general_pasteboard(); }
  void other_writer(const std::vector<ContractItem>& items) override {
    std::vector<FakeItem> written;
    for (const ContractItem& i : items) {
      FakeItem& item = written.emplace_back();
      if (i.text) item.text = utf8_to_utf16(*i.text).value();
      if (i.file_url) item.file_url = utf8_to_utf16(*i.file_url).value();
      item.png = i.png;
    }
    fake_.external_write(std::move(written));
  }

 private:
  FakePasteboardPlatform fake_;
};

TEST(PasteboardContractTest, Fake) {
  run_contract([] { return std::make_unique<FakeSubject>(); });
}

}  // namespace
}  // namespace morvane::testing
