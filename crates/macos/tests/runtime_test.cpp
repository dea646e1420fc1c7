#include <gtest/gtest.h>

#include <deque>

#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_runtime.h"
#include "system/cocoa_runtime.h"

namespace morvane {
namespace {

using platform::Raised;
using testing::FakePasteboardPlatform;

// Foundation's threading as a script: which call raises, whether the thread ever finishes.
class FakeThreading final : public platform::FoundationThreading {
 public:
  bool multithreaded_before = false;
  bool multithreaded_after = true;
  bool create_nil = false;
  int finishes_after_polls = 0;  // -1: never
  std::string raise_in;          // name of the call that raises
  int threads_created = 0, threads_released = 0, sleeps = 0, finished_queries = 0;

  std::expected<bool, Raised> is_multithreaded() override {
    if (raise_in == "is_multithreaded") return std::unexpected(Raised{});
    return started_ ? multithreaded_after : multithreaded_before;
  }
  std::expected<platform::Thread, Raised> create_probe_thread() override {
    if (raise_in == "create") return std::unexpected(Raised{});
    if (create_nil) return nullptr;
    ++threads_created;
    return reinterpret_cast<platform::Thread>(&started_);
  }
  std::expected<void, Raised> start(platform::Thread) override {
    if (raise_in == "start") return std::unexpected(Raised{});
    started_ = true;
    return {};
  }
  std::expected<bool, Raised> is_finished(platform::Thread) override {
    if (raise_in == "is_finished") return std::unexpected(Raised{});
    ++finished_queries;
    return finishes_after_polls >= 0 && sleeps >= finishes_after_polls;
  }
  void release(platform::Thread) override { ++threads_released; }
  void sleep_microseconds(unsigned) override { ++sleeps; }

 private:
  bool started_ = false;
};

TEST(CocoaRuntimeTest, SetupStatuses) {
  struct Case {
    const char* name;
    std::function<void(FakeThreading&)> script;
    int status;
    int threads;
  };
  const Case cases[] = {
      {"already multithreaded", [](FakeThreading& t) { t.multithreaded_before = true; }, 0, 0},
      {"probe switches mode", [](FakeThreading&) {}, 0, 1},
      {"finishes after some polls", [](FakeThreading& t) { t.finishes_after_polls = 17; }, 0, 1},
      {"thread nil", [](FakeThreading& t) { t.create_nil = true; }, 1, 0},
      {"never finishes", [](FakeThreading& t) { t.finishes_after_polls = -1; }, 2, 1},
      {"still single-threaded", [](FakeThreading& t) { t.multithreaded_after = false; }, 3, 1},
      {"raise in isMultiThreaded", [](FakeThreading& t) { t.raise_in = "is_multithreaded"; }, 4, 0},
      {"raise in initWithBlock", [](FakeThreading& t) { t.raise_in = "create"; }, 4, 0},
      {"raise in start", [](FakeThreading& t) { t.raise_in = "start"; }, 4, 1},
      {"raise in isFinished", [](FakeThreading& t) { t.raise_in = "is_finished"; }, 4, 1},
  };
  for (const auto& c : cases) {
    FakeThreading threading;
    c.script(threading);
    EXPECT_EQ(cocoa_runtime::run_multithreaded_setup(threading), c.status) << c.name;
    EXPECT_EQ(threading.threads_created, c.threads) << c.name;
    EXPECT_EQ(threading.threads_released, threading.threads_created) << c.name;
  }
}

TEST(CocoaRuntimeTest, StuckProbeIsPolledExactlyThePollBudget) {
  FakeThreading threading;
  threading.finishes_after_polls = -1;
  EXPECT_EQ(cocoa_runtime::run_multithreaded_setup(threading), 2);
  EXPECT_EQ(threading.sleeps, 1000);
  // One query per poll, one when the budget is spent, and the final question.
  EXPECT_EQ(threading.finished_queries, 1002);
}

int g_routine_calls = 0;
int g_routine_status = 0;
int scripted_routine() {
  ++g_routine_calls;
  return g_routine_status;
}

TEST(CocoaRuntimeTest, CellKeepsTheFirstOutcomeForGood) {
  const std::pair<int, const char*> failures[] = {
      {1, "NSThread initialization returned null"},
      {2, "NSThread initialization did not finish within one second"},
      {3, "Foundation did not enter multithreaded mode"},
      {4, "Foundation raised an exception during multithreaded initialization"},
      {7, "Foundation returned an invalid initialization status"},
      {-1, "Foundation returned an invalid initialization status"},
  };
  for (const auto& [status, message] : failures) {
    cocoa_runtime::InitializationCell cell;
    g_routine_calls = 0;
    g_routine_status = status;
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto result = cell.ensure(&scripted_routine);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().code, ErrorCode::APP_UNRESPONSIVE);
      EXPECT_EQ(result.error().message, message);
      EXPECT_EQ(result.error().retry, RetrySafety::unsafe);
      EXPECT_FALSE(result.error().suggestion);
      EXPECT_FALSE(result.error().platform_detail);
      EXPECT_EQ(result.error().details->dump(),
                R"({"kind":"cocoa_runtime_initialization","retryable":false})");
    }
    EXPECT_EQ(g_routine_calls, 1) << status;
  }
  cocoa_runtime::InitializationCell cell;
  g_routine_calls = 0;
  g_routine_status = 0;
  EXPECT_TRUE(cell.ensure(&scripted_routine));
  EXPECT_TRUE(cell.ensure(&scripted_routine));
  EXPECT_EQ(g_routine_calls, 1);
}

