#include "input/clipboard/clipboard_read.h"

#include <optional>
#include <variant>

#include "input/clipboard/clipboard_file_urls.h"
#include "input/clipboard/clipboard_image_convert.h"
#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/clipboard_runtime.h"
#include "input/clipboard/imp.h"
#include "input/clipboard_content.h"

namespace morvane {

namespace {

using platform::PasteboardPlatform;

// What one pass found; nullopt is an empty pasteboard (for the kind asked).
using PassResult = std::optional<ClipboardContent>;

Result<PassResult> read_text(PasteboardPlatform& platform, platform::Pasteboard pasteboard) {
  auto text = imp::read_string(platform, pasteboard);
  if (!text) return fail(std::move(text.error()));
  if (!*text) return PassResult();
  return PassResult(TextContent{std::move(**text)});
}

Result<PassResult> image_result(Result<std::optional<ImageContent>> image) {
  if (!image) return fail(std::move(image.error()));
  if (!*image) return PassResult();
  return PassResult(std::move(**image));
}

Result<PassResult> read_png(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                            const Deadline& deadline) {
  return image_result(clipboard_rich::read_image(platform, pasteboard, deadline));
}

// An image in another type, converted: read only where the pasteboard offers no PNG (and, for
// auto, nothing else either), so that no answer other than "none" changes.
Result<PassResult> read_converted(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                                  const Deadline& deadline) {
  return image_result(
      clipboard_image_convert::read_converted_image(platform, pasteboard, deadline));
}

Result<PassResult> read_image(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                              const Deadline& deadline) {
  auto png = read_png(platform, pasteboard, deadline);
  if (!png || *png) return png;
  return read_converted(platform, pasteboard, deadline);
}

// An empty list counts as nothing found.
Result<PassResult> read_file_urls(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                                  const Deadline& deadline) {
  auto paths = clipboard_file_urls::read_file_urls(platform, pasteboard, deadline);
  if (!paths) return fail(std::move(paths.error()));
  if (paths->empty()) return PassResult();
  return PassResult(FileUrlsContent{std::move(*paths)});
}

// Stops at the first reader that finds something or fails.
Result<PassResult> read_auto(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                             const Deadline& deadline) {
  auto urls = read_file_urls(platform, pasteboard, deadline);
  if (!urls || *urls) return urls;
  auto png = read_png(platform, pasteboard, deadline);
  if (!png || *png) return png;
  auto text = read_text(platform, pasteboard);
  if (!text || *text) return text;
  return read_converted(platform, pasteboard, deadline);
}

Result<PassResult> run_readers(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                               ReadKind kind, const Deadline& deadline) {
  switch (kind) {
    case ReadKind::text: return read_text(platform, pasteboard);
    case ReadKind::image: return read_image(platform, pasteboard, deadline);
    case ReadKind::file_urls: return read_file_urls(platform, pasteboard, deadline);
    case ReadKind::auto_detect: break;
  }
  return read_auto(platform, pasteboard, deadline);
}

// Two passes at most: a pass whose change counts differ is dropped and read again once.
Result<PassResult> read_undisturbed(PasteboardPlatform& platform, platform::Pasteboard pasteboard,
                                    ReadKind kind, const Deadline& deadline) {
  constexpr int kPasses = 2;
  for (int pass = 0; pass < kPasses; ++pass) {
    if (deadline.is_expired()) return fail(deadline.timeout_error());
    const std::int64_t before = platform.change_count(pasteboard);
    auto result = run_readers(platform, pasteboard, kind, deadline);
    if (!result) return result;
    // A late but complete read is still a timeout.
    if (deadline.is_expired()) return fail(deadline.timeout_error());
    if (platform.change_count(pasteboard) == before) return result;
  }
  return fail(imp::concurrent_change_error());
}

Result<PassResult> read_in_pool(PasteboardPlatform& platform, ReadKind kind,
                                const Deadline& deadline) {
  auto pool = AutoreleasePool::create(platform);
  if (!pool) return fail(std::move(pool.error()));
  auto pasteboard = general_pasteboard(platform, deadline);
  if (!pasteboard) return fail(std::move(pasteboard.error()));
  if (auto access = ensure_read_access(platform, *pasteboard); !access) {
    return fail(std::move(access.error()));
  }
  return read_undisturbed(platform, *pasteboard, kind, deadline);
}

OperationOutput output_of(TextContent text) { return {{{"kind", "text"}}, std::move(text.text)}; }

OperationOutput output_of(ImageContent image) {
  return {{{"height", image.height}, {"kind", "image"}, {"width", image.width}},
          std::move(image.png)};
}

// The paths are valid UTF-8 (the reader guarantees it), so serialization cannot fail.
OperationOutput output_of(FileUrlsContent urls) {
  return {{{"kind", "file_urls"}}, serialize_json(nlohmann::json(urls.paths))};
}

OperationOutput output_of(PassResult result) {
  if (!result) return {{{"kind", "none"}}, {}};
  return std::visit([](auto content) { return output_of(std::move(content)); },
                    std::move(*result));
}

}  // namespace

Outcome stable_read_on(PasteboardPlatform& platform, ReadKind kind, const Deadline& deadline) {
  // The pool is drained inside read_in_pool, before the output is built.
  auto result = read_in_pool(platform, kind, deadline);
  if (!result) return fail(std::move(result.error()));
  return output_of(std::move(*result));
}

Outcome stable_read(ReadKind kind, const Deadline& deadline) {
  return stable_read_on(platform::pasteboard_platform(), kind, deadline);
}

Outcome read_auto_operation(std::span<const std::string>, const Deadline& deadline) {
  return stable_read(ReadKind::auto_detect, deadline);
}
Outcome read_text_operation(std::span<const std::string>, const Deadline& deadline) {
  return stable_read(ReadKind::text, deadline);
}
Outcome read_image_operation(std::span<const std::string>, const Deadline& deadline) {
  return stable_read(ReadKind::image, deadline);
}
Outcome read_file_urls_operation(std::span<const std::string>, const Deadline& deadline) {
  return stable_read(ReadKind::file_urls, deadline);
}

}  // namespace morvane
