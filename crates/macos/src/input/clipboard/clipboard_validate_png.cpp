#include "input/clipboard/clipboard_validate_png.h"

#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/request_reader.h"

namespace morvane {

namespace {

// The request is untrusted and this operation checks no deadline (only the watchdog ends it):
// without a bound on the declared dimensions, 64 MiB of deflate data could make the platform
// decode for a minute, or allocate a row of gigabytes. The clipboard accepts no image over the pixel budget anyway, so one over
// it is refused before the decoder sees it.
bool within_pixel_budget(ByteView png) {
  return clipboard_rich::validate_png_header(png, true).has_value();
}

}  // namespace

Outcome validate_png_on(platform::PasteboardPlatform& platform, ByteView png) {
  if (!within_pixel_budget(png) || !clipboard_image_io::is_complete_png(platform, png)) {
    return fail(AdapterError::make(ErrorCode::INVALID_ARGS,
                                   "Clipboard PNG failed platform validation"));
  }
  return OperationOutput{{{"kind", "none"}}, {}};
}

Outcome validate_png_operation(std::span<const std::string>, const Deadline& deadline) {
  auto request = read_input(deadline);
  if (!request) return fail(std::move(request.error()));
  return validate_png_on(platform::pasteboard_platform(), *request);
}

}  // namespace morvane
