// Every operation against every interleaving a single fault can make: each operation is run
// once cleanly on the fake to record its platform calls, then again once per recorded call k and
// per fault kind, with the fault placed just before (or at) call k:
//   other_writer   another application replaces the contents (change count + 1);
//   failure_value  call k answers nil, NO, a negative change count or 0;
//   raises         call k raises, as AppKit raises NSPasteboardCommunicationException;
//   past_operation the clock jumps past the write's operation deadline (not the overall one);
//   past_overall   the clock jumps past the overall deadline.
// Because the runs come from the recorded calls, a new seam call is swept without touching this
// file. Every run must keep the promises the helper makes to its caller (see check_run).
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_clear.h"
#include "input/clipboard/clipboard_file_urls.h"
#include "input/clipboard/clipboard_helper_entry.h"
#include "input/clipboard/clipboard_read.h"
#include "input/clipboard/clipboard_runtime.h"
#include "input/clipboard/clipboard_watchdog.h"
#include "input/clipboard/imp.h"
#include "input/clipboard/pasteboard_platform_recording.h"
#include "input/utf8.h"
#include "png_test_data.h"

namespace morvane {
namespace {

using testing::FakeClock;
using testing::FakeItem;
using testing::FakePasteboardPlatform;

constexpr std::uint64_t kOverallMs = 5000;
// A write's operation deadline ends 250 ms before the overall one.
constexpr std::int64_t kPastOperationMs = 4800;
constexpr std::int64_t kPastOverallMs = 5001;
constexpr std::int64_t kPriorCount = 41;
// Clean runs longer than this (the 1024-path list) sweep the first and last occurrences of each
// call name rather than every call: the loop bodies in between repeat the same steps.
constexpr std::size_t kFullSweepCalls = 400;
constexpr int kEdgeOccurrences = 3;

enum class Fault { other_writer, failure_value, raises, past_operation, past_overall };
constexpr Fault kFaults[] = {Fault::other_writer, Fault::failure_value, Fault::raises,
                             Fault::past_operation, Fault::past_overall};

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::other_writer: return "other writer";
    case Fault::failure_value: return "failure value";
    case Fault::raises: return "raises";
    case Fault::past_operation: return "past operation deadline";
    case Fault::past_overall: return "past overall deadline";
  }
  return "";
}

bool is_mutation(std::string_view call) {
  return call == "clear_contents" || call == "set_string" || call == "set_data" ||
         call == "write_objects";
}

bool same_item(const FakeItem& a, const FakeItem& b) {
  return a.text == b.text && a.file_url == b.file_url && a.png == b.png && a.images == b.images;
}
bool same_items(const std::vector<FakeItem>& a, const std::vector<FakeItem>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_item);
}

std::u16string u16(std::string_view s) { return utf8_to_utf16(s).value(); }

enum class Family { clear, read, write };

struct Scenario {
  std::string label;
  std::string operation;  // the name the entry knows it by
  Family family;
  std::string kind_label;  // "clear", "text", "image", "file URLs"; empty for reads
  std::vector<FakeItem> prior;
  std::function<Outcome(platform::PasteboardPlatform&, const Deadline&)> run;
  // Whether the pasteboard holds exactly what this write or clear meant to leave there.
  std::function<bool(const std::vector<FakeItem>&)> holds_ours;
};

// What one run did.
struct RunRecord {
  Outcome outcome = fail(AdapterError::make(ErrorCode::INTERNAL, "not run"));
  std::vector<std::string> calls;
  std::vector<FakeItem> at_last_check;  // the pasteboard at the last changeCount
  bool checked_ownership = false;
  std::optional<std::size_t> first_clear;
  std::optional<std::size_t> last_check;
  bool mutated_after_seeing_other = false;
  bool cleared_over_other = false;  // a cleanup clear while another writer owned it
  bool fault_applied = false;
  std::size_t live_objects = 0;
  int bad_releases = 0;
  int pools_open = 0;
  std::vector<FakeItem> final_items;
};

FakeItem item(std::optional<std::u16string> text, std::optional<std::u16string> url,
              std::optional<Bytes> png) {
  FakeItem i;
  i.text = std::move(text);
  i.file_url = std::move(url);
  i.png = std::move(png);
  return i;
}

