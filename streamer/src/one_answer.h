#pragma once

// A platform that answers through completion handlers on threads of its own: the asking
// thread waits for the answer.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace morvane::streamer {

// Holds the first answer given; later ones are ignored, so a handler called twice does no harm.
template <typename T>
class OneAnswer {
 public:
  void give(T value) {
    std::lock_guard guard(lock_);
    if (value_) return;
    value_.emplace(std::move(value));
    given_.notify_all();
  }

  // Blocks until the answer is given; call once.
  T wait() {
    std::unique_lock guard(lock_);
    given_.wait(guard, [this] { return value_.has_value(); });
    return std::move(*value_);
  }

 private:
  std::mutex lock_;
  std::condition_variable given_;
  std::optional<T> value_;
};

}  // namespace morvane::streamer
