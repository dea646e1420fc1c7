#pragma once

// One contract for every implementation of the pasteboard seam: what each call answers after a
// clear, after another application's write, for items read before the change count moved, for
// writes by a process that lost ownership, and for nil receivers. The fake, the simulated
// pasteboard and the AppKit implementation (on a uniquely named pasteboard) all run these same
// cases; where they would differ, the platform's documented behaviour is the one written here.
// Uses only the seam, so it compiles wherever the seam does.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "input/clipboard/pasteboard_platform.h"
#include "system/bytes.h"

namespace morvane::testing {

// One item as another application writes it. What every implementation's other writer can
// produce: text and PNG data on the first item only, file URLs each on an item of its own.
struct ContractItem {
  std::optional<std::string> text;      // UTF-8
  std::optional<std::string> file_url;  // the URL text
  std::optional<Bytes> png;
};

class ContractSubject {
 public:
  virtual ~ContractSubject() = default;
  virtual platform::PasteboardPlatform& platform() = 0;
  // The pasteboard under test; the same object for the whole case.
  virtual platform::Pasteboard pasteboard() = 0;
  // Another application clears the pasteboard and writes the items: the change count moves on
  // and this process no longer owns the pasteboard.
  virtual void other_writer(const std::vector<ContractItem>& items) = 0;
};

struct ContractCase {
  const char* name;
  // Runs inside an autorelease pool that the runner opens and drains; reports through gtest.
  void (*check)(ContractSubject& subject);
};

std::span<const ContractCase> contract_cases();

// Runs every case on fresh subjects from `make`, each inside its own pool.
template <typename MakeSubject>
void run_contract(MakeSubject make);

}  // namespace morvane::testing

#include <gtest/gtest.h>

namespace morvane::testing {

template <typename MakeSubject>
void run_contract(MakeSubject make) {
  for (const ContractCase& c : contract_cases()) {
    SCOPED_TRACE(c.name);
    auto subject = make();
    platform::PasteboardPlatform& p = subject->platform();
    platform::Pool pool = p.autorelease_pool_create();
    ASSERT_NE(pool, nullptr);
    c.check(*subject);
    p.autorelease_pool_drain(pool);
  }
}

}  // namespace morvane::testing
