#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "base/result.h"

namespace zefra::tools {

// One thing a run needs, made for the next run once a run has replied, so
// that making it is off the run's path.
template <typename T>
class MadeAhead {
 public:
  // The spare, leaving none; null when none is ready.
  std::shared_ptr<T> take() {
    std::lock_guard lock(lock_);
    return std::exchange(spare_, nullptr);
  }

  // Makes the spare with `make` unless one is ready or on its way. What
  // `make` reads of the world, it reads after a drop() it must not miss.
  template <typename Make>
  void refill(Make&& make) {
    std::uint64_t generation;
    {
      std::lock_guard lock(lock_);
      if (closed_ || spare_ || refilling_) return;
      refilling_ = true;
      generation = generation_;
    }
    Result<T> made = make();
    std::shared_ptr<T> unwanted;  // goes after the lock is released
    std::lock_guard lock(lock_);
    refilling_ = false;
    refilled_.notify_all();
    if (!made) return;
    auto spare = std::make_shared<T>(std::move(made).value());
    // Kept when closed meanwhile: close() drops it, before the process ends.
    if (generation != generation_) {
      unwanted = std::move(spare);
    } else {
      spare_ = std::move(spare);
    }
  }

  // Drops the spare, and one on its way is not kept: the world changed.
  void drop() {
    std::shared_ptr<T> old;
    std::lock_guard lock(lock_);
    ++generation_;
    old = std::exchange(spare_, nullptr);
  }

  // Drops the spare and makes no more (at exit). One on its way is waited
  // for, as the process would otherwise end before it could be dropped.
  void close() {
    std::shared_ptr<T> old;
    std::unique_lock lock(lock_);
    closed_ = true;
    refilled_.wait(lock, [this] { return !refilling_; });
    old = std::exchange(spare_, nullptr);
  }

 private:
  std::mutex lock_;
  std::condition_variable refilled_;
  std::shared_ptr<T> spare_;      // lock_
  bool refilling_ = false;        // lock_
  bool closed_ = false;           // lock_
  std::uint64_t generation_ = 0;  // lock_
};

}  // namespace zefra::tools
