#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace zefra::base {

// The one clock of every time rule (cache ages, throttles): seconds since
// 1970-01-01 00:00 UTC, with fractions. Real timers do not read it.
double now();

// Replaces now() for the whole process while alive; the previous clock comes
// back on destruction. Overrides nest in stack order.
class ScopedClockOverride {
 public:
  // A clock that reads `fixedTime` until set() or advance() moves it.
  explicit ScopedClockOverride(double fixedTime);
  explicit ScopedClockOverride(std::function<double()> clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

  // Only for the fixed-time form.
  void set(double time);
  void advance(double seconds);

 private:
  std::shared_ptr<std::atomic<double>> manual_;
  std::shared_ptr<const std::function<double()>> previous_;
};

}  // namespace zefra::base
