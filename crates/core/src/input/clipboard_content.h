#pragma once

// The clipboard's content as one value: text, a PNG image, or a list of file paths.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "system/bytes.h"

namespace morvane {

struct TextContent {
  std::string text;
};

struct ImageContent {
  Bytes png;
  double scale = 1.0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Set when the caller's metadata disagrees with the payload; the write path refuses it.
  bool metadata_mismatch = false;
};

struct FileUrlsContent {
  std::vector<std::string> paths;
};

// What a write puts on the pasteboard and what a general read returns. Moved, never copied.
using ClipboardContent = std::variant<TextContent, ImageContent, FileUrlsContent>;

// An image read from the pasteboard: the platform does not report a scale, so it is 1.0.
ImageContent image_from_pasteboard(Bytes png, std::uint32_t width, std::uint32_t height);

}  // namespace morvane
