#include "sim_pasteboard_command.h"

#include <cstdio>
#include <fstream>

#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "input/utf8.h"

namespace morvane::sim_tool {

const char* const kUsage =
    "Plays another application on the simulated general pasteboard.\n"
    "usage:\n"
    "  sim_pasteboard write [--text TEXT | --text-file PATH] [--png PATH] [--file-url URL]...\n"
    "                       [--plain-item]...\n"
    "      clears the pasteboard and writes in one step; each --file-url and --plain-item\n"
    "      starts an item, the text and the PNG go to the first item; prints the change count\n"
    "  sim_pasteboard clear                      prints the new change count\n"
    "  sim_pasteboard read text|png|file-urls|change-count\n"
    "      exit status 1 with no output when the pasteboard holds no such content\n"
    "  sim_pasteboard set access-behavior 0|1|2|3\n"
    "  sim_pasteboard set refuse-writes on|off   the helper's writes are refused while on\n"
    "  sim_pasteboard --help                     this text\n"
    "The store is $MORVANE_SIM_PASTEBOARD, else $XDG_RUNTIME_DIR/morvane-sim-pasteboard, else\n"
    "${TMPDIR:-/tmp}/morvane-sim-pasteboard-<uid>/pasteboard in a private folder made for it.\n"
    "Exit status: 0 done; 1 nothing of that kind to read; 2 usage error; 3 the store or an\n"
    "input file failed.\n";

namespace {

using Arguments = std::vector<std::string>;
using sim::EntryType;
using sim::StoreContents;
using sim::Value;

std::unexpected<std::string> bad(std::string reason) { return std::unexpected(std::move(reason)); }

std::expected<Command, std::string> parse_write(const Arguments& args) {
  Write write;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--plain-item") {
      write.items.push_back(PlannedItem{});
      continue;
    }
    if (option != "--text" && option != "--text-file" && option != "--png" &&
        option != "--file-url") {
      return bad("unknown option " + option);
    }
    if (i + 1 == args.size()) return bad(option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--file-url") {
      write.items.push_back(PlannedItem{value});
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

int fail(const std::string& message) {
  std::fprintf(stderr, "sim_pasteboard: %s\n", message.c_str());
  return kExitFailed;
}

template <typename Buffer>
std::expected<Buffer, std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::unexpected("cannot open " + path);
  const std::streamoff size = in.tellg();
  if (size < 0) return std::unexpected("cannot read " + path);
  Buffer bytes(static_cast<std::size_t>(size), 0);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
    return std::unexpected("cannot read " + path);
  }
  return bytes;
}

std::expected<Value, std::string> utf16_value(const std::string& utf8, const std::string& what) {
  auto text = utf8_to_utf16(utf8);
  if (!text) return std::unexpected(what + " is not UTF-8");
  return Value::of_utf16(*text);
}

int print(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    return fail("cannot write to standard output");
  }
  return kExitOk;
}

int print_change_count(const std::expected<sim::Snapshot, sim::IoError>& contents) {
  if (!contents) return fail(contents.error().message);
  return print(std::to_string((*contents)->change_count) + "\n");
}

// Everything a write puts on the pasteboard, read and checked before the store is touched.
struct WriteValues {
  std::optional<Value> text;
  std::optional<Value> png;
  std::vector<std::optional<Value>> file_urls;  // one per item
};

std::expected<WriteValues, std::string> gather(const Write& write) {
  WriteValues values;
  if (write.text || write.text_file) {
    auto utf8 = write.text ? std::expected<std::string, std::string>(*write.text)
                           : read_file<std::string>(*write.text_file);
    if (!utf8) return std::unexpected(utf8.error());
    auto text = utf16_value(*utf8, "the text");
    if (!text) return std::unexpected(text.error());
    values.text = std::move(*text);
  }
  if (write.png_file) {
    auto png = read_file<Bytes>(*write.png_file);
    if (!png) return std::unexpected(png.error());
    values.png = Value::of_bytes(std::move(*png));
  }
  for (const PlannedItem& item : write.items) {
    if (!item.file_url) {
      values.file_urls.emplace_back();
      continue;
    }
    auto url = utf16_value(*item.file_url, "the file URL " + *item.file_url);
    if (!url) return std::unexpected(url.error());
    values.file_urls.emplace_back(std::move(*url));
  }
  return values;
}

