#include "tools/run_control.h"

#include <signal.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "tools/process_tree.h"

namespace zefra::tools {

bool RunControl::launched(std::shared_ptr<platform::ChildProcess> task) {
  std::lock_guard lock(mu_);
  task_ = std::move(task);
  return endedBeforeLaunch_;
}

void RunControl::end(Reason why) {
  std::lock_guard lock(mu_);
  if (why == Reason::kDeadline) timedOut_ = true;
  if (finished_) return;
  if (!task_) {
    endedBeforeLaunch_ = endedBeforeLaunch_ || why != Reason::kDeadline;
    return;
  }
  bool signalled = false;
  if (cgroup_) {
    // A tool that is not confined may move itself out of its cgroup: its own
    // process is still reached, through its pidfd.
    const std::vector<pid_t> members = cgroup_->processes();
    const bool taskLeft = task_->isRunning() &&
                          std::find(members.begin(), members.end(), task_->pid()) == members.end();
    // The tool may have exited while a daemon it left holds its outputs.
    signalled = cgroup_->populated() || taskLeft;
    if (signalled) {
      (void)cgroup_->terminate();
      if (taskLeft) (void)task_->signal(SIGTERM);
      // On the timer thread: the pool may be full of the runs it is to end.
      const bool later =
          platform::runOnTimerThreadAfter(kProcessTreeKillDelay, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mu_);
            if (!self->finished_) self->killNow();
          });
      // Out of threads, as a tool that exhausts the pids limit leaves us:
      // killed at once, which does not block.
      if (!later) killNow();
    }
  } else {
    signalled = !terminateProcessTree(*task_).empty();
  }
  // What left the run may hold its outputs, and would hold the reply too,
  // even where nothing of the run itself was left to signal.
  ended_.raise();
  if (why == Reason::kDeadline) return;
  if (signalled) cancelled_ = true;
  endAsked_ = true;
}

void RunControl::killNow() {
  if (auto killed = cgroup_->kill(); !killed) platform::log(killed.error().message);
  if (task_->isRunning()) (void)task_->signal(SIGKILL);
}

void RunControl::finish(bool endLeftovers) {
  std::shared_ptr<platform::RunCgroup> cgroup;
  {
    std::lock_guard lock(mu_);
    finished_ = true;
    cgroup = std::move(cgroup_);
  }
  if (!cgroup) return;
  if (endLeftovers) (void)cgroup->kill();
  if (auto removed = cgroup->remove(); !removed) platform::log(removed.error().message);
}

bool RunControl::cancelled() const {
  std::lock_guard lock(mu_);
  return cancelled_;
}

bool RunControl::endAsked() const {
  std::lock_guard lock(mu_);
  return endAsked_;
}

bool RunControl::timedOut() const {
  std::lock_guard lock(mu_);
  return timedOut_;
}

}  // namespace zefra::tools
