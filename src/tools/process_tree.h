#pragma once

#include <sys/types.h>

#include <vector>

#include "platform/process/child_process.h"
#include "platform/process/process_table.h"

namespace zefra::tools {

// Seconds between the SIGTERM pass and the SIGKILL pass.
inline constexpr double kProcessTreeKillDelay = 2.0;

// Every descendant of `pid` in one snapshot of the process table, deepest
// level first and each level in reverse table order, so that every process
// comes before its parent. `pid` itself is not included. Empty when the table
// cannot be read.
std::vector<pid_t> descendantPIDs(pid_t pid);
std::vector<pid_t> descendantPIDs(pid_t pid, const platform::ProcessTableSnapshot& snapshot);

// SIGTERM now to the task's descendants and then to the task, and
// kProcessTreeKillDelay seconds later SIGKILL to those of them that still
// exist. Does nothing for a task that is no longer running. Never blocks, so
// it may be called with a lock held. Returns the processes it signalled, in
// order (the task last); empty when it did nothing.
std::vector<pid_t> terminateProcessTree(platform::ChildProcess& task);

}  // namespace zefra::tools
