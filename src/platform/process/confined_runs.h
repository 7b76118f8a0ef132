#pragma once

#include <string>

#include "platform/process/peer_process.h"

namespace zefra::platform {

// The cgroups of confined runs in progress. A process in one is a confined
// tool or something it started, and stays there: it may write nowhere in
// the cgroup tree. Served, it could ask through a signed client for runs
// free of its confinement.
class ConfinedRunMark {
 public:
  // `cgroupName`: the run cgroup's own name, unique to this helper.
  explicit ConfinedRunMark(std::string cgroupName);
  ~ConfinedRunMark();
  ConfinedRunMark(const ConfinedRunMark&) = delete;
  ConfinedRunMark& operator=(const ConfinedRunMark&) = delete;

 private:
  const std::string name_;
};

// Whether the peer lives in the cgroup of a confined run, or below it. A
// peer whose cgroup cannot be read counts as one.
bool inConfinedRun(const PeerProcess& peer);

}  // namespace zefra::platform
