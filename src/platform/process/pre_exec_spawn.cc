#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/process/raw_clone.h"
#include "platform/process/spawn.h"
#include "platform/process/spawn_parts.h"

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x1000
#endif
#ifndef CLONE_INTO_CGROUP
#define CLONE_INTO_CGROUP 0x200000000ULL
#endif
#ifndef SYS_landlock_restrict_self
#define SYS_landlock_restrict_self 446
#endif

namespace zefra::platform {

namespace {

enum Step : int { kNoStep, kPrepare, kWorkingDirectory, kCgroup, kConfine, kExec };

constexpr int kInherit = -1;
constexpr int kNullDevice = -2;
constexpr std::size_t kChildStack = 16 * 1024;

// Everything the child needs, made ready by the parent. The child writes
// only the step that failed and its errno.
struct ChildPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* workingDirectory = nullptr;
  int stdio[3] = {kInherit, kInherit, kInherit};
  int cgroupProcs = -1;
  int landlockRuleset = -1;
  const sock_fprog* syscallFilter = nullptr;
  bool newProcessGroup = false;
  volatile int failedStep = kNoStep;
  volatile int error = 0;
};

// For a confined child: clone3 fails with ENOSYS, as where a container
// refuses it, so libc and runtimes fall back to clone. Its CLONE_INTO_CGROUP
// would start a child in any cgroup whose directory the tool can open, which
// Landlock allows for reading, and so outside the confined run's marked
// cgroup; clone cannot say that. 435 on every architecture, x32's with its bit.
constexpr std::uint32_t kClone3 = 435;
constexpr std::uint32_t kX32Bit = 0x40000000;
sock_filter noClone3Instructions[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kClone3, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kClone3 | kX32Bit, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};
const sock_fprog kNoClone3 = {sizeof noClone3Instructions / sizeof noClone3Instructions[0],
                              noClone3Instructions};

// The kernel's struct sigaction, all zero (SIG_DFL, no flags, empty mask),
// at least as large as any architecture's; and its 64-signal set.
constexpr std::uint64_t kDefaultAction[4] = {};
constexpr std::uint64_t kNoSignals = 0;
constexpr std::uint64_t kAllSignals = ~std::uint64_t{0};

// The child shares the parent's memory and stands on a stack of its own:
// raw system calls only, nothing that locks or allocates, and no sanitizer
// bookkeeping, which would land in the parent's memory.
__attribute__((no_sanitize("address", "thread", "undefined"))) int childMain(void* argument) {
  auto* plan = static_cast<ChildPlan*>(argument);
  int step = kPrepare;
  // The helper ignores SIGPIPE and glibc handles two signals of its own; the
  // tool must start as if from a shell, and no handler of the parent may run
  // in here once the mask opens.
  for (int sig = 1; sig <= 64; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) {
      ::syscall(SYS_rt_sigaction, sig, kDefaultAction, nullptr, sizeof kNoSignals);
    }
  }
  for (int target = 0; target < 3; ++target) {
    long source = plan->stdio[target];
    if (source == kInherit) continue;
    if (source == target) {
      if (::syscall(SYS_fcntl, target, F_SETFD, 0) != 0) goto failed;
      continue;
    }
    const bool opened = source == kNullDevice;
    if (opened) {
      source = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
      if (source < 0) goto failed;
      if (source == target) continue;
    }
    if (::syscall(SYS_dup3, source, target, 0) < 0) goto failed;
    if (opened) ::syscall(SYS_close, source);
  }
  if (plan->newProcessGroup && ::syscall(SYS_setpgid, 0, 0) != 0) goto failed;
  step = kWorkingDirectory;
  if (plan->workingDirectory && ::syscall(SYS_chdir, plan->workingDirectory) != 0) goto failed;
  step = kCgroup;
  if (plan->cgroupProcs >= 0 && ::syscall(SYS_write, plan->cgroupProcs, "0", 1) != 1) goto failed;
  step = kConfine;
  if (plan->landlockRuleset >= 0 &&
      (::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
       ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, plan->syscallFilter) != 0 ||
       ::syscall(SYS_landlock_restrict_self, plan->landlockRuleset, 0) != 0)) {
    goto failed;
  }
  step = kPrepare;
  // Every descriptor is close-on-exec already; this also covers ones opened
  // by libraries that do not say so, and the cgroup's and the ruleset's.
  if (::syscall(SYS_close_range, 3, ~0U, 0) != 0) goto failed;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &kNoSignals, nullptr, sizeof kNoSignals);
  step = kExec;
  ::syscall(SYS_execve, plan->path, plan->argv, plan->envp);
failed:
  plan->error = errno;
  plan->failedStep = step;
  ::syscall(SYS_exit, 127);
  return 127;
}

// Every signal blocked while the child shares our memory, so that no handler
// runs there before it has set the defaults.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &kAllSignals, &previous_, sizeof previous_);
  }
  ~AllSignalsBlocked() {
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous_, nullptr, sizeof previous_);
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  std::uint64_t previous_ = 0;
};