int run_write(const Write& write, sim::PasteboardStore& store) {
  auto values = gather(write);
  if (!values) return fail(values.error());
  return print_change_count(store.update([&](StoreContents& contents) {
    contents.clear_by(sim::process_owner_token());
    for (const auto& url : values->file_urls) {
      sim::StoreItem& item = contents.items.emplace_back();
      if (url) item.put(EntryType::file_url, *url);
    }
    if (values->text) contents.first_item().put(EntryType::string, *values->text);
    if (values->png) contents.first_item().put(EntryType::png, *values->png);
    return true;
  }));
}

std::expected<std::string, std::string> utf8_of(const Value& value) {
  auto text = utf16_to_utf8(value.utf16());
  if (!text) return std::unexpected(std::string("the pasteboard text has no UTF-8 form"));
  return *text;
}

// The bytes a read prints; nullopt when the pasteboard holds none of that.
using ReadOutput = std::expected<std::optional<std::string>, std::string>;

ReadOutput read_output(ReadWhat what, const StoreContents& contents) {
  switch (what) {
    case ReadWhat::change_count:
      return std::to_string(contents.change_count) + "\n";
    case ReadWhat::png: {
      const Value* png = contents.first(EntryType::png);
      if (png == nullptr) return std::nullopt;
      return std::string(reinterpret_cast<const char*>(png->bytes.data()), png->bytes.size());
    }
    case ReadWhat::text: {
      const Value* text = contents.first(EntryType::string);
      if (text == nullptr) return std::nullopt;
      return utf8_of(*text);
    }
    case ReadWhat::file_urls: {
      std::string lines;
      for (const sim::StoreItem& item : contents.items) {
        const Value* url = item.find(EntryType::file_url);
        if (url == nullptr) continue;
        auto utf8 = utf8_of(*url);
        if (!utf8) return std::unexpected(utf8.error());
        lines += *utf8 + "\n";
      }
      if (lines.empty()) return std::nullopt;
      return lines;
    }
  }
  return std::nullopt;
}

// The output is taken from the store before anything is printed, and printed only if the store
// file was not changed in place meanwhile, so a torn read never reaches standard output.
int run_read(ReadWhat what, sim::PasteboardStore& store) {
  auto contents = store.load();
  if (!contents) return fail(contents.error().message);
  auto output = read_output(what, **contents);
  if (!output) return fail(output.error());
  if (auto again = store.load(); !again) return fail(again.error().message);
  return *output ? print(**output) : kExitNothing;
}

int run_update(sim::PasteboardStore& store, const sim::PasteboardStore::Change& change) {
  auto contents = store.update(change);
  return contents ? kExitOk : fail(contents.error().message);
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
  if (args[0] == "set") return parse_set(args);
  return bad("unknown command " + args[0]);
}

int run_command(const Command& command, const sim::StoreLocation& store_location) {
  if (std::holds_alternative<Help>(command)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  sim::PasteboardStore store(store_location);
  if (const auto* write = std::get_if<Write>(&command)) return run_write(*write, store);
  if (std::holds_alternative<Clear>(command)) {
    return print_change_count(store.update([](StoreContents& contents) {
      contents.clear_by(sim::process_owner_token());
      return true;
    }));
  }
  if (const auto* read = std::get_if<Read>(&command)) return run_read(read->what, store);
  if (const auto* access = std::get_if<SetAccessBehavior>(&command)) {
    return run_update(store, [&](StoreContents& contents) {
      contents.access_behavior = access->value;
      return true;
    });
  }
  const bool refuse = std::get<SetRefuseWrites>(command).on;
  return run_update(store, [&](StoreContents& contents) {
    contents.refuse_writes = refuse;
    return true;
  });
}

}  // namespace morvane::sim_tool
