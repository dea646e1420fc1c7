#include "sim_pasteboard_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "input/clipboard/sim/url_conversion_sim.h"
#include "input/utf8.h"

namespace morvane::sim_tool {

namespace {

using sim::EntryType;
using sim::StoreContents;
using sim::Value;

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

// What one item of a write holds besides the text and the PNG.
struct ItemValues {
  std::optional<Value> file_url;
  std::optional<Value> file_reference;
};

struct DataValue {
  EntryType type;
  Value value;
  std::optional<std::size_t> item;
};

// Everything a write puts on the pasteboard, read and checked before the store is touched.
struct WriteValues {
  std::optional<Value> text;
  std::optional<Value> png;
  std::vector<ItemValues> items;
  std::vector<DataValue> data;
};

std::expected<DataValue, std::string> data_value(const PlannedData& planned) {
  const auto type = sim::entry_type_of_data(planned.type);
  if (!type) return std::unexpected("the simulated pasteboard cannot hold data of type " + planned.type);
  auto bytes = read_file<Bytes>(planned.path);
  if (!bytes) return std::unexpected(bytes.error());
  return DataValue{*type, Value::of_bytes(std::move(*bytes)), planned.item};
}

// The reference URL of the file at `path` and the record that resolves it, taken now.
std::expected<ItemValues, std::string> file_reference_item(const std::string& path) {
  std::error_code error;
  const std::string absolute = std::filesystem::absolute(path, error).string();
  struct stat info {};
  if (error || ::lstat(absolute.c_str(), &info) != 0) return std::unexpected("cannot find " + path);
  const sim::FileReference reference{info.st_dev, info.st_ino, absolute};
  const std::string url = sim::file_reference_url({reference.device, reference.inode});
  return ItemValues{Value::of_utf16(std::u16string(url.begin(), url.end())), reference.encode()};
}

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
    if (item.file_reference) {
      auto reference = file_reference_item(*item.file_reference);
      if (!reference) return std::unexpected(reference.error());
      values.items.push_back(std::move(*reference));
    } else if (item.file_url) {
      auto url = utf16_value(*item.file_url, "the file URL " + *item.file_url);
      if (!url) return std::unexpected(url.error());
      values.items.push_back(ItemValues{std::move(*url), std::nullopt});
    } else {
      values.items.emplace_back();
    }
  }
  for (const PlannedData& planned : write.data) {
    auto data = data_value(planned);
    if (!data) return std::unexpected(data.error());
    values.data.push_back(std::move(*data));
  }
  return values;
}

int run_write(const Write& write, sim::PasteboardStore& store) {
  auto values = gather(write);
  if (!values) return fail(values.error());
  return print_change_count(store.update([&](StoreContents& contents) {
    contents.clear_by(sim::process_owner_token());
    for (const ItemValues& planned : values->items) {
      sim::StoreItem& item = contents.items.emplace_back();
      if (planned.file_url) item.put(EntryType::file_url, *planned.file_url);
      if (planned.file_reference) item.put(EntryType::file_reference, *planned.file_reference);
    }
    if (values->text) contents.first_item().put(EntryType::string, *values->text);
    if (values->png) contents.first_item().put(EntryType::png, *values->png);
    for (const DataValue& data : values->data) {
      (data.item ? contents.items[*data.item] : contents.first_item()).put(data.type, data.value);
    }
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

// The helper says nothing of why it finds the pasteboard unavailable; this says it.
int run_check(sim::PasteboardStore& store) {
  if (auto broken = store.first_broken_rule()) {
    std::printf("%s\n", broken->c_str());
    return kExitFailed;
  }
  std::printf("store %s: every rule holds\n", store.path().c_str());
  return kExitOk;
}

int run_update(sim::PasteboardStore& store, const sim::PasteboardStore::Change& change) {
  auto contents = store.update(change);
  return contents ? kExitOk : fail(contents.error().message);
}

}  // namespace

int run_command(const Command& command, const sim::StoreLocation& store_location) {
  if (std::holds_alternative<Help>(command)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  sim::PasteboardStore store(store_location);
  if (std::holds_alternative<Check>(command)) return run_check(store);
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
