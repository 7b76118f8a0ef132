#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/small_file.h"
#include "platform/process/capture.h"
#include "platform/process/child_process.h"
#include "platform/process/pidfd.h"
#include "support/eventually.h"

namespace zefra::testing {

// A `systemd --user` of a test's own, serving the test's world (its HOME,
// XDG_CONFIG_HOME and XDG_RUNTIME_DIR, which the test has made, the last
// private). It needs root: it runs in a private mount namespace with a tmpfs
// over /run/systemd, so the machine's own stays as it was, and in a cgroup
// of its own in every hierarchy systemd uses. A manager that starts in the
// root cgroup of a hybrid layout takes the whole machine for its own and
// moves every process, PID 1 too, into its init.scope; started inside a
// fresh cgroup it keeps to that one.
class UserManager {
 public:
  struct World {
    // serviceLog: where the manager's output and every service's goes, as no
    // journal runs.
    std::string home, configHome, runtimeDirectory, serviceLog;
  };

  // Why no manager can be started here; nothing when one can. A test skips
  // then, saying why; under CI (CI set) it fails, as scripts/install-deps
  // installs them all.
  static std::optional<std::string> missingPrerequisite() {
    if (::geteuid() != 0) return "a user manager of the test's own needs root";
    for (const char* name : {"unshare", "setpriv", "nsenter", "systemd", "systemctl"}) {
      if (installed(name).empty()) return std::string(name) + " is not installed";
    }
    if (cgroupRoots().empty()) return "no cgroup hierarchy is mounted under /sys/fs/cgroup";
    return std::nullopt;
  }

  // Starts a manager for `world` and waits until it runs; a manager that
  // does not come up is a failure, with its log.
  static std::unique_ptr<UserManager> start(World world) {
    std::unique_ptr<UserManager> manager(new UserManager(std::move(world)));
    return manager->launch() ? std::move(manager) : nullptr;
  }

  ~UserManager() {
    if (process_) {
      (void)systemctl({"exit"});
      if (!platform::waitForPidfdExit(process_->handle().pidfd(), base::Deadline::after(30))) {
        ADD_FAILURE() << "the user manager did not exit within 30 s";
      }
    }
    removeTree(cgroups_);
    if (process_) process_->wait();
  }
  UserManager(const UserManager&) = delete;
  UserManager& operator=(const UserManager&) = delete;

