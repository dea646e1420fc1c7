#include "input/clipboard/clipboard_runtime.h"

#include <utility>

namespace morvane {

namespace {
// NSPasteboardAccessBehaviorAlwaysDeny.
constexpr std::int64_t kAccessAlwaysDenied = 3;
}  // namespace

namespace clipboard_runtime {

AdapterError unavailable(std::string platform_detail) {
  return AdapterError::make(ErrorCode::ACTION_FAILED, "System clipboard is unavailable")
      .with_suggestion(kRetrySuggestion)
      .with_platform_detail(std::move(platform_detail));
}

}  // namespace clipboard_runtime

Result<AutoreleasePool> AutoreleasePool::create(platform::PasteboardPlatform& platform) {
  return create(platform, cocoa_runtime::INITIALIZED(), &morvane_ensure_cocoa_multithreaded);
}

Result<AutoreleasePool> AutoreleasePool::create(platform::PasteboardPlatform& platform,
                                                cocoa_runtime::InitializationCell& cell,
                                                cocoa_runtime::InitializationCell::Routine routine) {
  if (auto ready = cell.ensure(routine); !ready) return fail(std::move(ready.error()));
  if (!platform.class_exists(platform::PlatformClass::autorelease_pool)) {
    return fail(clipboard_runtime::unavailable("NSAutoreleasePool class was not found"));
  }
  platform::Pool pool = platform.autorelease_pool_create();
  if (pool == nullptr) {
    return fail(clipboard_runtime::unavailable("NSAutoreleasePool initialization failed"));
  }
  return AutoreleasePool(platform, pool);
}

AutoreleasePool::AutoreleasePool(AutoreleasePool&& other) noexcept
    : platform_(other.platform_), pool_(std::exchange(other.pool_, nullptr)) {}

AutoreleasePool::~AutoreleasePool() {
  if (pool_ != nullptr) platform_->autorelease_pool_drain(pool_);
}

Result<platform::Pasteboard> general_pasteboard(platform::PasteboardPlatform& platform) {
  if (!platform.class_exists(platform::PlatformClass::pasteboard)) {
    return fail(clipboard_runtime::unavailable("NSPasteboard class was not found"));
  }
  platform::Pasteboard pasteboard = platform.general_pasteboard();
  if (pasteboard == nullptr) {
    return fail(clipboard_runtime::unavailable("NSPasteboard generalPasteboard returned null"));
  }
  return pasteboard;
}

Result<platform::Pasteboard> general_pasteboard(platform::PasteboardPlatform& platform,
                                                const Deadline& deadline) {
  platform.set_wait_limit(deadline.expires_at());
  auto pasteboard = general_pasteboard(platform);
  if (!pasteboard && platform.wait_limit_reached()) return fail(deadline.timeout_error());
  return pasteboard;
}

Status ensure_read_access(platform::PasteboardPlatform& platform, platform::Pasteboard pasteboard) {
  if (!platform.responds_to_access_behavior(pasteboard)) return {};
  if (platform.access_behavior(pasteboard) != kAccessAlwaysDenied) return {};
  return fail(
      AdapterError::make(ErrorCode::PERM_DENIED, "System clipboard read access is denied")
          .with_suggestion(
              "Allow pasteboard access for the app that launches morvane in System Settings, "
              "then retry."));
}

}  // namespace morvane