TEST(CocoaRuntimeTest, PoolsAfterAFailedSetupFailWithoutASecondAttempt) {
  FakePasteboardPlatform fake;
  cocoa_runtime::InitializationCell cell;
  g_routine_calls = 0;
  g_routine_status = 2;
  for (int i = 0; i < 2; ++i) {
    auto pool = AutoreleasePool::create(fake, cell, &scripted_routine);
    ASSERT_FALSE(pool);
    EXPECT_EQ(pool.error().message, "NSThread initialization did not finish within one second");
  }
  EXPECT_EQ(g_routine_calls, 1);
  EXPECT_EQ(fake.pools_created, 0);
}

TEST(CocoaRuntimeTest, RealSetupRunsOnceAndSucceeds) {
  EXPECT_TRUE(cocoa_runtime::ensure_cocoa_multithreaded());
  EXPECT_EQ(morvane_ensure_cocoa_multithreaded(), 0);
}

void expect_unavailable(const Result<AutoreleasePool>& result, const char* detail) {
  ASSERT_FALSE(result);
  const AdapterError& e = result.error();
  EXPECT_EQ(e.code, ErrorCode::ACTION_FAILED);
  EXPECT_EQ(e.message, "System clipboard is unavailable");
  EXPECT_EQ(e.suggestion,
            "Retry from an interactive macOS login session after the pasteboard service is "
            "available.");
  EXPECT_EQ(e.platform_detail, detail);
  EXPECT_FALSE(e.details);
  EXPECT_EQ(e.retry, RetrySafety::unknown);
}

TEST(ClipboardRuntimeTest, PoolAndPasteboardLookupFailures) {
  {
    FakePasteboardPlatform fake;
    fake.missing_classes.insert(platform::PlatformClass::autorelease_pool);
    expect_unavailable(AutoreleasePool::create(fake), "NSAutoreleasePool class was not found");
  }
  {
    FakePasteboardPlatform fake;
    fake.pool_create_nil = true;
    expect_unavailable(AutoreleasePool::create(fake), "NSAutoreleasePool initialization failed");
  }
  {
    FakePasteboardPlatform fake;
    fake.missing_classes.insert(platform::PlatformClass::pasteboard);
    auto pasteboard = general_pasteboard(fake);
    ASSERT_FALSE(pasteboard);
    EXPECT_EQ(pasteboard.error().platform_detail, "NSPasteboard class was not found");
  }
  {
    FakePasteboardPlatform fake;
    fake.pasteboard_nil = true;
    auto pasteboard = general_pasteboard(fake);
    ASSERT_FALSE(pasteboard);
    EXPECT_EQ(pasteboard.error().platform_detail, "NSPasteboard generalPasteboard returned null");
  }
}

TEST(ClipboardRuntimeTest, PoolDrainsExactlyOnceAfterMoves) {
  FakePasteboardPlatform fake;
  {
    auto pool = AutoreleasePool::create(fake);
    ASSERT_TRUE(pool);
    AutoreleasePool moved = std::move(*pool);
    AutoreleasePool again = std::move(moved);
  }
  EXPECT_EQ(fake.pools_created, 1);
  EXPECT_EQ(fake.pools_drained, 1);
}

TEST(ClipboardRuntimeTest, OnlyAlwaysDenyBlocksReads) {
  struct Case {
    bool responds;
    std::int64_t behavior;
    bool granted;
  };
  const Case cases[] = {{false, 3, true}, {true, 0, true}, {true, 1, true}, {true, 2, true},
                        {true, 3, false}, {true, 4, true}, {true, -1, true}};
  for (const auto& c : cases) {
    FakePasteboardPlatform fake;
    fake.responds_to_access = c.responds;
    fake.access = c.behavior;
    auto result = ensure_read_access(fake, fake.general_pasteboard());
    EXPECT_EQ(result.has_value(), c.granted) << c.behavior;
    if (!c.responds) {
      EXPECT_EQ(fake.count_calls("access_behavior"), 0);
    }
    if (!result) {
      EXPECT_EQ(result.error().code, ErrorCode::PERM_DENIED);
      EXPECT_EQ(result.error().message, "System clipboard read access is denied");
      EXPECT_EQ(result.error().suggestion,
                "Allow pasteboard access for the app that launches morvane in System Settings, "
                "then retry.");
      EXPECT_EQ(result.error().retry, RetrySafety::unknown);
    }
  }
}

}  // namespace
}  // namespace morvane