std::atomic<int> forcedEntry{-1};
// Learnt at the first refusal: a seccomp filter that refuses clone3 (container
// runtimes do, so that glibc falls back), or a kernel before 5.7 that does
// not know CLONE_INTO_CGROUP.
std::atomic<bool> bornInsideRefused{false};

struct Cloned {
  long pid = -1;  // or the negated errno
  int pidfd = -1;
};

Cloned cloneChild(CgroupEntry entry, int cgroup, ChildPlan& plan) {
  alignas(16) char stack[kChildStack];
  Cloned cloned;
  AllSignalsBlocked blocked;
  if (entry == CgroupEntry::kBornInside) {
    CloneArgs args;
    args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD;
    if (cgroup >= 0) {
      args.flags |= CLONE_INTO_CGROUP;
      args.cgroup = static_cast<std::uint64_t>(cgroup);
    }
    args.pidfd = reinterpret_cast<std::uintptr_t>(&cloned.pidfd);
    args.exitSignal = SIGCHLD;
    args.stack = reinterpret_cast<std::uintptr_t>(stack);
    args.stackSize = sizeof stack;
    cloned.pid = rawClone3(args, childMain, &plan);
  } else {
    cloned.pid = rawClone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, stack + sizeof stack,
                          &cloned.pidfd, childMain, &plan);
  }
  return cloned;
}

void reapFailedChild(int pidfd) {
  siginfo_t info{};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0 &&
         errno == EINTR) {
  }
}

}  // namespace

CgroupEntry cgroupEntry() {
  const int forced = forcedEntry.load();
  if (forced >= 0) return static_cast<CgroupEntry>(forced);
  return haveRawClone3() && !bornInsideRefused.load() ? CgroupEntry::kBornInside
                                                      : CgroupEntry::kWritesProcs;
}

void forceCgroupEntryForTesting(CgroupEntry entry) {
  forcedEntry.store(static_cast<int>(entry));
}

namespace spawn_parts {

Result<SpawnedChild> preExecSpawn(const SpawnOptions& options) {
  const std::string& executable = options.executable;
  ChildPlan plan;
  int sources[3];
  UniqueFd lifted[3];
  if (auto status = stdioSources(options, sources, lifted); !status) return status.error();
  const Stdio* stdio[3] = {&options.standardInput, &options.standardOutput, &options.standardError};
  for (int target = 0; target < 3; ++target) {
    switch (stdio[target]->kind()) {
      case Stdio::Kind::kInherit:
        break;
      case Stdio::Kind::kNullDevice:
        plan.stdio[target] = kNullDevice;
        break;
      case Stdio::Kind::kFd:
        if (sources[target] < 0) return prepareError(options, EBADF);
        plan.stdio[target] = sources[target];
        break;
    }
  }
  const ExecArguments arguments = execArguments(options);
  plan.path = executable.c_str();
  plan.argv = arguments.argv.data();
  plan.envp = arguments.environment();
  if (options.workingDirectory) plan.workingDirectory = options.workingDirectory->c_str();
  plan.landlockRuleset = options.landlockRuleset;
  if (plan.landlockRuleset >= 0) plan.syscallFilter = &kNoClone3;
  plan.newProcessGroup = options.newProcessGroup;

  for (;;) {
    const CgroupEntry entry = cgroupEntry();
    UniqueFd procs;
    if (options.cgroup >= 0 && entry == CgroupEntry::kWritesProcs) {
      procs.reset(::openat(options.cgroup, "cgroup.procs", O_WRONLY | O_CLOEXEC));
      if (!procs) {
        return errnoError("Could not place " + quoted(executable) + " in its cgroup", errno);
      }
    }
    plan.cgroupProcs = procs.get();
    const Cloned cloned = cloneChild(entry, options.cgroup, plan);
    if (cloned.pid < 0) {
      const int err = static_cast<int>(-cloned.pid);
      if (entry == CgroupEntry::kBornInside &&
          (err == ENOSYS || (err == EINVAL && options.cgroup >= 0))) {
        bornInsideRefused.store(true);
        if (cgroupEntry() != entry) continue;
      }
      return errnoError(
          "Could not launch " + quoted(executable) + (options.cgroup >= 0 ? " in its cgroup" : ""),
          err);
    }
    UniqueFd pidfd(cloned.pidfd);
    if (plan.failedStep != kNoStep) reapFailedChild(pidfd.get());
    switch (plan.failedStep) {
      case kNoStep:
        return SpawnedChild{static_cast<pid_t>(cloned.pid), std::move(pidfd)};
      case kWorkingDirectory:
        return errnoError(
            "Could not change to the working directory " + quoted(plan.workingDirectory),
            plan.error);
      case kCgroup:
        return errnoError("Could not place " + quoted(executable) + " in its cgroup", plan.error);
      case kConfine:
        return errnoError("Could not confine " + quoted(executable), plan.error);
      case kExec:
        return errnoError("Could not launch " + quoted(executable), plan.error);
      default:
        return prepareError(options, plan.error);
    }
  }
}

}  // namespace spawn_parts

}  // namespace zefra::platform
