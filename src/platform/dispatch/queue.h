#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zefra::platform {

using Work = std::function<void()>;

struct PoolStats {
  std::size_t threads = 0;
  std::size_t idle = 0;
  std::size_t delayed = 0;   // items waiting for their time
  bool timerThread = false;  // the thread that releases delayed items
};

// Process-wide thread pool behind every concurrent queue. It adds a thread
// whenever work arrives and no thread is idle (up to a generous cap), so an
// item that blocks waiting for another item of its own queue never deadlocks;
// a thread idle for two seconds goes away.
PoolStats poolStats();
void setPoolIdleTimeoutForTesting(std::chrono::milliseconds timeout);
// Lowers (or restores, given 0) the pool's cap on threads.
void setPoolThreadCapForTesting(std::size_t cap);
// Runs `action` on a leaving thread once the pool has gone idle after work:
// the thread leaves for want of work and no other thread is busy. Once per
// such idle spell, however many threads leave in it.
void setPoolIdleAction(Work action);

// A concurrent queue: items start in order, run in parallel.
class ConcurrentQueue {
 public:
  void async(Work work) const;
  void asyncAfter(double seconds, Work work) const;
};

// The process's one global queue.
const ConcurrentQueue& globalQueue();

// Runs `work` on the timer thread itself once `seconds` have passed, never
// waiting for a pool thread: a run's SIGKILL pass must reach a run that holds
// one even when the pool is at its cap. `work` must be short and never block
// (a cgroup.kill write, a few signals), as every delayed item waits for it.
// False, and `work` dropped, when the timer thread could not start (the
// process is out of threads): the caller does the work at once.
[[nodiscard]] bool runOnTimerThreadAfter(double seconds, Work work);
// The next start of the timer thread fails as if the process were out of
// threads.
void failNextTimerThreadStartForTesting();

// A concurrent queue whose items start in order and run at most `width` at
// once on the shared pool: a flood of items takes `width` threads' share of
// the processors, never the pool's.
class NarrowQueue {
 public:
  explicit NarrowQueue(std::size_t width);
  ~NarrowQueue();
  NarrowQueue(const NarrowQueue&) = delete;
  NarrowQueue& operator=(const NarrowQueue&) = delete;
  void async(Work work);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Runs its items one at a time, in order, on the shared pool.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  void async(Work work);
  // Runs `work` on the calling thread when nothing of this queue is queued or
  // running, keeping the order; false (and nothing done) otherwise.
  bool runNowIfIdle(const Work& work);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The dispatch group of the run and inventory paths.
class WaitGroup {
 public:
  void enter();
  void leave();
  void wait();
  // False when `timeout` passed first.
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::size_t count_ = 0;
};

}  // namespace zefra::platform
