#pragma once

#include <memory>
#include <mutex>

#include "platform/process/child_process.h"

namespace zefra::tools {

// A launched run as a cancel, its deadline and the end of its connection
// reach it. end() is the one way a run's processes are ended, so whatever
// ends them differently later (a cgroup of its own) changes only here.
class RunControl {
 public:
  enum class Reason { kCancel, kDeadline, kDisconnect };

  explicit RunControl(bool endsWithConnection) : endsWithConnection_(endsWithConnection) {}
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // The run's tool has started; end() reaches it from now on. True when a
  // cancel or the connection's end came before: the caller ends it then.
  bool launched(std::shared_ptr<platform::ChildProcess> task);
  // Ends the run's process tree (SIGTERM now, SIGKILL to survivors
  // kProcessTreeKillDelay later) and records why. Nothing is signalled for a
  // tool that has already exited. Never blocks, so a lock may be held.
  void end(Reason why);

  // A cancel or the connection's end signalled the run.
  bool cancelled() const;
  // The deadline came while the run was in progress.
  bool timedOut() const;
  bool endsWithConnection() const { return endsWithConnection_; }

 private:
  const bool endsWithConnection_;
  mutable std::mutex mu_;
  std::shared_ptr<platform::ChildProcess> task_;  // mu_
  bool cancelled_ = false;                        // mu_
  bool timedOut_ = false;                         // mu_
  bool endedBeforeLaunch_ = false;                // mu_
};

}  // namespace zefra::tools
