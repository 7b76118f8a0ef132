#include "platform/process/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process/own_children.h"
#include "platform/process/pidfd.h"
#include "platform/process/spawn_parts.h"

namespace zefra::platform {

namespace spawn_parts {

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

}  // namespace

Result<SpawnedChild> posixSpawn(const SpawnOptions& options) {
  const std::string& executable = options.executable;
  int sources[3];
  UniqueFd lifted[3];
  if (auto status = stdioSources(options, sources, lifted); !status) return status.error();

  const Stdio* stdio[3] = {&options.standardInput, &options.standardOutput, &options.standardError};
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
  if (err != 0) return prepareError(options, err);

  // The helper ignores SIGPIPE and its threads may block signals; a tool must
  // start as if from a shell.
  SpawnAttributes attributes;
  const sigset_t all = everySignal();
  sigset_t none;
  ::sigemptyset(&none);
  err = ::posix_spawnattr_setsigdefault(attributes.get(), &all);
  if (err == 0) err = ::posix_spawnattr_setsigmask(attributes.get(), &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.newProcessGroup) flags |= POSIX_SPAWN_SETPGROUP;  // group 0: the child's pid
  if (err == 0) err = ::posix_spawnattr_setflags(attributes.get(), flags);
  if (err != 0) return prepareError(options, err);

  const ExecArguments arguments = execArguments(options);
  pid_t pid = -1;
  err = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(),
                      arguments.argv.data(), arguments.environment());
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
  return SpawnedChild{pid, std::move(*pidfd)};
}

}  // namespace spawn_parts

Result<SpawnedChild> spawnChild(const SpawnOptions& options) {
  // A child that fails, or exits at once, is never taken for an orphan
  // before it is listed: the orphan reaper waits for this window to close.
  auto window = OwnChildren::shared().spawnWindow();
  auto child = options.cgroup < 0 && options.landlockRuleset < 0
                   ? spawn_parts::posixSpawn(options)
                   : spawn_parts::preExecSpawn(options);
  if (child) OwnChildren::shared().add(child->pid);
  return child;
}

}  // namespace zefra::platform
