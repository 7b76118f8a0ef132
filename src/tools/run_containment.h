#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/result.h"
#include "platform/process/landlock.h"
#include "platform/process/private_temp_dir.h"
#include "platform/process/run_cgroup.h"
#include "xpc/run_options.h"

// What holds one run's processes together (a cgroup of its own) and, when
// the caller asks, what confines them (Landlock and a temporary folder).
namespace zefra::tools {

// Where runs get their cgroups: found once, by the first run, and the reason
// logged once when runs get none.
const platform::RunCgroupParent& runCgroupParent();
// Tests: runs from now on make their cgroups below `parent` (one that is not
// available stands for a system without cgroups).
void useRunCgroupParentForTesting(platform::RunCgroupParent parent);

// A cgroup for one run; nothing, and why in `whyNot`, when it goes without
// (its tree is then found by parent links).
std::shared_ptr<platform::RunCgroup> makeRunCgroup(std::string& whyNot);
// Makes what the next run takes, unless it is ready: its cgroup and, after
// a `confined` run, its temporary folder. Called once a run has replied, so
// that the next one finds them made.
void makeAheadForTheNextRun(bool confined);

struct RunConfinement {
  // The run's TMPDIR, writable beside the caller's folders; removed with
  // this object, after the run.
  platform::PrivateTempDir temporary;
  platform::LandlockRuleset ruleset;
  // For the log.
  std::string description;
};

// The confinement the options ask for: nothing when they ask for none. Fails
// when it cannot be had (a folder that is not absolute or cannot be opened,
// a kernel without Landlock, or no-network below Landlock ABI 4) with a
// sentence ending in "nothing was run.": a confined run is refused, never
// run unconfined.
Result<std::optional<RunConfinement>> confinementFor(const xpc::RunOptions& options);

}  // namespace zefra::tools
