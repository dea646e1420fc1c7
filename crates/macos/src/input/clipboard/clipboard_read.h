#pragma once

// The four read operations, each a stable read between two change-count samples.

#include <span>
#include <string>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "input/clipboard/pasteboard_platform.h"
#include "wait/deadline.h"

namespace morvane {

// Which readers one pass runs: auto tries file URLs, then an image, then text.
enum class ReadKind { auto_detect, text, image, file_urls };

// Reads the general pasteboard between two change-count samples and accepts the result only
// when nothing replaced the contents meanwhile; a disturbed pass is repeated once.
Outcome stable_read_on(platform::PasteboardPlatform& platform, ReadKind kind,
                       const Deadline& deadline);
Outcome stable_read(ReadKind kind, const Deadline& deadline);

// The rows of the operation table.
Outcome read_auto_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome read_text_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome read_image_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome read_file_urls_operation(std::span<const std::string> arguments,
                                 const Deadline& deadline);

}  // namespace morvane
