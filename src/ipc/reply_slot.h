#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>

namespace zefra::ipc {

// How long a thread waiting for a reply stays on its CPU before it sleeps:
// a little more than a local socket round trip.
inline constexpr std::chrono::microseconds kReplySpin{100};

// One value handed from the I/O thread to the one thread that waits for it.
// The waiter yields in a loop for kReplySpin before it sleeps. A quick reply
// then needs no second wake-up, which on an idle machine means waking a
// halted CPU and costs more than the round trip; on a busy one the yields
// give the CPU to whoever needs it. set() is called once; keep the slot in
// a shared_ptr that the setter holds too, as it may still be notifying when
// take() returns.
template <class T>
class ReplySlot {
 public:
  void set(T value) {
    value_.emplace(std::move(value));
    ready_.store(true, std::memory_order_release);
    ready_.notify_one();
  }

  T take() {
    const auto spinUntil = std::chrono::steady_clock::now() + kReplySpin;
    while (!ready_.load(std::memory_order_acquire)) {
      if (std::chrono::steady_clock::now() < spinUntil) {
        std::this_thread::yield();
      } else {
        ready_.wait(false, std::memory_order_acquire);
      }
    }
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
  std::atomic<bool> ready_{false};
};

}  // namespace zefra::ipc
