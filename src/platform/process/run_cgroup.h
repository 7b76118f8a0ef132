#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/deadline.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

class RunCgroup;

// Where runs get cgroups of their own: directly below the helper's own cgroup
// v2 directory, when the helper may make cgroups there and move processes in
// and out (a cgroup delegated to it: anything below the user's service
// manager, such as a service with Delegate=yes or an application scope it
// made, or any cgroup when running as root).
class RunCgroupParent {
 public:
  // The helper's own cgroup: the "0::" line of /proc/self/cgroup, found
  // under the cgroup2 mount that /proc/self/mountinfo lists for it.
  static RunCgroupParent locate();
  // `directory` instead; something that is not a cgroup v2 directory we may
  // use stands for a system without one.
  static RunCgroupParent at(const std::string& directory);

  // Checked by trying: a cgroup was made and removed there, and its
  // cgroup.procs opened for writing (which moving a process needs).
  bool available() const { return directory_ != nullptr; }
  // Why runs get no cgroup, for the log; empty when available.
  const std::string& unavailableReason() const { return reason_; }
  const std::string& path() const { return path_; }

  // A new, empty cgroup for one run. Failing means an unconfined run goes
  // without one (the parent-link walk then ends its tree) and a confined one
  // is refused; the message says why.
  Result<RunCgroup> makeRunCgroup() const;

 private:
  std::string path_;
  std::string reason_;
  std::shared_ptr<const UniqueFd> directory_;
  // Our own cgroup.procs, open for writing: where a finished run's
  // leftovers go.
  std::shared_ptr<const UniqueFd> procs_;
};

// One run's cgroup, from before the tool's first instruction (pass fd() as
// SpawnOptions::cgroup) to the run's end. Ending a run early takes two
// steps that the caller times: terminate(), then kill() a grace period
// later. remove() when the run has ended.
class RunCgroup {
 public:
  RunCgroup(RunCgroup&& other) noexcept;
  RunCgroup& operator=(RunCgroup&&) = delete;
  ~RunCgroup();

  int fd() const { return directory_.get(); }
  const std::string& path() const { return path_; }
  // Its own name, unique to this helper.
  const std::string& name() const { return name_; }
  // The processes in it and in any cgroup a tool made inside it (thread-group
  // ids); what cannot be read is left out.
  std::vector<pid_t> processes() const;
  bool populated() const;
  // True once no process is left in it, zombies aside (cgroup.events says
  // "populated 0"; woken by its change, not by polling the list).
  bool waitUntilEmpty(const base::Deadline& deadline) const;

  // SIGTERM to every process in it, each through a pidfd opened while the
  // process was seen in the cgroup, so no reused pid is hit.
  Status terminate();
  // SIGKILL to every process in it at once, forks in flight included
  // (cgroup.kill, Linux 5.14). Older kernels get SIGKILL per process, and
  // remove() repeats it until the cgroup is empty.
  Status kill();
  // After terminate() or kill(): kills what is left, waits for it to be gone
  // and removes the cgroup: a cancelled run leaves nothing. Otherwise (a run
  // that ended normally) moves what is left, the tool's daemons, into the
  // helper's own cgroup, where they go on running, and removes the cgroup.
  // Waits 5 seconds at most, and keeps the cgroup when processes remain;
  // once done, later calls do nothing. The destructor does it when nobody did.
  Status remove();

 private:
  friend class RunCgroupParent;
  RunCgroup(std::string name, std::string path, UniqueFd directory,
            std::shared_ptr<const UniqueFd> parent, std::shared_ptr<const UniqueFd> parentProcs);
  // "." and the cgroups below it, each before its own children.
  std::vector<std::string> cgroups() const;
  Status signalEach(int sig) const;
  Status moveLeftoversOut() const;

  std::string name_;
  std::string path_;
  UniqueFd directory_;
  std::shared_ptr<const UniqueFd> parent_;
  std::shared_ptr<const UniqueFd> parentProcs_;
  bool ending_ = false;
  bool removed_ = false;
};

// Tests: act as if the kernel had no cgroup.kill.
void forceSignalKillForTesting(bool force);

}  // namespace zefra::platform
