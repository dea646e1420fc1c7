#pragma once

// The simulated general pasteboard's shared state: one store file per user, read by any number
// of processes and replaced whole, under an exclusive lock, by each change. A store file is
// never changed in place; one that is (by a process outside this protocol) reads as failed.
//
// File format, version 1, all integers little-endian:
//   header (56 bytes): magic "MRVNSPB\n", u32 version, u32 flags (bit 0: refuse writes),
//     i64 change count, i64 access behaviour, u64 owner token, u32 item count,
//     u32 entry count, u32 CRC-32 of the header's first 48 bytes and the entry table, u32 zero
//   entry table (32 bytes an entry, in item order, then in the order each item's types were
//     declared): u32 item index, u16 type (1 string, 2 PNG, 3 file URL, 4 file reference,
//     5 TIFF, 6 JPEG, 7 HEIC, 8 GIF, 9 BMP),
//     u16 zero, u64 value offset, u64 value length, u32 CRC-32 of the value, u32 zero
//   values: each at the next multiple of 8 after the previous one (zero padding); the file
//     ends where the last value ends. Strings are UTF-16LE. A file reference is u64 device,
//     u64 inode, then the path's bytes.
// Anything else (bad magic, version, CRC, layout, padding or trailing bytes) is a corrupt store.

#include <bit>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "input/clipboard/sim/posix_file_sim.h"
#include "system/bytes.h"

namespace morvane::sim {

static_assert(std::endian::native == std::endian::little,
              "stored UTF-16 and integers are read in place as little-endian");

// file_reference is not a pasteboard type: it records, beside an item's file reference URL,
// which file that URL names (see FileReference).
enum class EntryType : std::uint16_t {
  string = 1,
  png = 2,
  file_url = 3,
  file_reference = 4,
  // Image data of other types, held as the bytes another application wrote.
  tiff = 5,
  jpeg = 6,
  heic = 7,
  gif = 8,
  bmp = 9,
};

// The entry type that holds data of a pasteboard type given by its UTI (PNG and the image
// types above); nullopt for one the store cannot hold as bytes.
std::optional<EntryType> entry_type_of_data(std::string_view uti);

// The bytes of one stored value; `keep` holds whatever owns them (a store mapping or a buffer).
struct Value {
  std::shared_ptr<const void> keep;
  ByteView bytes;
  std::optional<std::uint32_t> crc;  // known for values read from a verified store

  static Value of_bytes(Bytes bytes);
  static Value of_utf16(std::u16string_view text);
  std::u16string_view utf16() const;
};

// The file a file reference URL names: its device and inode when the reference was made, and
// its path. Stored in the item that carries the URL, so that the mapping is shared by every
// process and goes away with the item.
struct FileReference {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string path;

  Value encode() const;
  static std::optional<FileReference> decode(const Value& value);
};

struct Entry {
  EntryType type;
  Value value;
};

struct StoreItem {
  std::vector<Entry> entries;  // in the order the types were declared; one per type

  const Value* find(EntryType type) const;
  // Replaces the value of a type the item holds, or declares the type after the others.
  void put(EntryType type, Value value);
};

struct StoreContents {
  std::int64_t change_count = 0;
  std::int64_t access_behavior = 0;
  bool refuse_writes = false;
  std::uint64_t owner = 0;  // the token of the process that last cleared
  std::vector<StoreItem> items;

  // The value of the first item that holds the type.
  const Value* first(EntryType type) const;
  // The union of the items' pasteboard types (file references are none), in the order they
  // were declared.
  std::vector<EntryType> types() const;
  // clearContents: no items, the next change count, and the clearing process as owner.
  void clear_by(std::uint64_t new_owner);
  StoreItem& first_item();
};

using Snapshot = std::shared_ptr<const StoreContents>;

// The format above as pieces to write in order: the header with the entry table, then each
// value after its zero padding. The values are borrowed from `contents`, not copied.
struct EncodedStore {
  Bytes head;
  struct Piece {
    std::size_t padding = 0;
    ByteView bytes;
  };
  std::vector<Piece> values;

