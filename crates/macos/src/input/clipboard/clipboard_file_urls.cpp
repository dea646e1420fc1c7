#include "input/clipboard/clipboard_file_urls.h"

#include "input/utf8.h"

namespace morvane::clipboard_file_urls {

namespace {

using platform::PasteboardPlatform;
using platform::PasteboardType;

constexpr std::string_view kLocalFilePrefix = "file:///";

bool offers_file_urls(PasteboardPlatform& platform, platform::Pasteboard pasteboard) {
  platform::Array types = platform.types(pasteboard);
  return types != nullptr && platform.array_contains_type(types, PasteboardType::file_url);
}

bool text_is_local_file_url(std::string_view text) {
  return text.starts_with(kLocalFilePrefix) && text.find('\0') == std::string_view::npos &&
         text.find("%00") == std::string_view::npos;
}

// Adds one item's URL, if it carries one, to the list; checks both text budgets first.
Status read_item(PasteboardPlatform& platform, platform::Item item, std::size_t& total_units,
                 std::vector<std::string>& paths) {
  platform::String url = platform.item_string_for_type(item, PasteboardType::file_url);
  if (url == nullptr) return {};
  const std::size_t units = platform.string_length(url);
  if (units > kMaxUrlUnits) return fail(data_error("File URL exceeds its text budget"));
  total_units += units;
  if (total_units > kMaxTotalUrlUnits) {
    return fail(data_error("File URLs exceed the total text budget"));
  }
  auto path = path_from_url_text(platform, url);
  if (!path) return fail(data_error("Clipboard file URL is not a local UTF-8 path"));
  paths.push_back(std::move(*path));
  return {};
}

Result<std::vector<std::string>> read_items(PasteboardPlatform& platform,
                                            platform::Pasteboard pasteboard,
                                            const Deadline& deadline) {
  platform::Array items = platform.pasteboard_items(pasteboard);
  if (items == nullptr) return fail(data_error("Clipboard file URL items are unavailable"));
  const std::size_t count = platform.array_count(items);
  if (count > kMaxItems) return fail(data_error("Clipboard contains too many file URLs"));
  std::vector<std::string> paths;
  std::size_t total_units = 0;
  for (std::size_t index = 0; index < count; ++index) {
    if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
    platform::Item item = platform.array_item_at(items, index);
    if (item == nullptr) return fail(data_error("Pasteboard item disappeared during read"));
    if (auto added = read_item(platform, item, total_units, paths); !added) {
      return fail(std::move(added.error()));
    }
  }
  return paths;
}

}  // namespace

AdapterError data_error(std::string message) {
  return AdapterError::make(ErrorCode::ACTION_FAILED, std::move(message));
}

Result<std::vector<std::string>> read_file_urls(PasteboardPlatform& platform,
                                                platform::Pasteboard pasteboard,
                                                const Deadline& deadline) {
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  std::vector<std::string> paths;
  if (offers_file_urls(platform, pasteboard)) {
    auto read = read_items(platform, pasteboard, deadline);
    if (!read) return fail(std::move(read.error()));
    paths = std::move(*read);
  }
  if (auto time = deadline.ensure_remaining(); !time) return fail(std::move(time.error()));
  return paths;
}

std::optional<std::string> path_from_url_text(PasteboardPlatform& platform,
                                              platform::String url_text) {
  const auto text = platform.string_utf8(url_text);
  if (!text || !text_is_local_file_url(*text)) return std::nullopt;
  auto url = platform::own(platform, platform.url_create_with_string(url_text));
  if (!url) return std::nullopt;
  if (!platform.url_is_file_reference(url.get())) return file_system_path(platform, url.get());
  // A reference URL's own path is "/.file/id=...", not where the file is: ask for the path.
  auto resolved = platform::own(platform, platform.url_create_file_path_url(url.get()));
  if (!resolved) return std::nullopt;
  return file_system_path(platform, resolved.get());
}

std::optional<std::string> file_system_path(PasteboardPlatform& platform, platform::Url url) {
  auto path = platform.url_file_system_representation(url, kPathBufferBytes);
  // The length check guards against a representation longer than the buffer could hold.
  if (!path || path->size() >= kPathBufferBytes || !is_valid_utf8(*path)) return std::nullopt;
  if (path->empty() || !path->starts_with('/') || path->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return path;
}

}  // namespace morvane::clipboard_file_urls
