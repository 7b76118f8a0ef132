#pragma once

#include <chrono>

namespace zefra::base {

// A point on the monotonic clock after which a blocking call gives up.
class Deadline {
 public:
  static Deadline after(double seconds);
  static Deadline never() { return Deadline(); }

  bool passed() const;
  // Milliseconds left, rounded up, for poll(); -1 for a deadline that never comes.
  int pollTimeout() const;

 private:
  Deadline() = default;
  bool never_ = true;
  std::chrono::steady_clock::time_point at_;
};

}  // namespace zefra::base