// What another application puts there: something of every kind, unlike anything else here.
std::vector<FakeItem> intruder_items() {
  return {item(u"intruder", std::nullopt, testing::minimal_png({.width = 3, .height = 2})),
          item(std::nullopt, u"file:///intruder/x", std::nullopt)};
}

thread_local const std::function<Outcome(const Deadline&)>* t_current = nullptr;
Outcome run_current(std::span<const std::string>, const Deadline& deadline) {
  return (*t_current)(deadline);
}

RunRecord run_once(const Scenario& s, std::optional<std::pair<std::size_t, Fault>> fault) {
  FakeClock clock;
  FakePasteboardPlatform fake;
  fake.items = s.prior;
  fake.count = kPriorCount;
  const Deadline deadline = *Deadline::after(kOverallMs);
  RunRecord r;
  bool other_pending = false;
  bool seen = false;
  fake.before_call = [&](const std::string& call) {
    const std::size_t index = fake.calls.size() - 1;
    if (fault && fault->first == index) {
      switch (fault->second) {
        case Fault::other_writer:
          fake.external_write(intruder_items());
          other_pending = true;
          r.fault_applied = true;
          break;
        case Fault::past_operation: FakeClock::advance_ms(kPastOperationMs); break;
        case Fault::past_overall: FakeClock::advance_ms(kPastOverallMs); break;
        default: break;
      }
    }
    if (is_mutation(call) && seen) r.mutated_after_seeing_other = true;
    if (call == "change_count") {
      r.at_last_check = fake.items;
      r.checked_ownership = true;
      r.last_check = index;
      if (other_pending) seen = true;
    }
    if (call == "clear_contents") {
      // A clear after our own first one is a cleanup, and a cleanup must look first.
      if (r.first_clear && other_pending) r.cleared_over_other = true;
      if (!r.first_clear) r.first_clear = index;
      // The first clear may come before ever looking: that content was never seen.
      if (!seen) other_pending = false;
    }
  };
  if (fault && fault->second == Fault::failure_value) fake.fail_call = fault->first;
  if (fault && fault->second == Fault::raises) fake.raise_call = fault->first;

  const std::function<Outcome(const Deadline&)> body = [&](const Deadline& d) {
    return s.run(fake, d);
  };
  t_current = &body;
  r.outcome = run_guarded(s.operation, &run_current, {}, deadline);
  t_current = nullptr;
  if (fault && fault->second != Fault::other_writer) r.fault_applied = fake.fault_applied;
  if (fault && (fault->second == Fault::past_operation || fault->second == Fault::past_overall)) {
    r.fault_applied = fault->first < fake.calls.size();
  }
  r.calls = fake.calls;
  r.live_objects = fake.live_owned_objects();
  r.bad_releases = fake.bad_releases;
  r.pools_open = fake.pools_created - fake.pools_drained;
  r.final_items = fake.items;
  return r;
}

// ---- What a read may return ----

std::string describe(const OperationOutput& out) {
  return out.metadata.dump() + " " + std::string(out.payload.bytes().begin(), out.payload.bytes().end());
}

// The output of a clean read of `kind` over one pasteboard state.
std::string clean_read(const Scenario& s, const std::vector<FakeItem>& items) {
  Scenario copy = s;
  copy.prior = items;
  RunRecord r = run_once(copy, std::nullopt);
  return r.outcome ? describe(*r.outcome) : "error: " + r.outcome.error().message;
}

// Every path of a state's file URLs, as the reader turns them into paths.
std::vector<std::string> paths_of(const std::vector<FakeItem>& items) {
  FakePasteboardPlatform scratch;
  scratch.items = items;
  auto pool = AutoreleasePool::create(scratch);
  FakeClock clock;
  auto paths = clipboard_file_urls::read_file_urls(
      scratch, *general_pasteboard(scratch), *Deadline::after(1000));
  return paths ? *paths : std::vector<std::string>{};
}

