#include "platform/dispatch/queue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "base/no_destructor.h"
#include "platform/dispatch/thread_name.h"
#include "platform/log.h"

namespace zefra::platform {

namespace {

// A run holds one thread while its tool runs (and four descriptors, so the
// descriptor limit stops runs long before this); the inventory holds one per
// catalogue tool plus its coordinator, a connection at most one while it
// dispatches. The bound only keeps a runaway caller from exhausting the
// process's threads. Work queued at the bound waits, which can stall runs: say
// so once. A run's SIGKILL pass never queues here (runOnTimerThreadAfter).
constexpr std::size_t kMaxThreads = 1024;

std::atomic<bool> failNextTimerStart{false};

// A thread may not start (EAGAIN): a tool that exhausts the pids limit it
// shares with the helper takes the helper's threads too.
template <typename Body>
void startThread(Body body, bool timer) {
  if (timer && failNextTimerStart.exchange(false)) {
    throw std::system_error(EAGAIN, std::generic_category());
  }
  std::thread(std::move(body)).detach();
}

class Pool {
 public:
  static Pool& shared() {
    // Never destroyed: detached workers may still touch it during exit.
    static base::NoDestructor<Pool> pool;
    return pool.get();
  }

  void submit(Work work) {
    std::unique_lock lock(mu_);
    queue_.push_back(std::move(work));
    workSinceIdle_ = true;
    if (idle_ >= queue_.size() || threads_ >= cap_) {
      const bool warn = threads_ >= cap_ && !std::exchange(warnedAtBound_, true);
      const std::size_t cap = cap_;
      // Woken after the unlock: a worker woken under it would only block
      // again on the mutex, two more switches on every hand-off.
      lock.unlock();
      cv_.notify_one();
      if (warn) {
        log("the thread pool reached its bound of " + std::to_string(cap) +
            " threads; further work waits");
      }
      return;
    }
    ++threads_;
    lock.unlock();
    try {
      startThread([this] { workerLoop(); }, false);
    } catch (const std::system_error& error) {
      // The work stays queued for a busy thread, or the next one started.
      lock.lock();
      --threads_;
      lock.unlock();
      log(std::string("could not start a pool thread: ") + error.what());
    }
  }

  // With `onTimerThread`, the timer thread runs the work itself. False when
  // no timer thread could start: work for the timer thread is dropped, for
  // its caller to do now; other work waits for the next delayed item's start.
  bool submitAfter(double seconds, Work work, bool onTimerThread = false) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    std::lock_guard lock(timerMu_);
    auto timed = timers_.emplace(deadline, Timed{std::move(work), onTimerThread});
    if (!timerThread_) {
      try {
        startThread([this] { timerLoop(); }, true);
      } catch (const std::system_error& error) {
        if (onTimerThread) timers_.erase(timed);
        log(std::string("could not start the timer thread: ") + error.what());
        return false;
      }
      timerThread_ = true;
    }
    timerCv_.notify_one();
    return true;
  }

  PoolStats stats() {
    PoolStats stats;
    {
      std::lock_guard lock(timerMu_);
      stats.delayed = timers_.size();
      stats.timerThread = timerThread_;
    }
    std::lock_guard lock(mu_);
    stats.threads = threads_;
    stats.idle = idle_;
    return stats;
  }

  void setIdleAction(Work action) {
    std::lock_guard lock(mu_);
    idleAction_ = action ? std::make_shared<const Work>(std::move(action)) : nullptr;
  }

  void setCap(std::size_t cap) {
    std::lock_guard lock(mu_);
    cap_ = cap == 0 ? kMaxThreads : cap;
  }

  void setIdleTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard lock(mu_);
    idleTimeout_ = timeout;
    cv_.notify_all();
  }

