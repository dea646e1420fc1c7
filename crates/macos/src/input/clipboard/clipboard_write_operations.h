#pragma once

// The operations that take a request payload and write it: "write:text", "write:image" and
// "write:file_urls".

#include <span>
#include <string>

#include "input/clipboard/clipboard_helper_protocol.h"
#include "wait/deadline.h"

namespace morvane {

Outcome write_text_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome write_image_operation(std::span<const std::string> arguments, const Deadline& deadline);
Outcome write_file_urls_operation(std::span<const std::string> arguments,
                                  const Deadline& deadline);

}  // namespace morvane
