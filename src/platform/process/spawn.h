#pragma once

#include <sys/types.h>

#include "platform/process/child_process.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

struct SpawnedChild {
  pid_t pid = -1;
  UniqueFd pidfd;
};

// How every child of the helper starts (spawnProcess wraps it): every signal
// at its default disposition, an empty signal mask, 0-2 as the options say,
// no other descriptor, the working directory entered in the child.
//
// Without containment, through posix_spawn. With SpawnOptions::cgroup or
// ::landlockRuleset, through a vfork-like clone whose child runs a pre-exec
// stage of raw system calls on a stack of its own: the above, then the
// cgroup joined and the ruleset applied (after PR_SET_NO_NEW_PRIVS, and with
// clone3 refused, so nothing confined can start a child in another cgroup),
// then exec. Either way the error names the step that failed: the working
// directory, the cgroup, the confinement or the executable; a failed child
// is reaped before this returns.
//
// The child is listed in OwnChildren until its owner reaps it; the owner
// must call OwnChildren::forget once it has.
Result<SpawnedChild> spawnChild(const SpawnOptions& options);

// How a contained child joins SpawnOptions::cgroup. kBornInside: clone3 with
// CLONE_INTO_CGROUP (x86-64, Linux 5.7, where no seccomp filter refuses
// clone3). kWritesProcs: clone, and the child writes itself into the
// cgroup's cgroup.procs before exec; what other systems get.
enum class CgroupEntry { kBornInside, kWritesProcs };
CgroupEntry cgroupEntry();
// Tests and benchmarks measure both ways; the way cgroupEntry() gave
// restores the choice.
void forceCgroupEntryForTesting(CgroupEntry entry);

}  // namespace zefra::platform