 private:
  void workerLoop() {
    nameThisThread("zefra-pool");
    std::unique_lock lock(mu_);
    for (;;) {
      if (queue_.empty()) {
        ++idle_;
        bool woke = cv_.wait_for(lock, idleTimeout_, [this] { return !queue_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          // The last busy thread has finished and this one found nothing to
          // do for a while: the burst is over.
          if (threads_ == idle_ && idleAction_ && std::exchange(workSinceIdle_, false)) {
            auto action = idleAction_;
            lock.unlock();
            (*action)();
          }
          return;
        }
      }
      Work work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // release captures before looking for more work
      lock.lock();
    }
  }

  // One thread serves every delayed item; it leaves when none is pending.
  void timerLoop() {
    nameThisThread("zefra-timer");
    std::unique_lock lock(timerMu_);
    while (!timers_.empty()) {
      auto next = timers_.begin();
      if (std::chrono::steady_clock::now() < next->first) {
        timerCv_.wait_until(lock, next->first);
        continue;
      }
      Timed timed = std::move(next->second);
      timers_.erase(next);
      lock.unlock();
      if (timed.onTimerThread) {
        timed.work();
        timed.work = nullptr;  // its captures go before the lock is taken again
      } else {
        submit(std::move(timed.work));
      }
      lock.lock();
    }
    timerThread_ = false;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Work> queue_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  std::size_t cap_ = kMaxThreads;
  bool warnedAtBound_ = false;
  bool workSinceIdle_ = false;
  std::shared_ptr<const Work> idleAction_;
  // Long enough to carry a client's next request, short enough that a burst's
  // threads (and their stacks) are gone soon after it.
  std::chrono::milliseconds idleTimeout_{2000};

  struct Timed {
    Work work;
    bool onTimerThread = false;
  };
  std::mutex timerMu_;
  std::condition_variable timerCv_;
  std::multimap<std::chrono::steady_clock::time_point, Timed> timers_;
  bool timerThread_ = false;
};

}  // namespace

PoolStats poolStats() {
  return Pool::shared().stats();
}

void setPoolIdleTimeoutForTesting(std::chrono::milliseconds timeout) {
  Pool::shared().setIdleTimeout(timeout);
}

void setPoolThreadCapForTesting(std::size_t cap) {
  Pool::shared().setCap(cap);
}

void setPoolIdleAction(Work action) {
  Pool::shared().setIdleAction(std::move(action));
}

void ConcurrentQueue::async(Work work) const {
  Pool::shared().submit(std::move(work));
}

void ConcurrentQueue::asyncAfter(double seconds, Work work) const {
  Pool::shared().submitAfter(seconds, std::move(work));
}

const ConcurrentQueue& globalQueue() {
  static const ConcurrentQueue queue{};
  return queue;
}

bool runOnTimerThreadAfter(double seconds, Work work) {
  return Pool::shared().submitAfter(seconds, std::move(work), /*onTimerThread=*/true);
}

void failNextTimerThreadStartForTesting() {
  failNextTimerStart.store(true);
}

struct SerialQueue::State : std::enable_shared_from_this<State> {
  std::mutex mu;
  std::deque<Work> items;
  bool draining = false;

  void drain() {
    for (;;) {
      Work work;
      {
        std::lock_guard lock(mu);
        if (items.empty()) {
          draining = false;
          return;
        }
        work = std::move(items.front());
        items.pop_front();
      }
      work();
    }
  }
};

SerialQueue::SerialQueue(std::string) : state_(std::make_shared<State>()) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Work work) {
  {
    std::lock_guard lock(state_->mu);
    state_->items.push_back(std::move(work));
    if (state_->draining) return;
    state_->draining = true;
  }
  // The pending items keep the state alive past the queue's owner.
  Pool::shared().submit([state = state_] { state->drain(); });
}

bool SerialQueue::runNowIfIdle(const Work& work) {
  {
    std::lock_guard lock(state_->mu);
    if (state_->draining) return false;
    state_->draining = true;
  }
  work();
  bool more;
  {
    std::lock_guard lock(state_->mu);
    more = !state_->items.empty();
    state_->draining = more;
  }
  if (more) Pool::shared().submit([state = state_] { state->drain(); });
  return true;
}

struct NarrowQueue::State {
  explicit State(std::size_t width) : width(width) {}
  const std::size_t width;
  std::mutex mu;
  std::deque<Work> items;
  std::size_t running = 0;

  // Each runner takes items until none is left, so no item waits while
  // fewer than `width` run.
  void run() {
    for (;;) {
      Work work;
      {
        std::lock_guard lock(mu);
        if (items.empty()) {
          --running;
          return;
        }
        work = std::move(items.front());
        items.pop_front();
      }
      work();
    }
  }
};

NarrowQueue::NarrowQueue(std::size_t width)
    : state_(std::make_shared<State>(std::max<std::size_t>(width, 1))) {}
NarrowQueue::~NarrowQueue() = default;

void NarrowQueue::async(Work work) {
  {
    std::lock_guard lock(state_->mu);
    state_->items.push_back(std::move(work));
    if (state_->running >= state_->width) return;
    ++state_->running;
  }
  Pool::shared().submit([state = state_] { state->run(); });
}

void WaitGroup::enter() {
  std::lock_guard lock(mu_);
  ++count_;
}

void WaitGroup::leave() {
  std::lock_guard lock(mu_);
  if (count_ > 0 && --count_ == 0) cv_.notify_all();
}

void WaitGroup::wait() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return count_ == 0; });
}

bool WaitGroup::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

}  // namespace zefra::platform
