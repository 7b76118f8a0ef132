#pragma once

#include <memory>
#include <mutex>

#include "platform/dispatch/event_flag.h"
#include "platform/process/child_process.h"
#include "platform/process/run_cgroup.h"

namespace zefra::tools {

// A launched run as a cancel, its deadline and the end of its connection
// reach it. end() is the one way a run's processes are ended.
class RunControl : public std::enable_shared_from_this<RunControl> {
 public:
  enum class Reason { kCancel, kDeadline, kDisconnect };

  // With a cgroup, the run is every process in it; without one, the tool's
  // tree as parent links show it.
  explicit RunControl(bool endsWithConnection,
                      std::shared_ptr<platform::RunCgroup> cgroup = nullptr)
      : endsWithConnection_(endsWithConnection), cgroup_(std::move(cgroup)) {}
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // The run's tool has started; end() reaches it from now on. True when a
  // cancel or the connection's end came before: the caller ends it then.
  bool launched(std::shared_ptr<platform::ChildProcess> task);
  // Ends the run's processes, SIGTERM now and SIGKILL to survivors
  // kProcessTreeKillDelay later (the cgroup's kill, which also reaches what
  // left the tree, and the tool's own process even when it left the
  // cgroup), and records why. Nothing is signalled once nothing of the
  // run is left, or after finish(). Never blocks, so a lock may be held.
  void end(Reason why);
  // The run has replied: end() does nothing from now on, and its cgroup is
  // removed, with what an ended run left killed and what a run that ended
  // normally left (its daemons) moved out to go on. May wait a few seconds
  // for the killed to go, so it is called after the reply. `endLeftovers`:
  // what the run left is killed even after a normal end.
  void finish(bool endLeftovers = false);

  // Raised once end() has come for the launched run, for any reason: the
  // capture then waits for the outputs only a grace longer.
  const platform::EventFlag& ended() const { return ended_; }
  // A cancel or the connection's end signalled the run.
  bool cancelled() const;
  // A cancel or the connection's end came for the launched run, whether or
  // not anything of it was left to signal.
  bool endAsked() const;
  // The deadline came while the run was in progress.
  bool timedOut() const;
  bool endsWithConnection() const { return endsWithConnection_; }

 private:
  // The SIGKILL pass of a run with a cgroup; mu_ held.
  void killNow();

  const bool endsWithConnection_;
  mutable std::mutex mu_;
  std::shared_ptr<platform::RunCgroup> cgroup_;   // mu_
  std::shared_ptr<platform::ChildProcess> task_;  // mu_
  bool finished_ = false;                         // mu_
  bool cancelled_ = false;                        // mu_
  bool timedOut_ = false;                         // mu_
  bool endedBeforeLaunch_ = false;                // mu_
  bool endAsked_ = false;                         // mu_
  platform::EventFlag ended_;
};

}  // namespace zefra::tools
