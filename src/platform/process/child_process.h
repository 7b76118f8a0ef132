#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// What one of a child's descriptors 0-2 becomes.
class Stdio {
 public:
  enum class Kind { kInherit, kNullDevice, kFd };

  static Stdio inherit() { return Stdio(Kind::kInherit, -1); }
  static Stdio nullDevice() { return Stdio(Kind::kNullDevice, -1); }
  // Duplicated onto the child's descriptor; the caller keeps and closes `fd`.
  static Stdio fromFd(int fd) { return Stdio(Kind::kFd, fd); }

  Kind kind() const { return kind_; }
  int fd() const { return fd_; }

 private:
  Stdio(Kind kind, int fd) : kind_(kind), fd_(fd) {}
  Kind kind_;
  int fd_;
};

struct SpawnOptions {
  // A path; a relative one is taken from the working directory below.
  std::string executable;
  // argv[1...]; argv[0] is the executable path.
  std::vector<std::string> arguments;
  // The child's whole environment, "NAME=VALUE" each; without one, the
  // child inherits this process's own.
  std::optional<std::vector<std::string>> environment;
  // Entered in the child before exec; otherwise it starts in ours.
  std::optional<std::string> workingDirectory;
  Stdio standardInput = Stdio::inherit();
  Stdio standardOutput = Stdio::inherit();
  Stdio standardError = Stdio::inherit();
  // Containment, both descriptors kept open by the caller until the spawn
  // returns: a cgroup directory (platform/process/run_cgroup.h) the child
  // starts in, and a Landlock ruleset (platform/process/landlock.h) that
  // holds it from its first instruction. -1: neither.
  int cgroup = -1;
  int landlockRuleset = -1;
  // The child leads a process group of its own, which what it leaves in the
  // background stays in after it exits (see signalProcessGroup).
  bool newProcessGroup = false;
};

// A copyable reference to a started process that stays bound to that process
// (through its pidfd) even after it has been reaped and its pid reused.
class ProcessHandle {
 public:
  ProcessHandle() = default;
  ProcessHandle(pid_t pid, std::shared_ptr<const UniqueFd> pidfd)
      : pid_(pid), pidfd_(std::move(pidfd)) {}

  pid_t pid() const { return pid_; }
  // -1 for an empty handle.
  int pidfd() const;
  // False once the process has exited, reaped or not. Never blocks or reaps.
  bool isRunning() const;
  // Fails with ESRCH once the process has been reaped. Signal 0 tests existence.
  Status signal(int sig) const;

 private:
  friend class ChildProcess;
  pid_t pid_ = -1;
  std::shared_ptr<const UniqueFd> pidfd_;
};

// A child started by spawnProcess. Its owner reaps it with wait(); nothing
// else in the process reaps it (no SIGCHLD handler, SIGCHLD not ignored, and
// the orphan reaper leaves it alone). Destroying an unreaped child does not
// signal it: one that has exited is reaped at once, one still running is
// reaped in the background when it exits, so neither blocks nor leaves a zombie.
class ChildProcess {
 public:
  ChildProcess(ChildProcess&&) noexcept = default;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  pid_t pid() const { return handle_.pid(); }
  const ProcessHandle& handle() const { return handle_; }
  bool isRunning() const { return handle_.isRunning(); }
  Status signal(int sig) const { return handle_.signal(sig); }

  // Blocks until the child has ended and reaps it. The termination status:
  // the exit status, or the number of the signal that ended it (-1 if
  // someone else reaped it, which nothing in the helper does). Repeated calls
  // return the same value; safe to call from several threads.
  int wait();
  // The same, and whether a signal ended it (the status is then its number).
  struct Termination {
    int status = -1;
    bool bySignal = false;
  };
  Termination waitForTermination();

 private:
  friend Result<ChildProcess> spawnProcess(const SpawnOptions& options);
  struct Reaping {
    std::mutex mutex;
    std::optional<Termination> termination;
  };
  explicit ChildProcess(ProcessHandle handle);
  void release();

  ProcessHandle handle_;
  std::unique_ptr<Reaping> reaping_;
};

// Starts a child (platform/process/spawn.h): every signal at its default
// disposition, an empty signal mask, and no descriptor inherited besides 0-2,
// in the cgroup and under the ruleset the options name. Errors say whether
// the working directory, the cgroup, the confinement or the executable was
// at fault.
Result<ChildProcess> spawnProcess(const SpawnOptions& options);

}  // namespace zefra::platform
