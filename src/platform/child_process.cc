#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/pidfd.h"
#include "platform/queue.h"

namespace zefra::platform {

namespace {

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

std::string quoted(const std::string& text) {
  return "\u201c" + text + "\u201d";
}

// Reaps the child behind `pidfd`. nullopt: still running (only with WNOHANG).
// -1: it cannot be reaped, which happens only if someone else reaped it.
std::optional<ChildProcess::Termination> reap(int pidfd, int options) {
  for (;;) {
    siginfo_t info{};
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                 WEXITED | options) == 0) {
      if (info.si_pid == 0) return std::nullopt;
      // With WEXITED alone si_status is the exit status for CLD_EXITED and the
      // signal number for CLD_KILLED and CLD_DUMPED: exactly the status we report.
      return ChildProcess::Termination{info.si_status, info.si_code != CLD_EXITED};
    }
    if (errno != EINTR) return ChildProcess::Termination{};
  }
}

// posix_spawn reports a failed chdir and a failed exec alike; look at the
// directory again to tell which one it was.
std::optional<int> workingDirectoryError(const std::string& directory) {
  UniqueFd fd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  if (::faccessat(AT_FDCWD, directory.c_str(), X_OK, AT_EACCESS) != 0) return errno;
  return std::nullopt;
}

// Every signal, glibc's two internal ones (32 and 33) included: posix_spawn
// leaves those ignored in the child unless they are in the default set, and
// sigfillset() cannot add them. Nobody signals the child with them before
// exec, so their default is safe there.
sigset_t everySignal() {
  sigset_t set;
  ::sigfillset(&set);
  constexpr int kBits = 8 * sizeof(set.__val[0]);
  for (int sig = __SIGRTMIN; sig < SIGRTMIN; ++sig) {
    set.__val[(sig - 1) / kBits] |= 1UL << ((sig - 1) % kBits);
  }
  return set;
}

std::vector<char*> nullTerminated(const std::vector<std::string>& strings,
                                  const std::string* first) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 2);
  if (first) pointers.push_back(const_cast<char*>(first->c_str()));
  for (const auto& string : strings) pointers.push_back(const_cast<char*>(string.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

int ProcessHandle::pidfd() const { return pidfd_ ? pidfd_->get() : -1; }

bool ProcessHandle::isRunning() const { return pidfdIsRunning(pidfd()); }

Status ProcessHandle::signal(int sig) const {
  auto sent = signalPidfd(pidfd(), sig);
  if (!sent && sent.error().code != ESRCH) {
    return errnoError("Could not signal process " + std::to_string(pid_), sent.error().code);
  }
  return sent;
}

ChildProcess::ChildProcess(ProcessHandle handle)
    : handle_(std::move(handle)), reaping_(std::make_unique<Reaping>()) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::move(other.handle_);
    reaping_ = std::move(other.reaping_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::release() {
  if (!reaping_) return;
  std::lock_guard lock(reaping_->mutex);
  if (reaping_->termination) return;
  auto pidfd = handle_.pidfd_;
  if (reap(pidfd->get(), WNOHANG)) return;
  // Still running: leave it be, as its owner no longer cares, but do not let
  // it turn into a zombie when it ends.
  globalQueue().async([pidfd] { reap(pidfd->get(), 0); });
}

int ChildProcess::wait() {
  return waitForTermination().status;
}

ChildProcess::Termination ChildProcess::waitForTermination() {
  std::lock_guard lock(reaping_->mutex);
  if (!reaping_->termination) reaping_->termination = reap(handle_.pidfd_->get(), 0);
  return *reaping_->termination;
}

Result<ChildProcess> spawnProcess(const SpawnOptions& options) {
  const std::string& executable = options.executable;
  auto prepareError = [&](int err) {
    return errnoError("Could not prepare to launch " + quoted(executable), err);
  };

  // A source descriptor among 0-2 could be overwritten by another one's dup2
  // before its own turn; move such sources out of the way first.
  const Stdio* stdio[3] = {&options.standardInput, &options.standardOutput, &options.standardError};
  int sources[3] = {-1, -1, -1};
  UniqueFd lifted[3];
  for (int target = 0; target < 3; ++target) {
    if (stdio[target]->kind() != Stdio::Kind::kFd) continue;
    sources[target] = stdio[target]->fd();
    if (sources[target] >= 0 && sources[target] < 3 && sources[target] != target) {
      lifted[target].reset(::fcntl(sources[target], F_DUPFD_CLOEXEC, 3));
      if (!lifted[target]) return prepareError(errno);
      sources[target] = lifted[target].get();
    }
  }

  FileActions actions;
  int err = 0;
  for (int target = 0; target < 3 && err == 0; ++target) {
    switch (stdio[target]->kind()) {
      case Stdio::Kind::kInherit:
        break;
      case Stdio::Kind::kNullDevice:
        err = ::posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null",
                                                 target == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stdio::Kind::kFd:
        // Also clears close-on-exec when source and target are the same.
        err = ::posix_spawn_file_actions_adddup2(actions.get(), sources[target], target);
        break;
    }
  }
  if (err == 0 && options.workingDirectory) {
    err = ::posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory->c_str());
  }
  // Every descriptor is close-on-exec already; this also covers ones opened
  // by libraries that do not say so.
  if (err == 0) err = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (err != 0) return prepareError(err);

  // The helper ignores SIGPIPE and its threads may block signals; a tool must
  // start as if from a shell.
  SpawnAttributes attributes;
  const sigset_t all = everySignal();
  sigset_t none;
  ::sigemptyset(&none);
  err = ::posix_spawnattr_setsigdefault(attributes.get(), &all);
  if (err == 0) err = ::posix_spawnattr_setsigmask(attributes.get(), &none);
  if (err == 0) {
    err = ::posix_spawnattr_setflags(attributes.get(),
                                     POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  if (err != 0) return prepareError(err);

  auto argv = nullTerminated(options.arguments, &executable);
  std::vector<char*> envp;
  if (options.environment) envp = nullTerminated(*options.environment, nullptr);

  pid_t pid = -1;
  err = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                      options.environment ? envp.data() : environ);
  if (err != 0) {
    if (options.workingDirectory) {
      if (auto dirErr = workingDirectoryError(*options.workingDirectory)) {
        return errnoError(
            "Could not change to the working directory " + quoted(*options.workingDirectory),
            *dirErr);
      }
    }
    return errnoError("Could not launch " + quoted(executable), err);
  }

  // Safe from pid reuse: the child stays at least a zombie until we reap it.
  auto pidfd = openPidfd(pid);
  if (!pidfd) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return errnoError("Could not keep track of the launched " + quoted(executable),
                      pidfd.error().code);
  }
  return ChildProcess(ProcessHandle(pid, std::make_shared<const UniqueFd>(std::move(*pidfd))));
}

}  // namespace zefra::platform
