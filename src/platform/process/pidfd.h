#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "base/deadline.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// A descriptor bound to one process, immune to pid reuse. Close-on-exec.
Result<UniqueFd> openPidfd(pid_t pid);
// Signal 0 tests existence; fails with ESRCH once the process has been reaped.
Status signalPidfd(int pidfd, int sig);
// False once the process has exited, reaped or not. Never blocks or reaps.
bool pidfdIsRunning(int pidfd);
// True when the process has exited by the deadline; it stays unreaped.
bool waitForPidfdExit(int pidfd, const base::Deadline& deadline);
// A number that names the process of `pidfd` until the system restarts (its
// pidfs inode; Linux 6.9), so two pidfds can be compared with one fstat.
// Nothing on older kernels, whose pidfds all share one inode.
std::optional<std::uint64_t> pidfdIdentity(int pidfd);

}  // namespace zefra::platform
