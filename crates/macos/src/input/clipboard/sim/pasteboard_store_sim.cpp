#include "input/clipboard/sim/pasteboard_store_sim.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace morvane::sim {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic{'M', 'R', 'V', 'N', 'S', 'P', 'B', '\n'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::uint32_t kRefuseWritesFlag = 1;
constexpr std::size_t kHeaderSize = 56;
constexpr std::size_t kHeaderCrcOffset = 48;
constexpr std::size_t kEntrySize = 32;
// Far beyond what any reader accepts; only keeps a corrupt count from sizing allocations.
constexpr std::uint32_t kMaxEntries = 1u << 24;
// Items without values take no room in the file, so their count is bounded on its own: 64 times
// the most file URLs a reader takes, and small enough that a 56-byte file cannot make every
// reader allocate hundreds of megabytes.
constexpr std::uint32_t kMaxItems = 1u << 16;

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::uint32_t crc_of(ByteView bytes, std::uint32_t crc = 0) {
  // zlib answers a null buffer with its initial value instead of the running one.
  if (bytes.empty()) return crc;
  return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

template <typename T>
void put_le(Bytes& out, T value) {
  auto bits = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
}

template <typename T>
T get_le(ByteView bytes, std::size_t offset) {
  std::make_unsigned_t<T> bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    bits |= static_cast<std::make_unsigned_t<T>>(bytes[offset + i]) << (8 * i);
  }
  return static_cast<T>(bits);
}

bool all_zero(ByteView bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

bool known_type(std::uint16_t type) { return type >= 1 && type <= 9; }

bool is_utf16(EntryType type) { return type == EntryType::string || type == EntryType::file_url; }

struct Header {
  std::uint32_t flags = 0;
  std::int64_t change_count = 0;
  std::int64_t access_behavior = 0;
  std::uint64_t owner = 0;
  std::uint32_t item_count = 0;
  std::uint32_t entry_count = 0;
};

std::optional<Header> decode_header(ByteView bytes) {
  if (bytes.size() < kHeaderSize || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()) ||
      get_le<std::uint32_t>(bytes, 8) != kFormatVersion) {
    return std::nullopt;
  }
  Header header{get_le<std::uint32_t>(bytes, 12), get_le<std::int64_t>(bytes, 16),
                get_le<std::int64_t>(bytes, 24),  get_le<std::uint64_t>(bytes, 32),
                get_le<std::uint32_t>(bytes, 40), get_le<std::uint32_t>(bytes, 44)};
  if ((header.flags & ~kRefuseWritesFlag) != 0 || header.change_count < 0 ||
      header.entry_count > kMaxEntries || header.item_count > kMaxItems ||
      get_le<std::uint32_t>(bytes, 52) != 0) {
    return std::nullopt;
  }
  const std::size_t table_end = kHeaderSize + std::size_t{header.entry_count} * kEntrySize;
  if (bytes.size() < table_end) return std::nullopt;
  const std::uint32_t crc = crc_of(bytes.subspan(kHeaderSize, table_end - kHeaderSize),
                                   crc_of(bytes.first(kHeaderCrcOffset)));
  if (crc != get_le<std::uint32_t>(bytes, kHeaderCrcOffset)) return std::nullopt;
  return header;
}

