#include "input/clipboard_content.h"

namespace morvane {

ImageContent image_from_pasteboard(Bytes png, std::uint32_t width, std::uint32_t height) {
  return ImageContent{std::move(png), 1.0, width, height, false};
}

}  // namespace morvane
