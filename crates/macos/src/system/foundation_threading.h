#pragma once

// The Foundation calls of the one-time multithreading set-up: NSThread isMultiThreaded,
// alloc/initWithBlock: with an empty block, start, isFinished, release, and the sleep between
// polls. Any of the Foundation calls may raise an NSException, which comes back as Raised.

#include <expected>

namespace morvane::platform {

struct ThreadObject;
using Thread = ThreadObject*;

struct Raised {};

class FoundationThreading {
 public:
  virtual ~FoundationThreading() = default;
  virtual std::expected<bool, Raised> is_multithreaded() = 0;
  // nullptr when initWithBlock: returned nil.
  virtual std::expected<Thread, Raised> create_probe_thread() = 0;
  virtual std::expected<void, Raised> start(Thread thread) = 0;
  virtual std::expected<bool, Raised> is_finished(Thread thread) = 0;
  virtual void release(Thread thread) = 0;
  virtual void sleep_microseconds(unsigned microseconds) = 0;
};

}  // namespace morvane::platform