// A read that was handed a failure value may find less than there is (the readers skip a nil
// item, take a nil type list as none), but never anything that was not there.
bool part_of(const OperationOutput& out, const std::vector<FakeItem>& items) {
  const std::string kind = out.metadata.value("kind", "");
  const std::string payload(out.payload.bytes().begin(), out.payload.bytes().end());
  if (kind == "none") return true;
  for (const FakeItem& i : items) {
    if (kind == "text" && i.text && u16(payload) == *i.text) return true;
    if (kind == "image" && i.png && Bytes(out.payload.bytes().begin(), out.payload.bytes().end()) == *i.png) return true;
  }
  if (kind != "file_urls") return false;
  const auto listed = nlohmann::json::parse(payload, nullptr, false);
  const std::vector<std::string> all = paths_of(items);
  std::size_t at = 0;
  for (const auto& path : listed) {
    while (at < all.size() && all[at] != path.get<std::string>()) ++at;
    if (at == all.size()) return false;
    ++at;
  }
  return true;
}

// ---- What a failure may say ----

struct Allowed {
  ErrorCode code;
  std::string message;
  DeliveryState delivery;  // as the response reports it
};

bool starts_with(const std::optional<std::string>& text, std::string_view prefix) {
  return text && text->starts_with(prefix);
}

// The failures the contract gives a write, clear or read, whatever the point.
std::vector<Allowed> allowed_failures(const Scenario& s) {
  const DeliveryState untouched =
      s.family == Family::read ? DeliveryState::unknown : DeliveryState::not_delivered;
  std::vector<Allowed> allowed = {
      {ErrorCode::ACTION_FAILED, "System clipboard is unavailable", untouched},
      {ErrorCode::TIMEOUT, "Operation exceeded its deadline", untouched},
  };
  if (s.family == Family::read) {
    for (const char* message :
         {"Clipboard file URL items are unavailable", "Clipboard contains too many file URLs",
          "Pasteboard item disappeared during read", "File URL exceeds its text budget",
          "File URLs exceed the total text budget", "Clipboard file URL is not a local UTF-8 path",
          "Clipboard image exceeds the 64 MiB encoded-data budget",
          "Clipboard image is missing a valid PNG header", "NSData returned null bytes",
          "Clipboard image exceeds the decoded-image budget",
          "Clipboard PNG payload failed complete validation",
          "Clipboard PNG failed platform validation",
          "Clipboard image (public.tiff) could not be converted to PNG",
          "clipboard text exceeds the supported resource budget",
          "Clipboard text is not valid Unicode"}) {
      allowed.push_back({ErrorCode::ACTION_FAILED, message, DeliveryState::unknown});
    }
    return allowed;
  }
  const std::string k = s.kind_label;
  allowed.push_back({ErrorCode::TIMEOUT, "Operation exceeded its deadline",
                     DeliveryState::delivered_verified});
  allowed.push_back({ErrorCode::APP_UNRESPONSIVE, "Clipboard " + k + " delivery is uncertain",
                     DeliveryState::delivery_uncertain});
  if (s.family == Family::clear) return allowed;
  allowed.push_back({ErrorCode::APP_UNRESPONSIVE,
                     "Clipboard " + k + " delivery could not be verified",
                     DeliveryState::delivered_unverified});
  for (ErrorCode primary : {ErrorCode::ACTION_FAILED, ErrorCode::TIMEOUT}) {
    allowed.push_back({primary, "Clipboard " + k + " replacement failed after clearing prior content",
                       DeliveryState::delivered_unverified});
  }
  // Preparation that asks the platform (the PNG decode, the file URL round trip).
  for (const char* message :
       {"Clipboard PNG failed platform validation",
        "Every file path must be representable as a file URL",
        "Every file URL must resolve to a local UTF-8 path"}) {
    allowed.push_back({ErrorCode::INVALID_ARGS, message, DeliveryState::not_delivered});
  }
  return allowed;
}

// The platform details that go with each delivery outcome of a write or clear.
bool detail_fits(const Scenario& s, const AdapterError& e) {
  const std::string k = s.kind_label;
  const auto& d = e.platform_detail;
  if (e.message == "Clipboard " + k + " delivery is uncertain") {
    if (s.family == Family::clear) return d == "clipboard ownership could not be verified";
    return d == "clearContents returned an invalid ownership token" ||
           (d && d->find("; cleanup failed: ") != std::string::npos);
  }
  if (e.message == "Clipboard " + k + " delivery could not be verified") {
    return d == "clipboard ownership changed immediately after clearContents" ||
           d == "clipboard ownership changed before verification" ||
           d == "clipboard ownership changed during verification" ||
           starts_with(d, "content verification failed: ");
  }
  if (e.message.ends_with("replacement failed after clearing prior content")) {
    const bool primary = d == "Clipboard " + k + " write failed" ||
                         d == "Clipboard " + k + " did not retain the intended content" ||
                         d == "Operation exceeded its deadline" ||
                         d == "System clipboard is unavailable";
    return primary && e.details && e.details->contains("cleanup_verified");
  }
  return true;
}

