#pragma once

// For the seam's own contract tests: they must run against a real implementation without
// touching the user's clipboard, so general_pasteboard() can be pointed elsewhere. Never used
// by the programs.

#include <string_view>

namespace morvane::platform {

// From now on general_pasteboard() answers the pasteboard of this unique name (AppKit:
// +[NSPasteboard pasteboardWithName:]; the stand-in: a store of that name in the temporary
// directory), shared with any other process that names it. An empty name points it back at the
// general pasteboard and disposes of the named one. Not thread-safe.
void use_named_pasteboard_for_testing(std::string_view name);

}  // namespace morvane::platform
