#pragma once

// The "clear" operation, and the metadata of a confirmed write or clear.

#include <span>
#include <string>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/pasteboard_platform.h"
#include "wait/deadline.h"

namespace morvane {

// Empties the general pasteboard and confirms that our own clear is what it now shows.
Outcome clear_on(platform::PasteboardPlatform& platform, const Deadline& deadline);

// The "clear" operation of the operation table.
Outcome clear_operation(std::span<const std::string> arguments, const Deadline& deadline);

// {"delivery":"committed_verified","kind":"none"}: a write or clear that was confirmed.
nlohmann::json committed_verified_metadata();

}  // namespace morvane