// Reads the entry table into `contents`, checking that the values are laid out exactly as the
// encoder lays them out and that the file ends with the last one.
bool decode_entries(ByteView bytes, const Header& header, const std::shared_ptr<const void>& keep,
                    bool verify_values, StoreContents& contents) {
  contents.items.resize(header.item_count);
  std::size_t expected_offset = kHeaderSize + std::size_t{header.entry_count} * kEntrySize;
  std::uint32_t previous_item = 0;
  for (std::uint32_t i = 0; i < header.entry_count; ++i) {
    const std::size_t at = kHeaderSize + std::size_t{i} * kEntrySize;
    const auto item = get_le<std::uint32_t>(bytes, at);
    const auto type = get_le<std::uint16_t>(bytes, at + 4);
    const auto offset = get_le<std::uint64_t>(bytes, at + 8);
    const auto length = get_le<std::uint64_t>(bytes, at + 16);
    const auto crc = get_le<std::uint32_t>(bytes, at + 24);
    // Every length is checked against what is left of the file before anything is taken
    // from it: offsets and lengths come from the file and may be anything.
    const std::size_t value_start = align8(expected_offset);
    if (item >= header.item_count || item < previous_item || !known_type(type) ||
        get_le<std::uint16_t>(bytes, at + 6) != 0 || get_le<std::uint32_t>(bytes, at + 28) != 0 ||
        offset != value_start || value_start > bytes.size() ||
        length > bytes.size() - value_start ||
        !all_zero(bytes.subspan(expected_offset, value_start - expected_offset))) {
      return false;
    }
    const auto entry_type = static_cast<EntryType>(type);
    const ByteView value = bytes.subspan(offset, length);
    if (is_utf16(entry_type) && length % 2 != 0) return false;
    if (contents.items[item].find(entry_type) != nullptr) return false;
    if (verify_values && crc_of(value) != crc) return false;
    contents.items[item].entries.push_back(Entry{entry_type, Value{keep, value, crc}});
    previous_item = item;
    expected_offset = offset + length;
  }
  return expected_offset == bytes.size();
}

