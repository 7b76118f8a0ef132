#include "platform/process/orphan_reaper.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/dispatch/signal_watch.h"
#include "platform/files/small_file.h"
#include "platform/process/own_children.h"

namespace zefra::platform {

namespace {

// Two passes at once could both see one orphan: the second's reap could then
// meet the pid reused by a new child of ours.
std::mutex passes;

// A thread that lets SIGCHLD through gets it delivered there and dropped,
// and the signal watch never hears it.
bool everyThreadBlocksSigchld() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return false;
  bool blocked = true;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    auto status = readSmallFile(std::string("/proc/self/task/") + entry->d_name + "/status");
    if (!status) continue;  // a thread that has just ended
    const auto line = status->find("\nSigBlk:\t");
    if (line == std::string::npos) continue;
    const std::uint64_t mask = std::strtoull(status->c_str() + line + 9, nullptr, 16);
    if (!(mask & (1ULL << (SIGCHLD - 1)))) blocked = false;
  }
  ::closedir(tasks);
  return blocked;
}

}  // namespace

OrphanReaper::OrphanReaper(Token) {}

Result<std::unique_ptr<OrphanReaper>> OrphanReaper::start() {
  auto reaper = std::make_unique<OrphanReaper>(Token{});
  if (::prctl(PR_GET_CHILD_SUBREAPER, &reaper->wasSubreaper_) != 0 ||
      ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    return errnoError("Could not make the helper the subreaper of its runs", errno);
  }
  reaper->watch_ = std::make_unique<SignalWatch>(std::initializer_list<int>{SIGCHLD},
                                                 [](int) { reapOrphans(); });
  if (!everyThreadBlocksSigchld()) {
    return Error{EINVAL,
                 "The orphan reaper would not hear of exited orphans: a thread started before it "
                 "lets SIGCHLD through"};
  }
  reapOrphans();
  return reaper;
}

OrphanReaper::~OrphanReaper() {
  watch_.reset();
  ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper_);
}

std::size_t OrphanReaper::reapOrphans() {
  std::lock_guard onePass(passes);
  std::size_t reaped = 0;
  for (;;) {
    // waitid shows one exited child at a time, the first in the kernel's
    // list of our children; WNOWAIT leaves it for us to judge.
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      return reaped;
    }
    if (info.si_pid == 0) return reaped;
    // One of ours: nothing behind it shows until its owner has reaped it,
    // which brings us back here.
    if (!OwnChildren::shared().reapUnlessOwn(info.si_pid)) return reaped;
    ++reaped;
  }
}

}  // namespace zefra::platform
