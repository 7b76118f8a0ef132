#include "tools/run_containment.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "base/no_destructor.h"
#include "platform/log.h"
#include "tools/made_ahead.h"

namespace zefra::tools {

namespace {

constexpr char kNothingRun[] = "; nothing was run.";

// Making a run's cgroup costs about a tenth of a trivial run, its temporary
// folder a few hundredths; both are made off the run's path.
struct MadeForRuns {
  std::mutex lock;
  std::optional<platform::RunCgroupParent> parent;  // lock
  MadeAhead<platform::RunCgroup> cgroup;
  MadeAhead<platform::PrivateTempDir> temporary;
  std::atomic<bool> leftFoldersSwept{false};
};

void dropSpares();

// Never destroyed: a run that has replied may still be making the next
// run's spares while the process ends, which waits for them and removes
// them (the end after an update is a quick_exit).
MadeForRuns& madeForRuns() {
  static base::NoDestructor<MadeForRuns> made;
  [[maybe_unused]] static const bool dropsAtExit =
      std::atexit(dropSpares) == 0 && std::at_quick_exit(dropSpares) == 0;
  return made.get();
}

void dropSpares() {
  madeForRuns().cgroup.close();
  madeForRuns().temporary.close();
}

}  // namespace

void makeAheadForTheNextRun(bool confined) {
  auto& made = madeForRuns();
  // Once, after the first run's reply: a helper killed earlier may have left
  // its spare folder behind. Nobody waits for it, so a folder that never
  // answers (a mount of the user's there) holds up this thread alone.
  if (!made.leftFoldersSwept.exchange(true)) platform::PrivateTempDir::removeLeftBehind();
  made.cgroup.refill([&made]() -> Result<platform::RunCgroup> {
    std::optional<platform::RunCgroupParent> where;
    {
      std::lock_guard lock(made.lock);
      where = made.parent;
    }
    if (!where || !where->available()) return Error{ENOENT, "runs get no cgroup"};
    return where->makeRunCgroup();
  });
  // Only for a caller who confines: no stray folder for one who never does.
  if (confined) made.temporary.refill(platform::PrivateTempDir::make);
}

const platform::RunCgroupParent& runCgroupParent() {
  auto& made = madeForRuns();
  std::lock_guard lock(made.lock);
  if (!made.parent) {
    made.parent = platform::RunCgroupParent::locate();
    if (!made.parent->available()) {
      platform::log(
          "runs get no cgroup of their own, so a cancel ends only what stays in a "
          "tool's tree: " +
          made.parent->unavailableReason());
    }
  }
  return *made.parent;
}

void useRunCgroupParentForTesting(platform::RunCgroupParent replacement) {
  auto& made = madeForRuns();
  {
    std::lock_guard lock(made.lock);
    made.parent = std::move(replacement);
  }
  made.cgroup.drop();
}

std::shared_ptr<platform::RunCgroup> makeRunCgroup(std::string& whyNot) {
  const auto& where = runCgroupParent();
  if (!where.available()) {
    whyNot = where.unavailableReason();
    return nullptr;
  }
  if (auto taken = madeForRuns().cgroup.take()) return taken;
  auto made = where.makeRunCgroup();
  if (!made) {
    whyNot = made.error().message;
    return nullptr;
  }
  return std::make_shared<platform::RunCgroup>(std::move(made).value());
}

Result<std::optional<RunConfinement>> confinementFor(const xpc::RunOptions& options) {
  if (!options.confined()) return std::optional<RunConfinement>();
  for (const auto& directory : options.confine) {
    if (directory.empty() || directory.front() != '/') {
      return Error{EINVAL, "the folder to confine the run to, \u201c" + directory +
                               "\u201d, is not an absolute path" + kNothingRun};
    }
  }
  auto spare = madeForRuns().temporary.take();
  // It may have waited in the temporary directory for hours, where any
  // program of the user can put a link to another folder in its place.
  if (spare && !spare->inPlace()) spare.reset();
  Result<platform::PrivateTempDir> temporary =
      spare ? Result<platform::PrivateTempDir>(std::move(*spare))
            : platform::PrivateTempDir::make();
  if (!temporary) return Error{temporary.error().code, temporary.error().message + kNothingRun};
  platform::ConfinementRules rules{options.confine, options.noNetwork, temporary->fd()};
  auto ruleset = platform::makeLandlockRuleset(rules);
  if (!ruleset) return Error{ruleset.error().code, ruleset.error().message + kNothingRun};
  std::string description = "confined to writing in";
  for (const auto& directory : options.confine) description += " " + directory;
  description += " and " + temporary->path();
  if (options.noNetwork) description += ", off the network";
  return std::optional<RunConfinement>(RunConfinement{
      std::move(temporary).value(), std::move(ruleset).value(), std::move(description)});
}

}  // namespace zefra::tools
