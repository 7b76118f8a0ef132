#include "tools/run_control.h"

#include <utility>

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
  if (!task_) {
    endedBeforeLaunch_ = endedBeforeLaunch_ || why != Reason::kDeadline;
    return;
  }
  const bool signalled = !terminateProcessTree(*task_).empty();
  if (why != Reason::kDeadline && signalled) cancelled_ = true;
}

bool RunControl::cancelled() const {
  std::lock_guard lock(mu_);
  return cancelled_;
}

bool RunControl::timedOut() const {
  std::lock_guard lock(mu_);
  return timedOut_;
}

}  // namespace zefra::tools
