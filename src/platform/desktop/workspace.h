#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/no_destructor.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// A running application: a process whose executable lies in a bundle with
// an Info file; its identifier comes from there.
class RunningApplication {
 public:
  RunningApplication(pid_t pid, std::optional<std::string> bundleIdentifier, std::string bundlePath,
                     std::shared_ptr<const UniqueFd> pidfd);
  pid_t processIdentifier() const { return pid_; }
  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
  const std::string& bundlePath() const { return bundlePath_; }
  // Asks the process itself (through its pidfd), so it is never stale.
  bool isTerminated() const;

 private:
  pid_t pid_;
  std::optional<std::string> bundleIdentifier_;
  std::string bundlePath_;
  std::shared_ptr<const UniqueFd> pidfd_;
};

// What a termination observer receives; the application may be missing.
struct TerminationNotification {
  std::optional<RunningApplication> application;
};

// The user's running applications. Watching starts with the first observer:
// /proc is scanned then and every few seconds, each application found is held
// by a pidfd, and its termination is posted to the observers on the main
// queue as soon as the kernel reports it. Main queue only.
class Workspace {
 public:
  using Observer = std::function<void(const TerminationNotification&)>;
  static Workspace& shared();

  void addTerminationObserver(Observer observer);
  // Scans afresh, then lists the tracked applications with exactly this
  // identifier.
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
      std::string_view bundleIdentifier);

  struct Impl;

 private:
  Workspace();
  template <class T>
  friend class base::NoDestructor;
  std::shared_ptr<Impl> impl_;
};

}  // namespace zefra::platform
