#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

namespace zefra::platform {

// Delivers the given signals to `handler` on a thread of its own instead of
// interrupting whatever runs. Create it before starting other threads: the
// signals are blocked in the creating thread, and new threads inherit that.
// A signal ignored when the watch is made stays ignored.
class SignalWatch {
 public:
  SignalWatch(std::initializer_list<int> signals, std::function<void(int signal)> handler);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zefra::platform
