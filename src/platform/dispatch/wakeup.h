#pragma once

#include "base/unique_fd.h"

namespace zefra::platform {

// A descriptor that a poll loop waits on and another thread makes readable.
// Unlike EventFlag it can be cleared, so one loop can wait on it many times:
// clear it, look at the condition, and wait only when the condition still
// holds; a notify() after the look is not lost. Thread-safe.
class Wakeup {
 public:
  Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  void notify();
  void clear();
  // -1 when no descriptor could be had.
  int pollFd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

}  // namespace zefra::platform
