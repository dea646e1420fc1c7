#include "input/clipboard/clipboard_validate_png.h"

#include "input/clipboard/clipboard_helper_entry.h"
#include "input/clipboard/clipboard_image_io.h"

namespace morvane {

Outcome validate_png_on(platform::PasteboardPlatform& platform, ByteView png) {
  if (!clipboard_image_io::is_complete_png(platform, png)) {
    return fail(AdapterError::make(ErrorCode::INVALID_ARGS,
                                   "Clipboard PNG failed platform validation"));
  }
  return OperationOutput{{{"kind", "none"}}, {}};
}

Outcome validate_png_operation(std::span<const std::string>, const Deadline&) {
  auto request = read_input();
  if (!request) return fail(std::move(request.error()));
  return validate_png_on(platform::pasteboard_platform(), *request);
}

}  // namespace morvane
