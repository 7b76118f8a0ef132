#include "base/clock.h"

#include <time.h>

#include <mutex>

#include "base/no_destructor.h"

namespace zefra::base {
namespace {

using ClockFn = std::function<double()>;

struct Override {
  std::mutex mu;
  std::shared_ptr<const ClockFn> clock;
};

// Keeps the common path to one relaxed load and clock_gettime.
std::atomic<bool> overridden{false};

Override& current() {
  static NoDestructor<Override> instance;
  return instance.get();
}

std::shared_ptr<const ClockFn> exchangeClock(std::shared_ptr<const ClockFn> clock) {
  Override& o = current();
  std::lock_guard lock(o.mu);
  overridden.store(clock != nullptr, std::memory_order_release);
  return std::exchange(o.clock, std::move(clock));
}

}  // namespace

double now() {
  if (overridden.load(std::memory_order_acquire)) {
    std::shared_ptr<const ClockFn> clock;
    {
      Override& o = current();
      std::lock_guard lock(o.mu);
      clock = o.clock;
    }
    if (clock) return (*clock)();
  }
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ScopedClockOverride::ScopedClockOverride(double fixedTime)
    : manual_(std::make_shared<std::atomic<double>>(fixedTime)) {
  previous_ = exchangeClock(std::make_shared<const ClockFn>(
      [manual = manual_] { return manual->load(std::memory_order_acquire); }));
}

ScopedClockOverride::ScopedClockOverride(std::function<double()> clock)
    : previous_(exchangeClock(std::make_shared<const ClockFn>(std::move(clock)))) {}

ScopedClockOverride::~ScopedClockOverride() {
  exchangeClock(std::move(previous_));
}

void ScopedClockOverride::set(double time) {
  if (manual_) manual_->store(time, std::memory_order_release);
}

void ScopedClockOverride::advance(double seconds) {
  if (!manual_) return;
  double t = manual_->load(std::memory_order_acquire);
  while (!manual_->compare_exchange_weak(t, t + seconds, std::memory_order_acq_rel)) {
  }
}

}  // namespace zefra::base