  // What a program of the world needs to reach the manager and to find what
  // it finds: the world's own variables on top of a plain PATH.
  std::vector<std::string> environment() const {
    std::vector<std::string> entries = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + world_.home,
        "XDG_CONFIG_HOME=" + world_.configHome, "XDG_RUNTIME_DIR=" + world_.runtimeDirectory,
        "LANG=C.UTF-8"};
    // Sanitized helpers that the manager starts report where the test's do.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) entries.push_back(std::string(name) + "=" + value);
    }
    return entries;
  }

  struct Outcome {
    int status = -1;
    std::string output;  // standard output, then standard error
  };
  // `systemctl --user ARGS` against this manager.
  Outcome systemctl(const std::vector<std::string>& arguments) const {
    platform::CaptureOptions options;
    options.spawn.executable = installed("systemctl");
    options.spawn.arguments = arguments;
    options.spawn.arguments.insert(options.spawn.arguments.begin(), {"--user", "--no-pager"});
    options.spawn.environment = environment();
    options.inputFromPipe = false;
    options.deadline = base::Deadline::after(60);
    auto captured = platform::captureProcess(options);
    if (!captured) return {-1, captured.error().message};
    return {captured->status.value_or(-1), std::string(captured->standardOutput.view()) +
                                               std::string(captured->standardError.view())};
  }
  // The first line `systemctl --user ARGS` prints, e.g. a unit's state.
  std::string state(const std::vector<std::string>& arguments) const {
    std::string text = systemctl(arguments).output;
    return text.substr(0, text.find('\n'));
  }

  // Starts `command` (a path and its arguments) in the manager's mount
  // namespace, the one its services see: what it mounts there stays out of
  // sight of every other process.
  base::Result<platform::ChildProcess> spawnInside(const std::vector<std::string>& command) const {
    platform::SpawnOptions options;
    options.executable = installed("nsenter");
    options.arguments = {"--target", std::to_string(process_->pid()), "--mount", "--"};
    options.arguments.insert(options.arguments.end(), command.begin(), command.end());
    return platform::spawnProcess(options);
  }

 private:
  explicit UserManager(World world) : world_(std::move(world)) {}

  // Where the system keeps the program `name`; empty when it has none.
  static std::string installed(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/lib/systemd/", "/usr/lib/systemd/"}) {
      if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
    }
    return "";
  }
  // The roots of the hierarchies systemd keeps its tree in: cgroup2 alone,
  // or the named v1 hierarchy with cgroup2 beside it (hybrid).
  static std::vector<std::string> cgroupRoots() {
    namespace fs = std::filesystem;
    if (fs::exists("/sys/fs/cgroup/cgroup.controllers")) return {"/sys/fs/cgroup"};
    std::vector<std::string> roots;
    for (const char* root : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified"}) {
      if (fs::exists(std::string(root) + "/cgroup.procs")) roots.push_back(root);
    }
    return roots;
  }

  static constexpr std::string_view kCgroupPrefix = "zefra-test-manager-";

  // The cgroups of managers whose tests were killed before they could
  // remove them: named after a process that no longer exists.
  static void sweepLeftovers() {
    for (const auto& root : cgroupRoots()) {
      std::vector<std::string> leftovers;
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(kCgroupPrefix)) continue;
        const pid_t owner = std::atoi(name.c_str() + kCgroupPrefix.size());
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) leftovers.push_back(entry.path());
      }
      removeTree(leftovers);
    }
  }

  bool launch() {
    static std::atomic<int> made{0};
    sweepLeftovers();
    const std::string name =
        std::string(kCgroupPrefix) + std::to_string(::getpid()) + "-" + std::to_string(made++);
    for (const auto& root : cgroupRoots()) {
      const std::string cgroup = root + "/" + name;
      if (::mkdir(cgroup.c_str(), 0755) != 0) {
        ADD_FAILURE() << "cannot create the cgroup " << cgroup;
        return false;
      }
      cgroups_.push_back(cgroup);
    }
    const std::string dropIns = world_.runtimeDirectory + "/systemd/user/service.d";
    std::filesystem::create_directories(dropIns);
    std::ofstream(dropIns + "/zefra-test-output.conf")
        << "[Service]\nStandardOutput=append:" << world_.serviceLog
        << "\nStandardError=append:" << world_.serviceLog << "\n";
    // The shell writes to the log, enters the cgroups and the tmpfs first;
    // systemd then takes over its process, so the manager is the child we hold.
    const std::string script =
        "exec >>\"$1\" 2>&1; shift\n"
        "for cgroup in \"$@\"; do echo $$ > \"$cgroup/cgroup.procs\" || exit 97; done\n"
        "if [ -d /run/systemd ]; then covered=/run/systemd; else covered=/run; fi\n"
        "mount -t tmpfs -o mode=0755 tmpfs \"$covered\" || exit 98\n"
        "mkdir -p /run/systemd/system || exit 99\n"
        "exec " +
        installed("systemd") + " --user\n";
    platform::SpawnOptions options;
    // A test killed half-way takes its manager along; what that leaves in
    // the cgroups goes at the next start (sweepLeftovers).
    options.executable = installed("setpriv");
    const std::string unshare = installed("unshare");
    options.arguments = {"--pdeathsig", "KILL", unshare, "--mount", "--propagation",  "private",
                         "/bin/sh",     "-c",   script,  "sh",      world_.serviceLog};
    options.arguments.insert(options.arguments.end(), cgroups_.begin(), cgroups_.end());
    options.environment = environment();
    options.standardInput = platform::Stdio::nullDevice();
    auto spawned = platform::spawnProcess(options);
    if (!spawned) {
      ADD_FAILURE() << "cannot start unshare: " << spawned.error().message;
      return false;
    }
    process_ = std::make_unique<platform::ChildProcess>(std::move(spawned).value());

    std::string reached;
    auto up = [&] { return reached == "running" || reached == "degraded"; };
    eventually([&] {
      // Not is-system-running: outside the manager's namespace it finds no
      // /run/systemd/system and says "offline".
      reached = state({"show", "--property=SystemState", "--value"});
      return up() || !process_->isRunning();
    });
    if (up()) return true;
    const auto log = platform::readSmallFile(world_.serviceLog, 1 << 20);
    ADD_FAILURE() << "the user manager did not come up (last state \"" << reached
                  << "\", still running: " << process_->isRunning() << "); its log:\n"
                  << (log ? log.value() : "");
    (void)process_->signal(SIGKILL);
    return false;
  }

  // Whatever the manager left behind; anything still running in its tree
  // is killed first.
  static void removeTree(const std::vector<std::string>& cgroups) {
    namespace fs = std::filesystem;
    for (const auto& cgroup : cgroups) {
      if (fs::exists(cgroup + "/cgroup.kill")) {
        std::ofstream(cgroup + "/cgroup.kill") << "1";
        continue;
      }
      // Without cgroup.kill (no cgroup2 here), process by process.
      std::error_code error;
      for (fs::recursive_directory_iterator it(cgroup, error), end; !error && it != end;
           it.increment(error)) {
        if (it->path().filename() != "cgroup.procs") continue;
        std::ifstream procs(it->path());
        for (pid_t pid; procs >> pid;) ::kill(pid, SIGKILL);
      }
    }
    for (const auto& cgroup : cgroups) removeDepthFirst(cgroup);
  }
  static void removeDepthFirst(const std::filesystem::path& dir) {
    std::error_code error;
    for (const auto& child : std::filesystem::directory_iterator(dir, error)) {
      if (child.is_directory(error)) removeDepthFirst(child.path());
    }
    // Killed processes leave their cgroup a moment after the signal.
    eventually([&] { return ::rmdir(dir.c_str()) == 0 || errno != EBUSY; },
               std::chrono::seconds(10));
    if (std::filesystem::exists(dir)) ADD_FAILURE() << "cannot remove the cgroup " << dir;
  }

  World world_;
  std::vector<std::string> cgroups_;
  std::unique_ptr<platform::ChildProcess> process_;
};

}  // namespace zefra::testing
