#include "tools/process_tree.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "base/deadline.h"
#include "platform/dispatch/queue.h"

namespace zefra::tools {

std::vector<pid_t> descendantPIDs(pid_t pid) {
  auto snapshot = platform::snapshotProcessTable();
  if (!snapshot) return {};
  return descendantPIDs(pid, *snapshot);
}

std::vector<pid_t> descendantPIDs(pid_t pid, const platform::ProcessTableSnapshot& snapshot) {
  // The parent map as one sorted array: each parent's children form one run,
  // still in table order thanks to the stable sort.
  std::vector<platform::ProcessEntry> byParent(snapshot);
  auto parentLess = [](const platform::ProcessEntry& a, const platform::ProcessEntry& b) {
    return a.ppid < b.ppid;
  };
  std::stable_sort(byParent.begin(), byParent.end(), parentLess);
  // A snapshot torn by pid reuse may hold a parent cycle. As each pid is
  // listed once, one reachable from `pid` runs through `pid` itself, which is
  // never listed; visiting each entry at most once bounds the walk even for
  // a hand-made snapshot with repeated pids.
  std::vector<bool> visited(byParent.size());

  // `result` doubles as the breadth-first queue: the levels follow each
  // other in it, [levelBegin, levelEnd) being the one being expanded.
  std::vector<pid_t> result;
  auto appendChildren = [&](pid_t parent) {
    auto [first, last] = std::equal_range(byParent.begin(), byParent.end(),
                                          platform::ProcessEntry{0, parent}, parentLess);
    for (auto it = first; it != last; ++it) {
      auto index = static_cast<std::size_t>(it - byParent.begin());
      if (visited[index] || it->pid == pid) continue;
      visited[index] = true;
      result.push_back(it->pid);
    }
  };
  appendChildren(pid);
  for (std::size_t levelBegin = 0; levelBegin < result.size();) {
    const std::size_t levelEnd = result.size();
    for (std::size_t i = levelBegin; i < levelEnd; ++i) appendChildren(result[i]);
    levelBegin = levelEnd;
  }
  std::reverse(result.begin(), result.end());
  return result;
}

namespace {

constexpr double kStopWait = 0.5;

// Bounded: a member in uninterruptible sleep stops late, and the SIGKILL pass
// still follows.
void waitUntilStopped(const std::vector<pid_t>& members) {
  const auto deadline = base::Deadline::after(kStopWait);
  for (pid_t member : members) {
    while (!platform::processStoppedOrGone(member) && !deadline.passed()) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
}

}  // namespace

std::vector<pid_t> terminateProcessTree(platform::ChildProcess& task) {
  if (!task.isRunning()) return {};
  // The task itself is signalled through its handle: by the second pass the
  // run may have reaped it and its pid may belong to someone else.
  const platform::ProcessHandle self = task.handle();
  auto signalMember = [&self](pid_t member, int sig) {
    if (member == self.pid()) {
      (void)self.signal(sig);
    } else {
      (void)platform::signalProcess(member, sig);
    }
  };
  // Stopped first, so that none forks a child the walk has not seen before
  // TERM arrives: walk and stop again until a walk finds no one new. A
  // member stopped in the middle of a fork stops once the child exists, so
  // each walk waits for the members to have stopped.
  std::vector<pid_t> members{self.pid()};
  signalMember(self.pid(), SIGSTOP);
  for (bool grew = true; grew;) {
    grew = false;
    waitUntilStopped(members);
    for (pid_t member : descendantPIDs(self.pid())) {
      if (std::find(members.begin(), members.end(), member) != members.end()) continue;
      signalMember(member, SIGSTOP);
      members.push_back(member);
      grew = true;
    }
  }
  // Deepest first, the task last, as the walk lists them.
  std::vector<pid_t> ordered = descendantPIDs(self.pid());
  for (pid_t member : members) {
    if (member != self.pid() &&
        std::find(ordered.begin(), ordered.end(), member) == ordered.end()) {
      ordered.insert(ordered.begin(), member);
    }
  }
  ordered.push_back(self.pid());
  for (pid_t member : ordered) signalMember(member, SIGTERM);
  for (pid_t member : ordered) signalMember(member, SIGCONT);
  auto list = std::make_shared<const std::vector<pid_t>>(std::move(ordered));

  auto killPass = [list, self] {
    for (pid_t member : *list) {
      if (member == self.pid()) {
        if (self.signal(0)) (void)self.signal(SIGKILL);
      } else if (platform::processExists(member)) {
        (void)platform::signalProcess(member, SIGKILL);
      }
    }
  };
  // On the timer thread: the pool may be full of the runs it is to end. Out
  // of threads, at once.
  if (!platform::runOnTimerThreadAfter(kProcessTreeKillDelay, killPass)) killPass();
  return *list;
}

}  // namespace zefra::tools
