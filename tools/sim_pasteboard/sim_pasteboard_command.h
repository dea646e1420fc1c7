#pragma once

// The command line of sim_pasteboard, parsed into one command. Parsing is kept apart from
// running so that every malformed command line is refused before the store is touched.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace morvane::sim {
struct StoreLocation;
}  // namespace morvane::sim

namespace morvane::sim_tool {

// One pasteboard item of a write: a --file-url, a --file-reference or a --plain-item.
struct PlannedItem {
  std::optional<std::string> file_url;
  std::optional<std::string> file_reference;  // the path of the file the reference URL names
};

// --data TYPE PATH: the file's bytes under a pasteboard type (a UTI), in the item started last,
// or the first item when none was started before it.
struct PlannedData {
  std::string type;
  std::string path;
  std::optional<std::size_t> item;  // index into Write::items; nullopt: the first item
};

struct Write {
  std::optional<std::string> text;       // --text
  std::optional<std::string> text_file;  // --text-file
  std::optional<std::string> png_file;   // --png
  std::vector<PlannedItem> items;
  std::vector<PlannedData> data;
};
struct Clear {};
enum class ReadWhat { text, png, file_urls, change_count };
struct Read {
  ReadWhat what;
};
struct SetAccessBehavior {
  std::int64_t value;
};
struct SetRefuseWrites {
  bool on;
};
struct Help {};  // --help: the usage on standard output, status 0
struct Check {};  // the store's rules, applied to the store in use

using Command = std::variant<Write, Clear, Read, SetAccessBehavior, SetRefuseWrites, Help, Check>;

// A bad command line gives the reason, for the usage message.
std::expected<Command, std::string> parse_command(const std::vector<std::string>& arguments);

extern const char* const kUsage;

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNothing = 1;  // read: the pasteboard holds none of that
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;  // the store or an input file could not be used

// Runs the command against the store at `store`, writing results to standard output.
int run_command(const Command& command, const sim::StoreLocation& store);

}  // namespace morvane::sim_tool
