#pragma once

// The stand-in's CFURL: URL text parsed as RFC 3986 does, file-system paths taken out of file
// URLs, and file URLs made from paths. Pure functions over bytes, so the fuzz target can drive
// them without the rest of the simulated platform.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::sim {

// A URL that parsed. `file_path` holds the percent-decoded path (which may contain NUL bytes)
// when the URL is a local file URL: scheme "file", no user, no port, and an empty or
// "localhost" host, as the platform accepts file://localhost/x with the path /x.
struct ParsedUrl {
  std::string text;
  std::optional<std::string> file_path;
};

// CFURLCreateWithString: nullopt when the text is not a well-formed RFC 3986 URI reference
// with a scheme (raw spaces, non-ASCII bytes, broken percent escapes, ...).
std::optional<ParsedUrl> parse_url(std::string_view text);

// CFURLGetFileSystemRepresentation into a buffer of `buffer_size` bytes: nullopt when the URL
// has no local path or the path and its terminating NUL do not fit. The result ends at the
// first NUL of the decoded path, as a C string in the buffer would.
std::optional<std::string> file_system_representation(const ParsedUrl& url,
                                                      std::size_t buffer_size);

// CFURLCreateFromFileSystemRepresentation: "file://" followed by the percent-encoded path;
// nullopt for an empty or relative path, which the stand-in has no base directory for.
std::optional<std::string> file_url_for_path(std::string_view path);

// A file reference URL names a file by device and inode instead of by path:
// file:///.file/id=<device>.<inode>, both decimal. The platform's own ids are a volume and a
// file id; the stand-in uses the file system's device and inode numbers in their place.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};
// CFURLIsFileReferenceURL, on a file URL's decoded path: it begins with "/.file/id=".
bool is_file_reference_path(std::string_view path);
// The id of a reference path of exactly the form "/.file/id=<device>.<inode>"; nullopt for any
// other text, including numbers that do not fit 64 bits.
std::optional<FileId> file_reference_id(std::string_view path);
// The file reference URL of an id.
std::string file_reference_url(FileId id);

// Every byte that may not stand raw in a URL path becomes %XX; percent_decode undoes it, so
// percent_decode(percent_encode_path(p)) == p for every byte string p.
std::string percent_encode_path(std::string_view bytes);
// nullopt when a '%' is not followed by two hex digits.
std::optional<std::string> percent_decode(std::string_view text);

}  // namespace morvane::sim
