#pragma once

// How every pasteboard operation begins: the pool, the general pasteboard and read access.

#include <string>

#include "input/clipboard/pasteboard_platform.h"
#include "response/adapter_error.h"
#include "system/cocoa_runtime.h"
#include "wait/deadline.h"

namespace morvane {

// One Foundation autorelease pool, drained exactly once when this owner is destroyed.
class AutoreleasePool {
 public:
  // Opens a pool after the one-time Foundation set-up of `cell` (the process's own by default).
  static Result<AutoreleasePool> create(platform::PasteboardPlatform& platform);
  static Result<AutoreleasePool> create(platform::PasteboardPlatform& platform,
                                        cocoa_runtime::InitializationCell& cell,
                                        cocoa_runtime::InitializationCell::Routine routine);

  AutoreleasePool(AutoreleasePool&& other) noexcept;
  AutoreleasePool& operator=(AutoreleasePool&&) = delete;
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
  ~AutoreleasePool();

 private:
  AutoreleasePool(platform::PasteboardPlatform& platform, platform::Pool pool)
      : platform_(&platform), pool_(pool) {}
  platform::PasteboardPlatform* platform_;
  platform::Pool pool_;
};

namespace clipboard_runtime {

inline constexpr const char* kRetrySuggestion =
    "Retry from an interactive macOS login session after the pasteboard service is available.";

// "System clipboard is unavailable", naming the platform step that failed.
AdapterError unavailable(std::string platform_detail);

}  // namespace clipboard_runtime

Result<platform::Pasteboard> general_pasteboard(platform::PasteboardPlatform& platform);
// The same, waiting for the pasteboard no longer than the deadline: from here on, this thread's
// pasteboard calls wait until the deadline at most. A lookup that could not be made in time is
// the deadline's timeout.
Result<platform::Pasteboard> general_pasteboard(platform::PasteboardPlatform& platform,
                                                const Deadline& deadline);
Status ensure_read_access(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard);

}  // namespace morvane