void encode_header(const StoreContents& contents, std::uint32_t entry_count, Bytes& out) {
  out.insert(out.end(), kMagic.begin(), kMagic.end());
  put_le<std::uint32_t>(out, kFormatVersion);
  put_le<std::uint32_t>(out, contents.refuse_writes ? kRefuseWritesFlag : 0);
  put_le<std::int64_t>(out, contents.change_count);
  put_le<std::int64_t>(out, contents.access_behavior);
  put_le<std::uint64_t>(out, contents.owner);
  put_le<std::uint32_t>(out, static_cast<std::uint32_t>(contents.items.size()));
  put_le<std::uint32_t>(out, entry_count);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

Value Value::of_bytes(Bytes bytes) {
  auto owned = std::make_shared<const Bytes>(std::move(bytes));
  const ByteView view(*owned);
  return Value{std::move(owned), view, std::nullopt};
}

Value Value::of_utf16(std::u16string_view text) {
  auto owned = std::make_shared<const std::u16string>(text);
  const ByteView view(reinterpret_cast<const std::uint8_t*>(owned->data()),
                      owned->size() * sizeof(char16_t));
  return Value{std::move(owned), view, std::nullopt};
}

std::u16string_view Value::utf16() const {
  return {reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / sizeof(char16_t)};
}

Value FileReference::encode() const {
  Bytes bytes;
  bytes.reserve(16 + path.size());
  put_le<std::uint64_t>(bytes, device);
  put_le<std::uint64_t>(bytes, inode);
  bytes.insert(bytes.end(), path.begin(), path.end());
  return Value::of_bytes(std::move(bytes));
}

std::optional<FileReference> FileReference::decode(const Value& value) {
  if (value.bytes.size() < 16) return std::nullopt;
  const ByteView path = value.bytes.subspan(16);
  return FileReference{get_le<std::uint64_t>(value.bytes, 0), get_le<std::uint64_t>(value.bytes, 8),
                       std::string(path.begin(), path.end())};
}

std::optional<EntryType> entry_type_of_data(std::string_view uti) {
  static constexpr std::pair<std::string_view, EntryType> kTypes[] = {
      {"public.png", EntryType::png},          {"public.tiff", EntryType::tiff},
      {"public.jpeg", EntryType::jpeg},        {"public.heic", EntryType::heic},
      {"com.compuserve.gif", EntryType::gif},  {"com.microsoft.bmp", EntryType::bmp}};
  for (const auto& [name, type] : kTypes) {
    if (name == uti) return type;
  }
  return std::nullopt;
}

const Value* StoreItem::find(EntryType type) const {
  for (const Entry& entry : entries) {
    if (entry.type == type) return &entry.value;
  }
  return nullptr;
}

void StoreItem::put(EntryType type, Value value) {
  for (Entry& entry : entries) {
    if (entry.type == type) {
      entry.value = std::move(value);
      return;
    }
  }
  entries.push_back(Entry{type, std::move(value)});
}

const Value* StoreContents::first(EntryType type) const {
  for (const StoreItem& item : items) {
    if (const Value* value = item.find(type)) return value;
  }
  return nullptr;
}

std::vector<EntryType> StoreContents::types() const {
  std::vector<EntryType> out;
  for (const StoreItem& item : items) {
    for (const Entry& entry : item.entries) {
      if (entry.type == EntryType::file_reference) continue;
      if (std::find(out.begin(), out.end(), entry.type) == out.end()) out.push_back(entry.type);
    }
  }
  return out;
}

void StoreContents::clear_by(std::uint64_t new_owner) {
  ++change_count;
  items.clear();
  owner = new_owner;
}

StoreItem& StoreContents::first_item() {
  if (items.empty()) items.emplace_back();
  return items.front();
}

Bytes EncodedStore::flatten() const {
  Bytes out = head;
  for (const Piece& piece : values) {
    out.resize(out.size() + piece.padding, 0);
    out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
  }
  return out;
}

EncodedStore encode_store(const StoreContents& contents) {
  std::uint32_t entry_count = 0;
  for (const StoreItem& item : contents.items) {
    entry_count += static_cast<std::uint32_t>(item.entries.size());
  }
  EncodedStore encoded;
  encoded.head.reserve(kHeaderSize + std::size_t{entry_count} * kEntrySize);
  encode_header(contents, entry_count, encoded.head);
  const std::size_t table_start = encoded.head.size() + 8;
  std::size_t offset = table_start + std::size_t{entry_count} * kEntrySize;
  Bytes table;
  table.reserve(std::size_t{entry_count} * kEntrySize);
  for (std::uint32_t index = 0; index < contents.items.size(); ++index) {
    for (const Entry& entry : contents.items[index].entries) {
      const std::size_t aligned = align8(offset);
      const ByteView bytes = entry.value.bytes;
      put_le<std::uint32_t>(table, index);
      put_le<std::uint16_t>(table, static_cast<std::uint16_t>(entry.type));
      put_le<std::uint16_t>(table, 0);
      put_le<std::uint64_t>(table, aligned);
      put_le<std::uint64_t>(table, bytes.size());
      put_le<std::uint32_t>(table, entry.value.crc ? *entry.value.crc : crc_of(bytes));
      put_le<std::uint32_t>(table, 0);
      encoded.values.push_back({aligned - offset, bytes});
      offset = aligned + bytes.size();
    }
  }
  put_le<std::uint32_t>(encoded.head, crc_of(table, crc_of(encoded.head)));
  put_le<std::uint32_t>(encoded.head, 0);
  encoded.head.insert(encoded.head.end(), table.begin(), table.end());
  return encoded;
}

std::optional<StoreContents> decode_store(ByteView bytes, std::shared_ptr<const void> keep,
                                          bool verify_values) {
  const auto header = decode_header(bytes);
  if (!header) return std::nullopt;
  StoreContents contents;
  contents.refuse_writes = (header->flags & kRefuseWritesFlag) != 0;
  contents.change_count = header->change_count;
  contents.access_behavior = header->access_behavior;
  contents.owner = header->owner;
  if (!decode_entries(bytes, *header, keep, verify_values, contents)) return std::nullopt;
  return contents;
}

void reseal_store(std::span<std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return;
  const std::size_t entries = get_le<std::uint32_t>(bytes, 44);
  const std::size_t table_end =
      kHeaderSize + std::min(entries, (bytes.size() - kHeaderSize) / kEntrySize) * kEntrySize;
  for (std::size_t at = kHeaderSize; at < table_end; at += kEntrySize) {
    const auto offset = get_le<std::uint64_t>(bytes, at + 8);
    const auto length = get_le<std::uint64_t>(bytes, at + 16);
    if (offset > bytes.size() || length > bytes.size() - offset) continue;
    const std::uint32_t crc = crc_of(ByteView(bytes).subspan(offset, length));
    for (std::size_t i = 0; i < 4; ++i) bytes[at + 24 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  const ByteView view(bytes);
  const std::uint32_t crc = crc_of(view.subspan(kHeaderSize, table_end - kHeaderSize),
                                   crc_of(view.first(kHeaderCrcOffset)));
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[kHeaderCrcOffset + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
}

StoreLocation default_store_location() {
  if (std::string path = environment("MORVANE_SIM_PASTEBOARD"); !path.empty()) {
    return {path, false};
  }
  if (std::string runtime = environment("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return {runtime + "/morvane-sim-pasteboard", true};
  }
  std::string temporary = environment("TMPDIR");
  if (temporary.empty()) temporary = "/tmp";
  return {temporary + "/morvane-sim-pasteboard-" + std::to_string(::geteuid()) + "/pasteboard",
          true};
}

std::string default_store_path() { return default_store_location().path; }

std::uint64_t process_owner_token() {
  static const std::uint64_t token = [] {
    std::uint64_t value = 0;
    while (value == 0) {
      if (::getrandom(&value, sizeof value, 0) != sizeof value) {
        value = (std::uint64_t{static_cast<std::uint32_t>(::getpid())} << 32) ^
                static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&value));
      }
    }
    return value;
  }();
  return token;
}

namespace {

std::pair<std::string, std::string> split_path(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  if (slash == std::string::npos) return {".", trimmed};
  return {slash == 0 ? "/" : trimmed.substr(0, slash), trimmed.substr(slash + 1)};
}

}  // namespace

PasteboardStore::PasteboardStore(std::string path, bool private_folder)
    : path_(std::move(path)), private_folder_(private_folder), faults_seen_(Mapping::faults()) {
  auto [folder, name] = split_path(path_);
  folder_path_ = std::move(folder);
  name_ = std::move(name);
}

// The folder is opened once and then only looked at: while its path leads to the same folder,
// which still passes its checks, opening it again would find nothing new.
std::expected<std::shared_ptr<const Folder>, IoError> PasteboardStore::folder(bool create_missing) {
  {
    std::lock_guard guard(folder_mutex_);
    if (folder_ && folder_->still_at_path()) return folder_;
  }
  auto opened = Folder::open(folder_path_, private_folder_, create_missing);
  if (!opened) return std::unexpected(opened.error());
  auto shared = std::make_shared<const Folder>(std::move(*opened));
  std::lock_guard guard(folder_mutex_);
  folder_ = shared;
  return shared;
}

namespace {

std::unexpected<IoError> refused_by_test(const std::string& path) {
  return std::unexpected(IoError{EIO, "open " + path + ": refused by a test"});
}

}  // namespace

std::expected<FileDescriptor, IoError> PasteboardStore::open_store(const Folder& folder) const {
  if (test_hooks::store_open_refused()) return refused_by_test(path_);
  return folder.open_file(name_, O_RDONLY);
}

std::expected<Snapshot, IoError> PasteboardStore::load(std::optional<Instant> wait_until) {
  auto loaded = load_existing();
  if (!loaded && loaded.error().code == ENOENT) {
    if (auto created = create_if_missing(wait_until); !created) {
      return std::unexpected(created.error());
    }
    loaded = load_existing();
  }
  if (!loaded) return loaded;
  // A lock file that would be refused later refuses the store now, before anything is changed.
  if (auto lock = check_lock(); !lock) return std::unexpected(lock.error());
  return loaded;
}

std::expected<void, IoError> PasteboardStore::check_lock() {
  auto in = folder(false);
  if (!in) return std::unexpected(in.error());
  auto lock = (*in)->open_file(lock_name(), O_RDONLY);
  if (!lock && lock.error().code != ENOENT) return std::unexpected(lock.error());
  return {};
}

std::expected<Snapshot, IoError> PasteboardStore::load_existing() {
  auto in = folder(false);
  if (!in) return std::unexpected(in.error());
  return load_from(**in);
}

// Each look at the store counts as an open for the test hook, whether or not it opens the file.
std::expected<Snapshot, IoError> PasteboardStore::load_from(const Folder& folder) {
  if (test_hooks::store_open_refused()) return refused_by_test(path_);
  if (Snapshot unchanged = still_current(folder)) return unchanged;
  auto fd = folder.open_file(name_, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  return adopt(*fd, true);
}

// The decoded store, when the name still holds the very file that was decoded with the same
// size, times, owner and mode: every check it passed when it was opened still holds, and its
// bytes are the ones decoded. Anything else (or a mapping that lost its pages) goes the long
// way, through an open and adopt(), which tells the cases apart.
Snapshot PasteboardStore::still_current(const Folder& folder) {
  std::lock_guard guard(cache_mutex_);
  if (!cached_ || !cached_look_ || Mapping::faults() != faults_seen_) return nullptr;
  auto status = folder.file_status_of(name_);
  if (!status) return nullptr;
  return look_of(*status) == *cached_look_ ? cached_ : nullptr;
}

PasteboardStore::Look PasteboardStore::look_of(const struct stat& status) {
  return Look{{status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
               status.st_mtim.tv_nsec},
              status.st_ctim.tv_sec,
              status.st_ctim.tv_nsec,
              status.st_mode,
              status.st_uid};
}

// Forgets the decoded store: bytes served from it may not have been the file's, so the
// failure is reported once and the next look starts afresh.
std::unexpected<IoError> PasteboardStore::changed_in_place() {
  cached_.reset();
  cached_mapping_.reset();
  cached_identity_.reset();
  cached_look_.reset();
  faults_seen_ = Mapping::faults();
  return std::unexpected(IoError{EIO, "store " + path_ + " was changed in place"});
}

// Makes the contents of an open store file current: reused when the file is the one already
// decoded (a store file is never changed in place, and the cached mapping keeps its inode from
// being reused, even for a store whose values hold none of it), else mapped and decoded. The
// same file with another size or time, or a mapping that lost its pages, means someone changed
// the file in place.
std::expected<Snapshot, IoError> PasteboardStore::adopt(const FileDescriptor& fd,
                                                        bool verify_values) {
  auto status = file_status(fd, path_);
  if (!status) return std::unexpected(status.error());
  const Look look = look_of(*status);
  const Identity& identity = look.identity;
  std::lock_guard guard(cache_mutex_);
  if (Mapping::faults() != faults_seen_) return changed_in_place();
  if (cached_ && cached_identity_ == identity) {
    cached_look_ = look;
    return cached_;
  }
  if (cached_ && cached_identity_->same_file(identity)) return changed_in_place();
  auto mapping = Mapping::map(fd, static_cast<std::size_t>(status->st_size));
  if (!mapping) {
    return std::unexpected(IoError{EIO, "corrupt store " + path_ + ": empty", Rule::corrupt});
  }
  auto shared = std::make_shared<const Mapping>(std::move(*mapping));
  auto contents = decode_store(shared->bytes(), shared, verify_values);
  if (Mapping::faults() != faults_seen_) return changed_in_place();
  if (!contents) return std::unexpected(IoError{EIO, "corrupt store " + path_, Rule::corrupt});
  cached_ = std::make_shared<const StoreContents>(std::move(*contents));
  cached_mapping_ = std::move(shared);
  cached_identity_ = identity;
  cached_look_ = look;
  return cached_;
}

std::expected<void, IoError> PasteboardStore::create_if_missing(std::optional<Instant> wait_until) {
  auto in = folder(true);
  if (!in) return std::unexpected(in.error());
  auto lock = ExclusiveLock::acquire(**in, lock_name(), wait_until);
  if (!lock) return std::unexpected(lock.error());
  auto existing = open_store(**in);
  if (existing) return {};
  if (existing.error().code != ENOENT) return std::unexpected(existing.error());
  auto written = write(**in, StoreContents{});
  if (!written) return std::unexpected(written.error());
  return {};
}

std::expected<Snapshot, IoError> PasteboardStore::update(const Change& change,
                                                         std::optional<Instant> wait_until) {
  if (auto created = load(wait_until); !created) return created;
  return locked_update(change, wait_until);
}

std::expected<Snapshot, IoError> PasteboardStore::update_existing(
    const Change& change, std::optional<Instant> wait_until) {
  return locked_update(change, wait_until);
}

std::expected<Snapshot, IoError> PasteboardStore::locked_update(const Change& change,
                                                                std::optional<Instant> wait_until) {
  auto in = folder(false);
  if (!in) return std::unexpected(in.error());
  auto lock = ExclusiveLock::acquire(**in, lock_name(), wait_until);
  if (!lock) return std::unexpected(lock.error());
  auto current = load_from(**in);
  if (!current) return current;
  StoreContents next = **current;
  if (!change(next)) return current;
  return write(**in, next);
}

// Writes a complete new file beside the store and puts it in the store's place, so that every
// reader sees either the old file or the new one, whole, even if this process dies midway.
// Runs under the lock, so any temporary file already there belongs to a writer that died.
//
// The file is not synced before it takes the store's place. The pasteboard it stands in for
// lives in memory and starts empty after a restart; what it does guarantee, that a writer
// killed at any point leaves the old contents or the new ones, the atomic replacement gives
// without a sync. The store's default folders are usually emptied at a restart too (the
// runtime folder, the temporary directory), so it is mostly a store named elsewhere that could
// be found cut short after a power loss, and it then reads as corrupt, refused like any other.
// A sync cost more than the rest of a write together.
std::expected<Snapshot, IoError> PasteboardStore::write(const Folder& folder,
                                                        const StoreContents& contents) {
  if (contents.items.size() > kMaxItems) {
    return std::unexpected(IoError{E2BIG, "too many items for store " + path_});
  }
  remove_stale_temporaries(folder, temporary_prefix());
  auto temporary = TemporaryFile::create(folder, temporary_prefix());
  if (!temporary) return std::unexpected(temporary.error());
  const FileDescriptor& fd = temporary->fd();
  const std::string& path = temporary->path();
  const EncodedStore encoded = encode_store(contents);
  static constexpr std::array<std::uint8_t, 8> kPadding{};
  if (auto head = write_all(fd, encoded.head, path); !head) return std::unexpected(head.error());
  for (const EncodedStore::Piece& piece : encoded.values) {
    auto padded = write_all(fd, ByteView(kPadding).first(piece.padding), path);
    if (!padded) return std::unexpected(padded.error());
    if (auto value = write_all(fd, piece.bytes, path); !value) {
      return std::unexpected(value.error());
    }
  }
  if (auto renamed = temporary->rename_to(name_); !renamed) {
    return std::unexpected(renamed.error());
  }
  return adopt(fd, false);
}

namespace {

// "folder /x is writable by its group": what is refused, its path and the rule it breaks.
std::string broken_rule(std::string_view what, const std::string& path, const IoError& error) {
  const std::string subject = std::string(what) + " " + path + " ";
  const bool folder = what == "folder";
  switch (error.rule) {
    case Rule::missing: return subject + "does not exist";
    case Rule::not_folder: return subject + "is not a folder";
    case Rule::not_regular_file: return subject + "is not a regular file";
    case Rule::symbolic_link: return subject + "is a symbolic link";
    case Rule::other_owner: return subject + "is owned by another user";
    case Rule::open_to_group: return subject + "is open to its group (the store's own folder must be 0700)";
    case Rule::open_to_others: return subject + "is open to others (the store's own folder must be 0700)";
    case Rule::writable_by_group:
      return subject + (folder ? "is writable by its group and not sticky" : "is writable by its group");
    case Rule::writable_by_others:
      return subject + (folder ? "is writable by others and not sticky" : "is writable by others");
    case Rule::corrupt: return subject + "is not a valid store file";
    case Rule::none: break;
  }
  return subject + "cannot be used: " + error.message;
}

}  // namespace

std::optional<std::string> PasteboardStore::first_broken_rule() {
  auto in = folder(false);
  if (!in && in.error().rule == Rule::missing && private_folder_) {
    // Made at first use, inside its parent, which must be there.
    const std::string parent = split_path(folder_path_).first;
    struct stat status {};
    if (::stat(parent.c_str(), &status) != 0) {
      return broken_rule("folder", parent, IoError{errno, "stat " + parent + ": " + std::strerror(errno),
                                                   errno == ENOENT ? Rule::missing : Rule::none});
    }
    return std::nullopt;
  }
  if (!in) return broken_rule("folder", folder_path_, in.error());
  if (auto loaded = load_from(**in); !loaded && loaded.error().rule != Rule::missing) {
    return broken_rule("store", path_, loaded.error());
  }
  auto lock = (*in)->open_file(lock_name(), O_RDONLY);
  if (!lock && lock.error().rule != Rule::missing) {
    return broken_rule("lock", (*in)->path_of(lock_name()), lock.error());
  }
  return std::nullopt;
}

PasteboardStore& store_at(const StoreLocation& location) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<PasteboardStore>> stores;
  std::lock_guard guard(mutex);
  auto& store = stores[location.path];
  if (!store) store = std::make_unique<PasteboardStore>(location);
  return *store;
}

PasteboardStore& store_at(const std::string& path) { return store_at(StoreLocation{path, false}); }

}  // namespace morvane::sim
