#include "input/clipboard/imp.h"

#include <cmath>
#include <vector>

#include "input/clipboard/clipboard_file_urls.h"
#include "input/clipboard/clipboard_image_io.h"
#include "input/clipboard/clipboard_rich.h"
#include "input/clipboard/clipboard_runtime.h"
#include "input/clipboard/clipboard_transaction.h"
#include "input/utf8.h"

namespace morvane::imp {

namespace {

using platform::Owned;
using platform::PasteboardPlatform;
using platform::Pasteboard;

constexpr std::string_view kTextKind = "text";
constexpr std::string_view kFileUrlsKind = "file URLs";

AdapterError invalid(std::string message) {
  return AdapterError::make(ErrorCode::INVALID_ARGS, std::move(message));
}

// ---- Text ----

Status write_text(PasteboardPlatform& platform, Pasteboard pasteboard, const std::string& text,
                  const Deadline& operation) {
  if (auto open = operation.ensure_remaining(); !open) return open;
  // A string that cannot be created is handled like a refused write: the transaction then
  // cleans up after itself as for any other write failure.
  Owned<platform::String> string = own(platform, platform.string_create_utf8(text));
  const bool accepted =
      string && platform.set_string(pasteboard, string.get(), platform::PasteboardType::string);
  string.reset();
  if (!accepted) return fail(clipboard_transaction::write_failure(kTextKind));
  return {};
}

Result<bool> verify_text(PasteboardPlatform& platform, Pasteboard pasteboard,
                         const std::string& expected, const Deadline& operation) {
  if (operation.is_expired()) return fail(operation.timeout_error());
  auto read = read_string(platform, pasteboard);
  if (!read) return fail(std::move(read.error()));
  if (operation.is_expired()) return fail(operation.timeout_error());
  return read->has_value() && **read == expected;
}

Status set_text_on(PasteboardPlatform& platform, Pasteboard pasteboard, const TextContent& content,
                   const Deadline& deadline) {
  return clipboard_transaction::run_replace(
      platform, pasteboard, kTextKind, deadline,
      [&](const Deadline& operation) { return write_text(platform, pasteboard, content.text, operation); },
      [&](const Deadline& operation) {
        return verify_text(platform, pasteboard, content.text, operation);
      });
}

// ---- Image ----

Status validate_image(PasteboardPlatform& platform, const ImageContent& image) {
  if (image.png.size() > clipboard_rich::kMaxEncodedPngBytes) {
    return fail(invalid("Image exceeds the 64 MiB encoded-data budget"));
  }
  auto header = clipboard_rich::validate_png_header(image.png, true);
  if (!header) return fail(std::move(header.error()));
  auto parsed = parse_png_dimensions(image.png);
  if (!parsed) return fail(invalid("Clipboard images must be complete, valid PNG payloads"));
  if (*parsed != *header || !clipboard_image_io::is_complete_png(platform, image.png)) {
    return fail(invalid("Clipboard PNG failed platform validation"));
  }
  const bool scale_ok = std::isfinite(image.scale) && image.scale > 0.0;
  if (image.metadata_mismatch || image.width != header->width || image.height != header->height ||
      !scale_ok) {
    return fail(invalid("Clipboard image metadata does not match its PNG payload"));
  }
  return {};
}

// ---- File URLs ----

// The platform URL objects for a file list and the paths they resolve to, in input order.
struct PreparedFileUrls {
  std::vector<Owned<platform::Url>> urls;
  std::vector<std::string> resolved_paths;
};

bool is_bounded_absolute_path(std::string_view path) {
  return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos &&
         utf16_length(path) <= kMaxInputPathUnits;
}

Result<PreparedFileUrls> prepare_file_urls(PasteboardPlatform& platform,
                                           const std::vector<std::string>& paths) {
  if (paths.empty() || paths.size() > kMaxWritePaths) {
    return fail(invalid("File URL list must contain 1 to 1024 paths"));
  }
  PreparedFileUrls prepared;
  std::uint64_t path_units = 0;
  // What the pasteboard will hold, and what verification reads back, is the URL text, which
  // is longer than its path; counting only paths would let a list through that clears the
  // clipboard and then can never pass its own read-back.
  std::uint64_t url_text_units = 0;
  for (const std::string& path : paths) {
    if (!is_bounded_absolute_path(path)) {
      return fail(invalid("Every file path must be a bounded absolute path"));
    }
    Owned<platform::Url> url = own(platform, platform.url_create_from_path(path));
    if (!url) return fail(invalid("Every file path must be representable as a file URL"));
    // A path of the form /.file/id=... makes a file reference URL, which the read-back, as any
    // read, resolves to the path of the file it names: it could never match. The URL of that
    // path is written instead and that path expected; a reference to nothing is refused here,
    // before the clear. CFURLIsFileReferenceURL flags a URL made from such a path as it flags
    // one parsed from the text file:///.file/id=...
    if (platform.url_is_file_reference(url.get())) {
      url = own(platform, platform.url_create_file_path_url(url.get()));
      if (!url) return fail(invalid("Every file URL must resolve to a local UTF-8 path"));
    }
    auto resolved = clipboard_file_urls::file_system_path(platform, url.get());
    if (!resolved) return fail(invalid("Every file URL must resolve to a local UTF-8 path"));
    if (__builtin_add_overflow(path_units, utf16_length(*resolved), &path_units)) {
      return fail(invalid("File URL text budget overflowed"));
    }
    platform::String url_text = platform.url_string(url.get());
    url_text_units += url_text ? platform.string_length(url_text) : 0;
    if (path_units > kMaxTotalPathUnits || url_text_units > clipboard_file_urls::kMaxTotalUrlUnits) {
      return fail(invalid("File URLs exceed the total text budget"));
    }
    prepared.urls.push_back(std::move(url));
    prepared.resolved_paths.push_back(std::move(*resolved));
  }
  return prepared;
}

Status write_file_urls(PasteboardPlatform& platform, Pasteboard pasteboard,
                       const PreparedFileUrls& prepared, const Deadline& operation) {
  if (auto open = operation.ensure_remaining(); !open) return open;
  if (!platform.class_exists(platform::PlatformClass::mutable_array)) {
    return fail(clipboard_transaction::write_failure(kFileUrlsKind));
  }
  Owned<platform::Array> array = own(platform, platform.mutable_array_create());
  if (!array) {
    return fail(clipboard_runtime::unavailable(
        "NSMutableArray initialization returned an unavailable object"));
  }
  for (const auto& url : prepared.urls) {
    if (auto open = operation.ensure_remaining(); !open) return open;
    platform.array_add_url(array.get(), url.get());
  }
  if (auto open = operation.ensure_remaining(); !open) return open;
  if (!platform.write_objects(pasteboard, array.get())) {
    return fail(clipboard_transaction::write_failure(kFileUrlsKind));
  }
  return {};
}

Result<bool> verify_file_urls(PasteboardPlatform& platform, Pasteboard pasteboard,
                              const std::vector<std::string>& expected, const Deadline& operation) {
  auto read = clipboard_file_urls::read_file_urls(platform, pasteboard, operation);
  if (!read) return fail(std::move(read.error()));
  return *read == expected;
}

Status set_file_urls_on(PasteboardPlatform& platform, Pasteboard pasteboard,
                        const FileUrlsContent& content, const Deadline& deadline) {
  auto prepared = prepare_file_urls(platform, content.paths);
  if (!prepared) return fail(std::move(prepared.error()));
  return clipboard_transaction::run_replace(
      platform, pasteboard, kFileUrlsKind, deadline,
      [&](const Deadline& operation) {
        return write_file_urls(platform, pasteboard, *prepared, operation);
      },
      [&](const Deadline& operation) {
        return verify_file_urls(platform, pasteboard, prepared->resolved_paths, operation);
      });
}

}  // namespace

Status set_content_on(PasteboardPlatform& platform, Pasteboard pasteboard,
                      const ClipboardContent& content, const Deadline& deadline) {
  if (const auto* text = std::get_if<TextContent>(&content)) {
    return set_text_on(platform, pasteboard, *text, deadline);
  }
  if (const auto* image = std::get_if<ImageContent>(&content)) {
    if (auto valid = validate_image(platform, *image); !valid) return valid;
    return clipboard_transaction::replace_on(platform, pasteboard, deadline, image->png, image->png);
  }
  return set_file_urls_on(platform, pasteboard, std::get<FileUrlsContent>(content), deadline);
}

Status set_content_direct(PasteboardPlatform& platform, const ClipboardContent& content,
                          const Deadline& deadline) {
  if (const auto* text = std::get_if<TextContent>(&content)) {
    const std::uint64_t units = utf16_length(text->text);
    if (units > kTextBudgetUnits) return fail(text_budget_error(ErrorCode::INVALID_ARGS, units));
  }
  auto pool = AutoreleasePool::create(platform);
  if (!pool) return fail(std::move(pool.error()));
  if (deadline.is_expired()) return fail(deadline.timeout_error());
  auto pasteboard = general_pasteboard(platform, deadline);
  if (!pasteboard) return fail(std::move(pasteboard.error()));
  return set_content_on(platform, *pasteboard, content, deadline);
}

Status set_content_direct(const ClipboardContent& content, const Deadline& deadline) {
  return set_content_direct(platform::pasteboard_platform(), content, deadline);
}

}  // namespace morvane::imp
