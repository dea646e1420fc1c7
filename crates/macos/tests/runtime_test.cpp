#include <gtest/gtest.h>

#include "fake_pasteboard_platform.h"
#include "input/clipboard/clipboard_runtime.h"

namespace morvane {
namespace {

using testing::FakePasteboardPlatform;

TEST(RuntimeTest, PoolDrainsOnce) {
  FakePasteboardPlatform fake;
  {
    auto pool = AutoreleasePool::create(fake);
    ASSERT_TRUE(pool);
    auto moved = std::move(*pool);
  }
  EXPECT_EQ(fake.pools_created, 1);
  EXPECT_EQ(fake.pools_drained, 1);
}

}  // namespace
}  // namespace morvane
