#include "platform/process/child_process.h"

#include <sys/wait.h>

#include <cerrno>

#include "platform/dispatch/queue.h"
#include "platform/process/own_children.h"
#include "platform/process/pidfd.h"
#include "platform/process/spawn.h"

namespace zefra::platform {

namespace {

// Reaps the child `pid` behind `pidfd`. nullopt: still running (only with
// WNOHANG). -1: it cannot be reaped, which happens only if someone else
// reaped it.
std::optional<ChildProcess::Termination> reap(pid_t pid, int pidfd, int options) {
  for (;;) {
    siginfo_t info{};
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                 WEXITED | options) == 0) {
      if (info.si_pid == 0) return std::nullopt;
      OwnChildren::shared().forget(pid);
      // With WEXITED alone si_status is the exit status for CLD_EXITED and the
      // signal number for CLD_KILLED and CLD_DUMPED: exactly the status we report.
      return ChildProcess::Termination{info.si_status, info.si_code != CLD_EXITED};
    }
    if (errno != EINTR) {
      OwnChildren::shared().forget(pid);
      return ChildProcess::Termination{};
    }
  }
}

}  // namespace

int ProcessHandle::pidfd() const {
  return pidfd_ ? pidfd_->get() : -1;
}

bool ProcessHandle::isRunning() const {
  return pidfdIsRunning(pidfd());
}

Status ProcessHandle::signal(int sig) const {
  auto sent = signalPidfd(pidfd(), sig);
  if (!sent && sent.error().code != ESRCH) {
    return errnoError("Could not signal process " + std::to_string(pid_), sent.error().code);
  }
  return sent;
}

ChildProcess::ChildProcess(ProcessHandle handle)
    : handle_(std::move(handle)), reaping_(std::make_unique<Reaping>()) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::move(other.handle_);
    reaping_ = std::move(other.reaping_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::release() {
  if (!reaping_) return;
  std::lock_guard lock(reaping_->mutex);
  if (reaping_->termination) return;
  auto pidfd = handle_.pidfd_;
  const pid_t pid = handle_.pid();
  if (reap(pid, pidfd->get(), WNOHANG)) return;
  // Still running: leave it be, as its owner no longer cares, but do not let
  // it turn into a zombie when it ends.
  globalQueue().async([pid, pidfd] { reap(pid, pidfd->get(), 0); });
}

int ChildProcess::wait() {
  return waitForTermination().status;
}

ChildProcess::Termination ChildProcess::waitForTermination() {
  std::lock_guard lock(reaping_->mutex);
  if (!reaping_->termination) {
    reaping_->termination = reap(handle_.pid(), handle_.pidfd_->get(), 0);
  }
  return *reaping_->termination;
}

Result<ChildProcess> spawnProcess(const SpawnOptions& options) {
  auto spawned = spawnChild(options);
  if (!spawned) return spawned.error();
  return ChildProcess(
      ProcessHandle(spawned->pid, std::make_shared<const UniqueFd>(std::move(spawned->pidfd))));
}

}  // namespace zefra::platform
