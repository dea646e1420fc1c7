#include "input/clipboard/clipboard_write_operations.h"

#include "input/clipboard/clipboard_clear.h"
#include "input/clipboard/clipboard_requests.h"
#include "input/clipboard/imp.h"
#include "input/clipboard/request_reader.h"
#include "input/utf8.h"

namespace morvane {

namespace {

Outcome committed() { return OperationOutput{committed_verified_metadata(), {}}; }

Outcome write_content(const ClipboardContent& content, const Deadline& deadline) {
  if (auto written = imp::set_content_direct(content, deadline); !written) {
    return fail(std::move(written.error()));
  }
  return committed();
}

}  // namespace

Outcome write_text_operation(std::span<const std::string>, const Deadline& deadline) {
  auto request = read_input_text(deadline);
  if (!request) return fail(std::move(request.error()));
  if (!is_valid_utf8(*request)) {
    return fail(AdapterError::make(ErrorCode::INVALID_ARGS, "Clipboard text must be valid UTF-8"));
  }
  return write_content(TextContent{std::move(*request)}, deadline);
}

Outcome write_image_operation(std::span<const std::string> arguments, const Deadline& deadline) {
  auto width = parse_u32_arg(arguments[0], "width");
  if (!width) return fail(std::move(width.error()));
  auto height = parse_u32_arg(arguments[1], "height");
  if (!height) return fail(std::move(height.error()));
  auto scale = parse_double_arg(arguments[2], "scale factor");
  if (!scale) return fail(std::move(scale.error()));
  auto request = read_input(deadline);
  if (!request) return fail(std::move(request.error()));
  return write_content(ImageContent{std::move(*request), *scale, *width, *height, false}, deadline);
}

Outcome write_file_urls_operation(std::span<const std::string>, const Deadline& deadline) {
  auto request = read_input_text(deadline);
  if (!request) return fail(std::move(request.error()));
  auto paths = decode_file_url_request(*request);
  if (!paths) return fail(std::move(paths.error()));
  return write_content(FileUrlsContent{std::move(*paths)}, deadline);
}

}  // namespace morvane
