#pragma once

#include <cstddef>
#include <memory>

#include "base/result.h"

namespace zefra::platform {

class SignalWatch;

// For a helper whose runs get no cgroup: makes the helper the child
// subreaper (PR_SET_CHILD_SUBREAPER), so that what a run's tree leaves
// behind becomes the helper's child when its parent ends, and reaps those
// orphans as they exit. It never reaps a child listed in OwnChildren: each
// of those is reaped by its owner through its pidfd.
class OrphanReaper {
 public:
  // Watches SIGCHLD through a SignalWatch: start it before any other thread,
  // so that the signal is blocked in all of them; it fails, saying so, when
  // a thread lets it through.
  static Result<std::unique_ptr<OrphanReaper>> start();
  // Stops watching and gives up being the subreaper.
  ~OrphanReaper();
  OrphanReaper(const OrphanReaper&) = delete;
  OrphanReaper& operator=(const OrphanReaper&) = delete;

  // Reaps every exited child that no owner holds (what SIGCHLD runs);
  // returns how many. Anyone may call it, at any time.
  static std::size_t reapOrphans();

 private:
  struct Token {};

 public:
  explicit OrphanReaper(Token);

 private:
  int wasSubreaper_ = 0;
  std::unique_ptr<SignalWatch> watch_;
};

}  // namespace zefra::platform