  Bytes flatten() const;  // the whole file in one buffer, for tests
};
EncodedStore encode_store(const StoreContents& contents);
// `verify_values` false skips the per-value CRCs, for a file this process has just written.
std::optional<StoreContents> decode_store(ByteView bytes, std::shared_ptr<const void> keep,
                                          bool verify_values);

// Where a store lives. A private folder is the store's own (see Folder::open); any other is
// a folder someone named, which may be shared.
struct StoreLocation {
  std::string path;
  bool private_folder = false;
};

// Rewrites the checksums of a store image to match its bytes, as far as the image holds them,
// so that tests and fuzzing of corrupt layouts get past the checksums to the checks behind them.
void reseal_store(std::span<std::uint8_t> bytes);

// $MORVANE_SIM_PASTEBOARD as named, else $XDG_RUNTIME_DIR/morvane-sim-pasteboard in that private
// folder, else <temporary directory>/morvane-sim-pasteboard-<uid>/pasteboard in a private folder
// made for it, the temporary directory being $TMPDIR or /tmp.
StoreLocation default_store_location();
std::string default_store_path();

// A random token for this process, fixed for its lifetime; never 0.
std::uint64_t process_owner_token();

class PasteboardStore {
 public:
  explicit PasteboardStore(std::string path, bool private_folder = false);
  explicit PasteboardStore(const StoreLocation& location)
      : PasteboardStore(location.path, location.private_folder) {}

  const std::string& path() const { return path_; }

  // The current contents, creating an empty store (and a missing private folder) on first
  // use. Unchanged files are not read again, nor opened again: the folder and the file are
  // looked at (stat) and reused while they are the ones already checked, unchanged. Fails
  // when the store is unreadable, corrupt, refused (the store, its lock file or its folder),
  // or was changed in place since this process last read it. Creating waits for the store's
  // lock until `wait_until` (see ExclusiveLock), when given.
  std::expected<Snapshot, IoError> load(std::optional<Instant> wait_until = {});
  // The same, but a missing store is a failure (ENOENT) rather than created.
  std::expected<Snapshot, IoError> load_existing();

  // Under the exclusive lock: loads the current contents, lets `change` edit a copy and, when
  // it returns true, writes the copy as a new file renamed over the store. Returns the contents
  // the store holds afterwards. `update` creates a missing store first; `update_existing`
  // fails instead. The lock is waited for until `wait_until`, when given: past it, nothing is
  // changed and the failure is ETIMEDOUT.
  using Change = std::function<bool(StoreContents&)>;
  std::expected<Snapshot, IoError> update(const Change& change,
                                          std::optional<Instant> wait_until = {});
  std::expected<Snapshot, IoError> update_existing(const Change& change,
                                                   std::optional<Instant> wait_until = {});

  // The first rule of the store that this one breaks, as a sentence for people that names the
  // path and the rule; nullopt when they all hold. The checks are the very ones every use of
  // the store makes (the folder, the store file and its decoding, the lock file); a missing
  // store or private folder holds, as both are made at first use. Nothing is created.
  std::optional<std::string> first_broken_rule();

 private:
  // The file and the state of its bytes. The change time is left out: it also moves when a
  // writer renames a newer store over this one, which is no change of the bytes.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtime_seconds = 0;
    std::int64_t mtime_nanoseconds = 0;
    bool operator==(const Identity&) const = default;
    bool same_file(const Identity& other) const {
      return device == other.device && inode == other.inode;
    }
  };
  // What the checks on opening a store file depend on, and what any change to the file's
  // bytes, owner or mode moves (the change time cannot be set back).
  struct Look {
    Identity identity;
    std::int64_t ctime_seconds = 0;
    std::int64_t ctime_nanoseconds = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    bool operator==(const Look&) const = default;
  };

  std::expected<std::shared_ptr<const Folder>, IoError> folder(bool create_missing);
  std::expected<FileDescriptor, IoError> open_store(const Folder& folder) const;
  std::expected<Snapshot, IoError> load_from(const Folder& folder);
  Snapshot still_current(const Folder& folder);
  static Look look_of(const struct stat& status);
  std::expected<void, IoError> create_if_missing(std::optional<Instant> wait_until);
  std::expected<void, IoError> check_lock();
  std::expected<Snapshot, IoError> locked_update(const Change& change,
                                                 std::optional<Instant> wait_until);
  std::expected<Snapshot, IoError> write(const Folder& folder, const StoreContents& contents);
  std::expected<Snapshot, IoError> adopt(const FileDescriptor& fd, bool verify_values);
  std::unexpected<IoError> changed_in_place();
  std::string lock_name() const { return name_ + ".lock"; }
  std::string temporary_prefix() const { return name_ + ".tmp."; }

  std::string path_;
  std::string folder_path_;
  std::string name_;
  bool private_folder_;
  std::mutex folder_mutex_;
  std::shared_ptr<const Folder> folder_;  // the folder as last opened and checked
  std::mutex cache_mutex_;
  std::optional<Identity> cached_identity_;
  std::optional<Look> cached_look_;  // the decoded file as it looked when last opened
  Snapshot cached_;
  std::shared_ptr<const Mapping> cached_mapping_;
  std::uint64_t faults_seen_;  // Mapping::faults() when this store last looked
};

// The store for a path, shared by everything in this process that uses that path.
PasteboardStore& store_at(const StoreLocation& location);
PasteboardStore& store_at(const std::string& path);

}  // namespace morvane::sim
