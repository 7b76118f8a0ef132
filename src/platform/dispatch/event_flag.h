#pragma once

#include <atomic>

#include "base/unique_fd.h"

namespace zefra::platform {

// A flag that stays raised once raised, and that a poll loop can wait on:
// its descriptor turns readable then. Thread-safe.
class EventFlag {
 public:
  EventFlag();
  EventFlag(const EventFlag&) = delete;
  EventFlag& operator=(const EventFlag&) = delete;

  void raise();
  bool raised() const { return raised_.load(std::memory_order_acquire); }
  // -1 when no descriptor could be had; raised() still tells.
  int pollFd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::atomic<bool> raised_{false};
};

}  // namespace zefra::platform
