#pragma once

#include <sys/types.h>

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace zefra::platform {

// The children spawnChild started and their owners have not reaped yet: each
// owner reaps its child through its pidfd. The orphan reaper takes only
// children that are not listed here.
class OwnChildren {
 public:
  static OwnChildren& shared();

  // Held by a spawn from before its clone until the child is listed (or a
  // failed one reaped), so that no child is taken for an orphan meanwhile.
  std::shared_lock<std::shared_mutex> spawnWindow() { return std::shared_lock(window_); }
  void add(pid_t pid);
  // Called by the owner once it has reaped `pid`, or failed to.
  void forget(pid_t pid);

  // For the orphan reaper, about a child `pid` that waitid showed exited and
  // unreaped. One of ours is left to its owner, and false returned; as it
  // hides every child behind it from waitid until reaped, its forget()
  // raises SIGCHLD when one waits there, so that the reaper looks again. Any
  // other is reaped, while no spawn is under way, so its pid cannot become a
  // new child's meanwhile.
  bool reapUnlessOwn(pid_t pid);

 private:
  std::shared_mutex window_;
  std::mutex mutex_;
  std::unordered_set<pid_t> pids_;
  pid_t holdingUp_ = 0;
};

}  // namespace zefra::platform