// ---- The checks of one run ----

int count_of(const std::vector<std::string>& calls, std::string_view name) {
  return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

void check_run(const Scenario& s, RunRecord& r, std::optional<std::pair<std::size_t, Fault>> fault,
               const std::vector<std::string>& whole_reads, const std::string& where) {
  SCOPED_TRACE(where);
  const Fault kind = fault ? fault->second : Fault::other_writer;
  const bool clock_moved = fault && (kind == Fault::past_operation || kind == Fault::past_overall);
  const bool failure_injected = fault && kind == Fault::failure_value && r.fault_applied;
  const bool raised = fault && kind == Fault::raises && r.fault_applied;
  const bool intruded = fault && kind == Fault::other_writer && r.fault_applied;

  // Nothing leaks, on any path.
  EXPECT_EQ(r.live_objects, 0u);
  EXPECT_EQ(r.bad_releases, 0);
  EXPECT_EQ(r.pools_open, 0);
  // Never a clear or write over content another writer put there and we saw.
  EXPECT_FALSE(r.mutated_after_seeing_other);
  EXPECT_FALSE(r.cleared_over_other);
  if (s.family == Family::read) {
    EXPECT_EQ(count_of(r.calls, "clear_contents") + count_of(r.calls, "set_string") +
                  count_of(r.calls, "set_data") + count_of(r.calls, "write_objects"),
              0);
  }
  // Another writer between our clear and our last ownership check must be noticed.
  const bool intruded_while_owning = intruded && r.first_clear && r.last_check &&
                                     *r.first_clear < fault->first && fault->first <= *r.last_check;

  if (r.outcome) {
    EXPECT_FALSE(raised) << "a raise ended in success";
    EXPECT_FALSE(intruded_while_owning) << "another writer went unnoticed";
    if (s.family != Family::read) {
      ASSERT_TRUE(r.checked_ownership);
      EXPECT_TRUE(s.holds_ours(r.at_last_check)) << "success without our content at the last check";
      EXPECT_EQ(r.outcome->metadata.dump(), R"({"delivery":"committed_verified","kind":"none"})");
      return;
    }
    const std::string got = describe(*r.outcome);
    const bool whole = std::find(whole_reads.begin(), whole_reads.end(), got) != whole_reads.end();
    if (failure_injected) {
      EXPECT_TRUE(whole || part_of(*r.outcome, s.prior) ||
                  (intruded && part_of(*r.outcome, intruder_items())))
          << "read returned what no writer put there: " << got;
    } else {
      EXPECT_TRUE(whole) << "read returned no whole snapshot: " << got;
    }
    return;
  }

  AdapterError& e = r.outcome.error();
  // The delivery as the response reports it.
  adjust_delivery_for_operation(s.operation, e);
  if (raised) {
    EXPECT_EQ(e.code, ErrorCode::INTERNAL);
    EXPECT_EQ(e.message, "Clipboard helper operation was interrupted by a platform failure");
    EXPECT_EQ(e.delivery, s.family == Family::read ? DeliveryState::unknown
                                                   : DeliveryState::delivery_uncertain);
    return;
  }
  const auto allowed = allowed_failures(s);
  const bool listed = std::any_of(allowed.begin(), allowed.end(), [&](const Allowed& a) {
    return a.code == e.code && a.message == e.message && a.delivery == e.delivery;
  });
  EXPECT_TRUE(listed) << "unexpected failure: " << wire_string(e.code) << " \"" << e.message
                      << "\" " << wire_string(e.delivery) << " ("
                      << e.platform_detail.value_or("") << ")";
  EXPECT_TRUE(detail_fits(s, e)) << e.message << ": " << e.platform_detail.value_or("<none>");
  // Only a moved clock times out; only a failure value makes a reader, the set-up or the
  // preparation fail (a replacement failure carries the code of what went wrong after the clear).
  if (e.code == ErrorCode::TIMEOUT) {
    EXPECT_TRUE(clock_moved) << "timeout without time passing";
  }
  const bool replacement = e.message.ends_with("replacement failed after clearing prior content");
  if ((e.code == ErrorCode::ACTION_FAILED || e.code == ErrorCode::INVALID_ARGS) && !replacement) {
    EXPECT_TRUE(failure_injected) << e.message;
  }
  if (s.family == Family::read) {
    EXPECT_FALSE(intruded) << "a single other writer must not fail a read: " << e.message;
    return;
  }
  // not_delivered: the pasteboard is exactly as before; we changed nothing.
  if (e.delivery == DeliveryState::not_delivered) {
    EXPECT_FALSE(r.first_clear.has_value()) << "not_delivered after a clear";
    if (!intruded) {
      EXPECT_TRUE(same_items(r.final_items, s.prior));
    }
  } else {
    EXPECT_TRUE(r.first_clear.has_value()) << "delivery " << wire_string(e.delivery) << " without a clear";
  }
  if (e.delivery == DeliveryState::delivered_verified) {
    EXPECT_TRUE(s.holds_ours(r.at_last_check));
  }
  if (intruded_while_owning) {
    EXPECT_EQ(e.delivery, s.family == Family::clear ? DeliveryState::delivery_uncertain
                                                    : DeliveryState::delivered_unverified);
  }
  if (e.details && e.details->contains("cleanup_verified")) {
    const bool cleaned = (*e.details)["cleanup_verified"].get<bool>();
    EXPECT_EQ(count_of(r.calls, "clear_contents"), cleaned ? 2 : 1);
    if (cleaned) {
      EXPECT_TRUE(r.final_items.empty());
    }
  }
}

// ---- The operations ----

Outcome committed(Status written) {
  if (!written) return fail(std::move(written.error()));
  return OperationOutput{committed_verified_metadata(), {}};
}

std::vector<FakeItem> rich_prior() {
  return {item(u"prior text", std::nullopt, testing::minimal_png()),
          item(std::nullopt, u"file:///prior/a", std::nullopt),
          item(std::nullopt, u"file:///prior/b%20c", std::nullopt)};
}

Scenario read_scenario(std::string label, std::string operation, ReadKind kind,
                       std::vector<FakeItem> prior) {
  return {std::move(label), std::move(operation), Family::read, "", std::move(prior),
          [kind](platform::PasteboardPlatform& p, const Deadline& d) {
            return stable_read_on(p, kind, d);
          },
          nullptr};
}

Scenario write_scenario(std::string label, std::string operation, std::string kind_label,
                        std::function<ClipboardContent()> content,
                        std::function<bool(const std::vector<FakeItem>&)> holds_ours) {
  return {std::move(label), std::move(operation), Family::write, std::move(kind_label),
          rich_prior(),
          [content](platform::PasteboardPlatform& p, const Deadline& d) {
            return committed(imp::set_content_direct(p, content(), d));
          },
          std::move(holds_ours)};
}

Scenario text_write(std::string label, std::string text) {
  return write_scenario(
      std::move(label), "write:text", "text", [text] { return TextContent{text}; },
      [expected = u16(text)](const std::vector<FakeItem>& items) {
        return items.size() == 1 && same_item(items[0], item(expected, std::nullopt, std::nullopt));
      });
}

Scenario image_write(std::string label, Bytes png, std::uint32_t w, std::uint32_t h) {
  return write_scenario(
      std::move(label), "write:image", "image",
      [png, w, h] { return ImageContent{png, 1.0, w, h, false}; },
      [png](const std::vector<FakeItem>& items) {
        return items.size() == 1 && same_item(items[0], item(std::nullopt, std::nullopt, png));
      });
}

Scenario file_urls_write(std::string label, std::vector<std::string> paths) {
  return write_scenario(
      std::move(label), "write:file_urls", "file URLs", [paths] { return FileUrlsContent{paths}; },
      [paths](const std::vector<FakeItem>& items) {
        const bool only_urls = std::all_of(items.begin(), items.end(), [](const FakeItem& i) {
          return i.file_url && !i.text && !i.png;
        });
        return only_urls && paths_of(items) == paths;
      });
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> all;
  all.push_back({"clear", "clear", Family::clear, "clear", rich_prior(),
                 [](platform::PasteboardPlatform& p, const Deadline& d) { return clear_on(p, d); },
                 [](const std::vector<FakeItem>& items) { return items.empty(); }});
  all.push_back(read_scenario("read:auto (file URLs first)", "read:auto", ReadKind::auto_detect,
                              rich_prior()));
  all.push_back(read_scenario("read:auto (image before text)", "read:auto", ReadKind::auto_detect,
                              {item(u"prior text", std::nullopt, testing::minimal_png())}));
  all.push_back(read_scenario("read:auto (text only)", "read:auto", ReadKind::auto_detect,
                              {item(u"prior text", std::nullopt, std::nullopt)}));
  all.push_back(read_scenario("read:text", "read:text", ReadKind::text, rich_prior()));
  all.push_back(read_scenario("read:image", "read:image", ReadKind::image, rich_prior()));
  all.push_back(read_scenario("read:file_urls", "read:file_urls", ReadKind::file_urls, rich_prior()));
  // An image offered only as TIFF, converted to PNG.
  FakeItem tiff_only;
  tiff_only.images[platform::ImageType::tiff] = Bytes{'I', 'I', 42, 0};
  all.push_back(read_scenario("read:image (TIFF only)", "read:image", ReadKind::image, {tiff_only}));
  all.push_back(read_scenario("read:auto (TIFF only)", "read:auto", ReadKind::auto_detect, {tiff_only}));

  all.push_back(text_write("write:text", "hello"));
  all.push_back(text_write("write:text (1,000,000 units)", std::string(1'000'000, 'a')));
  all.push_back(image_write("write:image", testing::minimal_png(), 1, 1));
  // 8192 x 8192 is exactly the decoded-image budget.
  all.push_back(image_write("write:image (pixel budget)",
                            testing::minimal_png({.width = 8192, .height = 8192}), 8192, 8192));
  all.push_back(file_urls_write("write:file_urls", {"/tmp/a", "/tmp/b c"}));
  // 1024 paths, the first resolving to exactly 1023 bytes.
  std::vector<std::string> at_budget;
  at_budget.push_back("/" + std::string(1022, 'p'));
  for (int i = 1; i < 1024; ++i) at_budget.push_back("/f/" + std::to_string(i));
  all.push_back(file_urls_write("write:file_urls (1024 paths, 1023-byte path)", at_budget));
  return all;
}

// The calls of a clean run to place faults at: all of them, or for a long run the first and
// last few occurrences of each call name.
std::vector<std::size_t> fault_points(const std::vector<std::string>& calls) {
  std::vector<std::size_t> points;
  if (calls.size() <= kFullSweepCalls) {
    for (std::size_t k = 0; k < calls.size(); ++k) points.push_back(k);
    return points;
  }
  std::map<std::string, int> total;
  for (const auto& c : calls) ++total[c];
  std::map<std::string, int> seen;
  for (std::size_t k = 0; k < calls.size(); ++k) {
    const int n = seen[calls[k]]++;
    if (n < kEdgeOccurrences || n >= total[calls[k]] - kEdgeOccurrences) points.push_back(k);
  }
  return points;
}

int failures() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

struct SweepTally {
  std::size_t runs = 0;
  std::size_t calls_swept = 0;
  std::map<std::string, int> names;     // seam calls met in clean runs
  std::map<std::string, int> outcomes;  // success, or the delivery the error carries
};

// Sweeps one operation; stops at its first broken promise, so a fault is reported once per
// operation and not thousands of times.
void sweep(const Scenario& s, SweepTally& tally) {
  RunRecord clean = run_once(s, std::nullopt);
  ASSERT_TRUE(clean.outcome) << s.label << ": " << clean.outcome.error().message;
  std::vector<std::string> whole_reads;
  if (s.family == Family::read) {
    whole_reads = {clean_read(s, s.prior), clean_read(s, intruder_items())};
  }
  check_run(s, clean, std::nullopt, whole_reads, s.label + " clean");
  for (const auto& c : clean.calls) ++tally.names[c];
  const int failures_before = failures();
  const auto points = fault_points(clean.calls);
  tally.calls_swept += points.size();
  for (std::size_t k : points) {
    for (Fault f : kFaults) {
      const auto fault = std::make_pair(k, f);
      RunRecord r = run_once(s, fault);
      ++tally.runs;
      ++tally.outcomes[r.outcome ? std::string("success")
                                 : std::string(wire_string(r.outcome.error().delivery))];
      check_run(s, r, fault, whole_reads,
                s.label + ": " + fault_name(f) + " at call " + std::to_string(k) + " (" +
                    clean.calls[k] + ")");
      if (failures() != failures_before) return;
    }
  }
}

TEST(InterleavingSweepTest, EveryFaultAtEveryPlatformCallKeepsTheHelpersPromises) {
  SweepTally tally;
  const auto all = scenarios();
  for (const Scenario& s : all) sweep(s, tally);
  std::cout << "[ sweep    ] " << tally.runs << " faulted runs over " << tally.calls_swept
            << " platform calls of " << all.size() << " operations (" << tally.names.size()
            << " distinct seam calls)\n[ sweep    ] outcomes:";
  for (const auto& [outcome, n] : tally.outcomes) std::cout << " " << outcome << " " << n;
  std::cout << "\n";
  RecordProperty("runs", static_cast<int>(tally.runs));
  EXPECT_GT(tally.runs, 1000u);
}

// What the watchdog would answer at each call of a run: the call as the recording layer named
// it, and the phase the operation stood in.
struct HungAt {
  std::string call;
  DeliveryState phase;
  bool detail_names_call;
};
thread_local std::vector<HungAt>* t_hung_at = nullptr;

void note_hung_at(const platform::PlatformCall& call) {
  const watchdog::Verdict verdict = watchdog::verdict_now();
  t_hung_at->push_back({std::string(call.member), verdict.delivery,
                        verdict.platform_detail == call.waiting_detail});
}

// A call that never returns, at any point of any operation, is answered by the watchdog with
// the delivery of where it hung: nothing sent before the first clear, uncertain while a clear or
// write is out, changed once one has returned. And every call reaches the platform through the
// recording layer under its own name.
TEST(InterleavingSweepTest, AHungCallIsAnsweredWithTheDeliveryOfWhereItHung) {
  for (const Scenario& s : scenarios()) {
    FakeClock clock;
    FakePasteboardPlatform fake;
    fake.items = s.prior;
    fake.count = kPriorCount;
    std::vector<HungAt> hung_at;
    t_hung_at = &hung_at;
    platform::RecordingPasteboardPlatform recording(fake, &note_hung_at);
    watchdog::enter_phase(DeliveryState::unknown);  // as a new process starts
    const Outcome outcome = s.run(recording, *Deadline::after(kOverallMs));
    t_hung_at = nullptr;
    ASSERT_TRUE(outcome) << s.label << ": " << outcome.error().message;
    std::vector<std::string> names;
    for (const HungAt& h : hung_at) {
      // The fake keeps the seam's default for checked PNG bytes, which borrows them plainly.
      names.push_back(h.call == "data_create_borrowing_crc_checked_png" ? "data_create_borrowing"
                                                                         : h.call);
    }
    EXPECT_EQ(names, fake.calls) << s.label;
    bool cleared = false;
    for (const HungAt& h : hung_at) {
      const DeliveryState reported = delivery_for_operation(s.operation, h.phase);
      const std::string where = s.label + " hung in " + h.call;
      EXPECT_TRUE(h.detail_names_call) << where;
      if (s.family == Family::read) {
        EXPECT_EQ(reported, DeliveryState::unknown) << where;
      } else if (is_mutation(h.call)) {
        EXPECT_EQ(reported, DeliveryState::delivery_uncertain) << where;
      } else if (!cleared) {
        EXPECT_EQ(reported, DeliveryState::not_delivered) << where;
      } else {
        EXPECT_NE(reported, DeliveryState::not_delivered) << where;
        EXPECT_NE(reported, DeliveryState::unknown) << where;
      }
      cleared = cleared || h.call == "clear_contents";
    }
    EXPECT_EQ(watchdog::verdict_now().delivery,
              s.family == Family::read ? DeliveryState::unknown : DeliveryState::delivered_verified)
        << s.label << ": the phase after success";
  }
}

}  // namespace
}  // namespace morvane
