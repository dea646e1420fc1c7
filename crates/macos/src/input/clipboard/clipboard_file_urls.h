#pragma once

// Reading the pasteboard's file URLs as local paths, within the item and length budgets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/clipboard/pasteboard_platform.h"
#include "response/adapter_error.h"
#include "wait/deadline.h"

namespace morvane::clipboard_file_urls {

// Read budgets; all inclusive.
inline constexpr std::size_t kMaxItems = 1024;
inline constexpr std::size_t kMaxUrlUnits = 16'384;
inline constexpr std::size_t kMaxTotalUrlUnits = 1'000'000;
// CFURLGetFileSystemRepresentation buffer, NUL included: at most 1023 path bytes.
inline constexpr std::size_t kPathBufferBytes = 1024;

// ACTION_FAILED with the given message and nothing else: every error the reader raises.
AdapterError data_error(std::string message);

// The absolute paths of the pasteboard's file URLs, in item order; empty when it offers none.
// Never a partial list: any error discards what was read.
Result<std::vector<std::string>> read_file_urls(platform::PasteboardPlatform& platform,
                                                platform::Pasteboard pasteboard,
                                                const Deadline& deadline);

// A file URL's text as a local UTF-8 path, or nullopt when it is not one: the text must start
// with "file:///" (no host, lower-case scheme), hold no NUL and no "%00", parse as a URL, and
// have a file-system path that fits the buffer (see file_system_path). A file reference URL
// (file:///.file/id=...) is first turned into the path URL of the file it names; one that
// cannot be, because the file is gone, is refused. A text with an unpaired surrogate has no
// UTF-8 form and is refused like any other non-local URL.
std::optional<std::string> path_from_url_text(platform::PasteboardPlatform& platform,
                                              platform::String url_text);

// The URL's percent-decoded file-system path: it must fit kPathBufferBytes with its NUL, be
// valid UTF-8, be non-empty, hold no NUL and start with "/".
std::optional<std::string> file_system_path(platform::PasteboardPlatform& platform,
                                            platform::Url url);

}  // namespace morvane::clipboard_file_urls
