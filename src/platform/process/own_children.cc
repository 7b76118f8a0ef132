#include "platform/process/own_children.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/eintr.h"
#include "base/no_destructor.h"

namespace zefra::platform {

namespace {

// Whether an exited child waits to be reaped, left where it is.
bool childWaiting() {
  siginfo_t info{};
  return base::retryOnEintr(
             [&] { return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT); }) == 0 &&
         info.si_pid != 0;
}

}  // namespace

OwnChildren& OwnChildren::shared() {
  static base::NoDestructor<OwnChildren> children;
  return children.get();
}

void OwnChildren::add(pid_t pid) {
  std::lock_guard lock(mutex_);
  pids_.insert(pid);
}

void OwnChildren::forget(pid_t pid) {
  bool wasHoldingUp = false;
  {
    std::lock_guard lock(mutex_);
    pids_.erase(pid);
    if (holdingUp_ == pid) {
      holdingUp_ = 0;
      wasHoldingUp = true;
    }
  }
  // Usually nothing exited behind it, and the reaper need not wake to see so.
  if (wasHoldingUp && childWaiting()) ::kill(::getpid(), SIGCHLD);
}

bool OwnChildren::reapUnlessOwn(pid_t pid) {
  auto ownsIt = [&] {
    std::lock_guard lock(mutex_);
    if (!pids_.count(pid)) return false;
    holdingUp_ = pid;
    return true;
  };
  if (ownsIt()) return false;
  // Not listed may still mean a spawn that has not come to list it.
  std::unique_lock noSpawns(window_);
  if (ownsIt()) return false;
  siginfo_t info{};
  (void)base::retryOnEintr(
      [&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG); });
  return true;
}

}  // namespace zefra::platform
