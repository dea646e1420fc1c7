#pragma once

// Reading a request from a descriptor with the memory of the request and little more. A buffer
// that grows by reallocation holds the old and the new copy at once, twice the request at the
// worst moment; so bytes of unknown length arrive in fixed-size blocks of their own and are
// assembled once, each block unmapped as soon as it is copied. A regular file says how much is
// left after its offset, and is read straight into a buffer of that size (at most the limit
// plus one); only a file that grows while it is read has the rest follow in blocks, and only
// then is the sized part copied once more.

#include <cstddef>
#include <string>

#include "response/adapter_error.h"
#include "system/bytes.h"
#include "wait/deadline.h"

namespace morvane::request_reader {

inline constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// Reads to the end of input, consuming at most limit + 1 bytes: INVALID_ARGS "Clipboard helper
// request exceeds the protocol limit" beyond `limit`, INTERNAL "Read helper request: ..." when
// reading or finding memory fails. A non-blocking input with nothing to read yet is waited on,
// up to `deadline` when one is given: then its TIMEOUT. `block_bytes` is only ever changed by
// tests.
Result<Bytes> read_bytes(int fd, std::size_t limit, std::size_t block_bytes = kBlockBytes,
                         const Deadline* deadline = nullptr);
Result<std::string> read_text(int fd, std::size_t limit, std::size_t block_bytes = kBlockBytes,
                              const Deadline* deadline = nullptr);

}  // namespace morvane::request_reader

namespace morvane {

// Reads the whole request from standard input, at most the protocol limit, by the deadline.
Result<Bytes> read_input(const Deadline& deadline);
// The same for requests that are text, read straight into the string that will own them.
Result<std::string> read_input_text(const Deadline& deadline);
// The same, from any descriptor and with any limit; read_input's testable core.
Result<Bytes> read_input_from(int fd, std::size_t limit);

}  // namespace morvane
