#pragma once

#include <sys/types.h>

#include "platform/deadline.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace zefra::platform {

// A descriptor bound to one process, immune to pid reuse. Close-on-exec.
Result<UniqueFd> openPidfd(pid_t pid);
// Signal 0 tests existence; fails with ESRCH once the process has been reaped.
Status signalPidfd(int pidfd, int sig);
// False once the process has exited, reaped or not. Never blocks or reaps.
bool pidfdIsRunning(int pidfd);
// True when the process has exited by the deadline; it stays unreaped.
bool waitForPidfdExit(int pidfd, const Deadline& deadline);

}  // namespace zefra::platform
