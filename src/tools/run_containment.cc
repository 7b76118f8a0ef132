#include "tools/run_containment.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "base/no_destructor.h"
#include "platform/log.h"

namespace zefra::tools {

namespace {

constexpr char kNothingRun[] = "; nothing was run.";

// A cgroup made ahead for the next run: making one costs about a tenth of a
// trivial run, so it is done off the run's path, once a run has replied.
struct RunCgroups {
  std::mutex lock;
  std::optional<platform::RunCgroupParent> parent;  // lock
  std::shared_ptr<platform::RunCgroup> spare;       // lock
  bool refilling = false;                           // lock
  bool spareClosed = false;                         // lock
  std::uint64_t parentGeneration = 0;               // lock
};

void dropSpare();

// Never destroyed: a run that has replied may still be making the next
// cgroup while exit() runs, which removes the spare instead.
RunCgroups& runCgroups() {
  static base::NoDestructor<RunCgroups> cgroups;
  [[maybe_unused]] static const bool dropsAtExit = std::atexit(dropSpare) == 0;
  return cgroups.get();
}

void dropSpare() {
  auto& cgroups = runCgroups();
  std::shared_ptr<platform::RunCgroup> old;
  std::lock_guard lock(cgroups.lock);
  cgroups.spareClosed = true;
  old = std::exchange(cgroups.spare, nullptr);
}

}  // namespace

void makeNextRunCgroupAhead() {
  auto& cgroups = runCgroups();
  std::uint64_t generation;
  std::optional<platform::RunCgroupParent> where;
  {
    std::lock_guard lock(cgroups.lock);
    if (cgroups.spareClosed || cgroups.spare || cgroups.refilling || !cgroups.parent ||
        !cgroups.parent->available()) {
      return;
    }
    cgroups.refilling = true;
    generation = cgroups.parentGeneration;
    where = cgroups.parent;
  }
  auto made = where->makeRunCgroup();
  std::shared_ptr<platform::RunCgroup> unwanted;
  std::lock_guard lock(cgroups.lock);
  cgroups.refilling = false;
  if (!made) return;
  auto cgroup = std::make_shared<platform::RunCgroup>(std::move(made).value());
  if (cgroups.spareClosed || cgroups.spare || generation != cgroups.parentGeneration) {
    unwanted = std::move(cgroup);  // removed after the lock is released
  } else {
    cgroups.spare = std::move(cgroup);
  }
}

const platform::RunCgroupParent& runCgroupParent() {
  auto& cgroups = runCgroups();
  std::lock_guard lock(cgroups.lock);
  if (!cgroups.parent) {
    cgroups.parent = platform::RunCgroupParent::locate();
    if (!cgroups.parent->available()) {
      platform::log(
          "runs get no cgroup of their own, so a cancel ends only what stays in a "
          "tool's tree: " +
          cgroups.parent->unavailableReason());
    }
  }
  return *cgroups.parent;
}

void useRunCgroupParentForTesting(platform::RunCgroupParent replacement) {
  auto& cgroups = runCgroups();
  std::shared_ptr<platform::RunCgroup> old;
  std::lock_guard lock(cgroups.lock);
  cgroups.parent = std::move(replacement);
  ++cgroups.parentGeneration;
  old = std::exchange(cgroups.spare, nullptr);
}

std::shared_ptr<platform::RunCgroup> makeRunCgroup(std::string& whyNot) {
  const auto& where = runCgroupParent();
  if (!where.available()) {
    whyNot = where.unavailableReason();
    return nullptr;
  }
  std::shared_ptr<platform::RunCgroup> taken;
  {
    auto& cgroups = runCgroups();
    std::lock_guard lock(cgroups.lock);
    taken = std::exchange(cgroups.spare, nullptr);
  }
  if (taken) return taken;
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
  auto temporary = platform::PrivateTempDir::make();
  if (!temporary) return Error{temporary.error().code, temporary.error().message + kNothingRun};
  platform::ConfinementRules rules{options.confine, options.noNetwork};
  rules.writableDirectories.push_back(temporary->path());
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
