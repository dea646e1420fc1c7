#include <string>
#include <vector>

#include "sim_pasteboard_command.h"

// The command line alone: no store and no pasteboard, so the same parser serves the simulated
// pasteboard's tool and its twin on macOS.

namespace morvane::sim_tool {

const char* const kUsage =
    "Plays another application on the simulated general pasteboard.\n"
    "usage:\n"
    "  sim_pasteboard write [--text TEXT | --text-file PATH] [--png PATH] [--file-url URL]...\n"
    "                       [--file-reference PATH]... [--plain-item]... [--data TYPE PATH]...\n"
    "      clears the pasteboard and writes in one step; each --file-url, --file-reference and\n"
    "      --plain-item starts an item, in the order given, the text and the PNG go to the first\n"
    "      item; prints the change count. --file-reference plants the file reference URL\n"
    "      file:///.file/id=<device>.<inode> of PATH, which resolves to PATH for as long as that\n"
    "      file is there. --data puts the bytes of PATH under the pasteboard type TYPE (a UTI,\n"
    "      such as public.tiff) in the item started last, or in the first item\n"
    "  sim_pasteboard clear                      prints the new change count\n"
    "  sim_pasteboard read text|png|file-urls|change-count\n"
    "      exit status 1 with no output when the pasteboard holds no such content\n"
    "  sim_pasteboard set access-behavior 0|1|2|3\n"
    "      the pasteboard's access behaviour, as macOS names it: 0 default, 1 ask, 2 always\n"
    "      allow, 3 always deny; at 3 every read of the helper answers PERM_DENIED, at 0 to 2\n"
    "      reads go on as usual\n"
    "  sim_pasteboard set refuse-writes on|off   the helper's writes are refused while on\n"
    "  sim_pasteboard check                      applies the helper's rules to the store it would\n"
    "      use: prints the first rule that fails (exit status 3), or that all hold\n"
    "  sim_pasteboard --help                     this text\n"
    "  sim_pasteboard --version                  the release it belongs to\n"
    "The store is $MORVANE_SIM_PASTEBOARD, else $XDG_RUNTIME_DIR/morvane-sim-pasteboard, else\n"
    "${TMPDIR:-/tmp}/morvane-sim-pasteboard-<uid>/pasteboard in a private folder made for it;\n"
    "an empty variable counts as unset. A relative path is taken from the working directory.\n"
    "Exit status: 0 done; 1 nothing of that kind to read; 2 usage error; 3 the store or an\n"
    "input file failed.\n";

namespace {

using Arguments = std::vector<std::string>;

std::unexpected<std::string> bad(std::string reason) { return std::unexpected(std::move(reason)); }

std::expected<Command, std::string> parse_write(const Arguments& args) {
  Write write;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--data") {
      if (args.size() - i < 3) return bad("--data needs a type and a path");
      const std::optional<std::size_t> item =
          write.items.empty() ? std::nullopt : std::optional(write.items.size() - 1);
      write.data.push_back(PlannedData{args[i + 1], args[i + 2], item});
      i += 2;
      continue;
    }
    if (option == "--plain-item") {
      write.items.push_back(PlannedItem{});
      continue;
    }
    if (option != "--text" && option != "--text-file" && option != "--png" &&
        option != "--file-url" && option != "--file-reference") {
      return bad("unknown option " + option);
    }
    if (i + 1 == args.size()) return bad(option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--file-url") {
      write.items.push_back(PlannedItem{value, std::nullopt});
    } else if (option == "--file-reference") {
      if (value.empty()) return bad("--file-reference needs a path");
      write.items.push_back(PlannedItem{std::nullopt, value});
    } else if (option == "--png") {
      if (write.png_file) return bad("--png given twice");
      write.png_file = value;
    } else {
      if (write.text || write.text_file) return bad("give one --text or --text-file");
      (option == "--text" ? write.text : write.text_file) = value;
    }
  }
  return write;
}

std::expected<Command, std::string> parse_read(const Arguments& args) {
  if (args.size() != 2) return bad("read takes one of text, png, file-urls, change-count");
  const std::string& what = args[1];
  if (what == "text") return Read{ReadWhat::text};
  if (what == "png") return Read{ReadWhat::png};
  if (what == "file-urls") return Read{ReadWhat::file_urls};
  if (what == "change-count") return Read{ReadWhat::change_count};
  return bad("cannot read " + what);
}

std::expected<Command, std::string> parse_set(const Arguments& args) {
  if (args.size() != 3) return bad("set takes a property and a value");
  const std::string& value = args[2];
  if (args[1] == "access-behavior") {
    if (value.size() != 1 || value[0] < '0' || value[0] > '3') {
      return bad("access-behavior is 0, 1, 2 or 3");
    }
    return SetAccessBehavior{value[0] - '0'};
  }
  if (args[1] == "refuse-writes") {
    if (value != "on" && value != "off") return bad("refuse-writes is on or off");
    return SetRefuseWrites{value == "on"};
  }
  return bad("cannot set " + args[1]);
}

}  // namespace

std::expected<Command, std::string> parse_command(const Arguments& args) {
  if (args.empty()) return bad("no command");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") return Help{};
  if (args[0] == "write") return parse_write(args);
  if (args[0] == "clear") {
    if (args.size() != 1) return bad("clear takes no arguments");
    return Clear{};
  }
  if (args[0] == "read") return parse_read(args);
  if (args[0] == "check") {
    if (args.size() != 1) return bad("check takes no arguments");
    return Check{};
  }
  if (args[0] == "set") return parse_set(args);
  return bad("unknown command " + args[0]);
}

}  // namespace morvane::sim_tool
