#pragma once

#include <sys/types.h>

#include <vector>

#include "base/result.h"

namespace zefra::platform {

struct ProcessEntry {
  pid_t pid;
  pid_t ppid;
  friend bool operator==(const ProcessEntry&, const ProcessEntry&) = default;
};

// Every process of the system with its parent, in the order the kernel lists
// them (ascending pid).
using ProcessTableSnapshot = std::vector<ProcessEntry>;

Result<ProcessTableSnapshot> snapshotProcessTable();

// For processes found in the table. Our own children are signalled through
// their ProcessHandle instead, which a reused pid cannot mislead.
Status signalProcess(pid_t pid, int sig);
// For the group a child of ours leads (SpawnOptions::newProcessGroup), before
// that child is reaped: until then its pid, the group's number, cannot be
// reused, even when every other member has left.
Status signalProcessGroup(pid_t group, int sig);
// Stopped by a signal, or gone (a zombie, or no such process): it can no
// longer fork.
bool processStoppedOrGone(pid_t pid);
// kill(pid, 0) succeeds: the process exists (a zombie too) and we may signal
// it. Both refuse pids <= 0, which kill() reads as groups.
bool processExists(pid_t pid);

}  // namespace zefra::platform
