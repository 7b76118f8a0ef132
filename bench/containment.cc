// What containment adds to a trivial run: /bin/true with three pipes, both
// outputs drained, reaped, against the same spawn without containment.
//
// BM_OwnCgroupOverPlain: a run cgroup made, the child born inside it, the
// cgroup removed. BM_ProcsWriteOverPlain: the same where the child writes
// itself into cgroup.procs (no clone3). BM_ConfinedOverPlain: a Landlock
// ruleset built (writing under one folder, no network) and the child
// confined by it. BM_ConfinedWithTempFolderOverPlain: also the run's
// private temporary folder made and removed, a directory made and removed
// in the temporary directory's file system. BM_BothOverPlain: all of it.
// Each case runs alternately with the plain spawn and reports the ratio of
// their times. The cgroup cases need a cgroup the process may make cgroups
// in (root, or a delegated one).

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "compare.h"
#include "platform/files/pipe_io.h"
#include "platform/process/child_process.h"
#include "platform/process/landlock.h"
#include "platform/process/private_temp_dir.h"
#include "platform/process/run_cgroup.h"
#include "platform/process/spawn.h"
#include "spawn_baseline.h"

namespace {

using namespace zefra;

const platform::RunCgroupParent& runCgroups() {
  static const platform::RunCgroupParent parent = platform::RunCgroupParent::locate();
  return parent;
}

enum class Confined { kNo, kYes, kWithTempFolder };

bool spawnTrue(bool ownCgroup, Confined confined) {
  std::optional<platform::RunCgroup> cgroup;
  if (ownCgroup) {
    auto made = runCgroups().makeRunCgroup();
    if (!made) return false;
    cgroup.emplace(std::move(*made));
  }
  std::optional<platform::PrivateTempDir> tmp;
  std::optional<platform::LandlockRuleset> ruleset;
  platform::SpawnOptions options;
  options.executable = "/bin/true";
  options.environment = {"PATH=/usr/bin:/bin"};
  if (confined != Confined::kNo) {
    static const platform::PrivateTempDir shared = platform::PrivateTempDir::make().value();
    if (confined == Confined::kWithTempFolder) {
      auto made = platform::PrivateTempDir::make();
      if (!made) return false;
      tmp.emplace(std::move(*made));
    }
    const std::string& folder = tmp ? tmp->path() : shared.path();
    auto rules = platform::makeLandlockRuleset({{folder}, true});
    if (!rules) return false;
    ruleset.emplace(std::move(*rules));
    options.environment->push_back("TMPDIR=" + folder);
  }
  options.cgroup = cgroup ? cgroup->fd() : -1;
  options.landlockRuleset = ruleset ? ruleset->fd.get() : -1;
  if (!bench::spawnChildAndDrain(std::move(options))) return false;
  return !cgroup || cgroup->remove();
}

bool plain() {
  return spawnTrue(false, Confined::kNo);
}

template <class Candidate>
void compare(benchmark::State& state, Candidate candidate, bool needsCgroup = false) {
  if (needsCgroup && !runCgroups().available()) {
    state.SkipWithError(runCgroups().unavailableReason().c_str());
    return;
  }
  if (!candidate()) {
    state.SkipWithError("the contained spawn failed");
    return;
  }
  bench::compareInterleaved(state, candidate, plain);
}

void BM_OwnCgroupOverPlain(benchmark::State& state) {
  platform::forceCgroupEntryForTesting(platform::CgroupEntry::kBornInside);
  compare(
      state, [] { return spawnTrue(true, Confined::kNo); }, true);
}
BENCHMARK(BM_OwnCgroupOverPlain)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ProcsWriteOverPlain(benchmark::State& state) {
  platform::forceCgroupEntryForTesting(platform::CgroupEntry::kWritesProcs);
  compare(
      state, [] { return spawnTrue(true, Confined::kNo); }, true);
  platform::forceCgroupEntryForTesting(platform::CgroupEntry::kBornInside);
}
BENCHMARK(BM_ProcsWriteOverPlain)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ConfinedOverPlain(benchmark::State& state) {
  compare(state, [] { return spawnTrue(false, Confined::kYes); });
}
BENCHMARK(BM_ConfinedOverPlain)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ConfinedWithTempFolderOverPlain(benchmark::State& state) {
  compare(state, [] { return spawnTrue(false, Confined::kWithTempFolder); });
}
BENCHMARK(BM_ConfinedWithTempFolderOverPlain)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_BothOverPlain(benchmark::State& state) {
  compare(
      state, [] { return spawnTrue(true, Confined::kWithTempFolder); }, true);
}
BENCHMARK(BM_BothOverPlain)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
