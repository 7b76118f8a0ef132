#include "tools/run_containment.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/log.h"

namespace zefra::tools {

namespace {

constexpr char kNothingRun[] = "; nothing was run.";

std::mutex parentLock;
std::optional<platform::RunCgroupParent> parent;  // parentLock
// A cgroup made ahead for the next run: making one costs about a tenth of a
// trivial run, so it is done off the run's path.
std::shared_ptr<platform::RunCgroup> spare;  // parentLock
bool refilling = false;                      // parentLock
bool spareClosed = false;                    // parentLock
std::uint64_t parentGeneration = 0;          // parentLock

void refillSpare() {
  std::uint64_t generation;
  std::optional<platform::RunCgroupParent> where;
  {
    std::lock_guard lock(parentLock);
    if (spareClosed || spare || refilling || !parent || !parent->available()) return;
    refilling = true;
    generation = parentGeneration;
    where = parent;
  }
  auto made = where->makeRunCgroup();
  std::shared_ptr<platform::RunCgroup> unwanted;
  std::lock_guard lock(parentLock);
  refilling = false;
  if (!made) return;
  auto cgroup = std::make_shared<platform::RunCgroup>(std::move(made).value());
  if (spareClosed || spare || generation != parentGeneration) {
    unwanted = std::move(cgroup);  // removed after the lock is released
  } else {
    spare = std::move(cgroup);
  }
}

}  // namespace

const platform::RunCgroupParent& runCgroupParent() {
  std::lock_guard lock(parentLock);
  if (!parent) {
    parent = platform::RunCgroupParent::locate();
    if (!parent->available()) {
      platform::log(
          "runs get no cgroup of their own, so a cancel ends only what stays in a "
          "tool's tree: " +
          parent->unavailableReason());
    }
  }
  return *parent;
}

void useRunCgroupParentForTesting(platform::RunCgroupParent replacement) {
  std::shared_ptr<platform::RunCgroup> old;
  std::lock_guard lock(parentLock);
  parent = std::move(replacement);
  ++parentGeneration;
  old = std::exchange(spare, nullptr);
}

void dropSpareRunCgroup() {
  std::shared_ptr<platform::RunCgroup> old;
  std::lock_guard lock(parentLock);
  spareClosed = true;
  old = std::exchange(spare, nullptr);
}

std::shared_ptr<platform::RunCgroup> makeRunCgroup(std::string& whyNot) {
  const auto& where = runCgroupParent();
  if (!where.available()) {
    whyNot = where.unavailableReason();
    return nullptr;
  }
  std::shared_ptr<platform::RunCgroup> taken;
  {
    std::lock_guard lock(parentLock);
    taken = std::exchange(spare, nullptr);
  }
  platform::globalQueue().async(refillSpare);
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
