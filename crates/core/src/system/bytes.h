#pragma once

// Owned bytes and views of them.

#include <cstdint>
#include <span>
#include <vector>

namespace morvane {

// An owned byte buffer: request payloads, PNG files, response payloads.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace morvane
