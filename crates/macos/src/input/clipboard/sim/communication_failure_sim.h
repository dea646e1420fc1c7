#pragma once

// What the stand-in raises when the pasteboard stops answering part-way through an operation,
// as AppKit raises NSPasteboardCommunicationException: the store, readable at the operation's
// first look, is gone, unreadable, refused or changed in place at a later call. Nothing of
// ours catches it but the entry's guard around each operation, which turns it into an
// INTERNAL response (with `delivery_uncertain` for operations that change the clipboard).

#include <stdexcept>
#include <string>

namespace morvane::sim {

class PasteboardCommunicationFailure : public std::runtime_error {
 public:
  explicit PasteboardCommunicationFailure(const std::string& reason)
      : std::runtime_error("pasteboard communication failed: " + reason) {}
};

}  // namespace morvane::sim
