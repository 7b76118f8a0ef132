#include "tools/tool_resolver.h"

#include <signal.h>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/text.h"
#include "base/utf8.h"
#include "platform/desktop/user_defaults.h"
#include "platform/files/files.h"
#include "platform/process/capture.h"
#include "platform/process/process_table.h"
#include "tools/catalogue.h"
#include "tools/process_tree.h"

namespace zefra::tools {

namespace {

constexpr char kPathsKey[] = "ResolvedToolPaths";
constexpr char kTimesKey[] = "ResolvedToolPathsAt";
constexpr double kNegativeEntryLifetime = 900.0;
// Far more than any path; a profile that prints without end is not kept.
constexpr std::size_t kLongestShellAnswer = 4096;

using Json = nlohmann::json;
using Paths = std::map<std::string, std::string>;
using Times = std::map<std::string, double>;

// All or nothing: one value of the wrong type voids the whole dictionary.
std::optional<Paths> pathsFrom(const Json* stored) {
  if (!stored || !stored->is_object()) return std::nullopt;
  Paths paths;
  for (const auto& [tool, value] : stored->items()) {
    if (!value.is_string()) return std::nullopt;
    paths.emplace(tool, value.get<std::string>());
  }
  return paths;
}

std::optional<Times> timesFrom(const Json* stored) {
  if (!stored || !stored->is_object()) return std::nullopt;
  Times times;
  for (const auto& [tool, value] : stored->items()) {
    if (!value.is_number()) return std::nullopt;
    times.emplace(tool, value.get<double>());
  }
  return times;
}

// What a login-shell answer, fresh or cached, must be to be run as `tool`:
// an absolute path to an executable regular file named like the tool. The
// cache is a file any program of the user can write; a path it holds to a
// file of another name is nothing the shell would have answered.
bool usableShellPath(const std::string& tool, const std::string& path) {
  return path.starts_with('/') && path.ends_with("/" + tool) && base::isValidUtf8(path) &&
         platform::isExecutableFile(path);
}

constexpr char kVersionsKey[] = "ToolVersions";
// Far more than any version line; a probe that prints without end, or a
// first line without end, is not kept (the cache goes into a small file).
constexpr std::size_t kLongestVersionOutput = 4096;

// Usable only when every entry is a dictionary; otherwise nothing hits.
const Json* versionCache(const Json* stored) {
  if (!stored || !stored->is_object()) return nullptr;
  for (const auto& entry : *stored) {
    if (!entry.is_object()) return nullptr;
  }
  return stored;
}

// The first non-empty line; a carriage return before the line feed belongs
// to the line break.
std::string firstLine(std::string_view output) {
  while (!output.empty()) {
    std::size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) return std::string(line);
    if (end == std::string_view::npos) break;
    output.remove_prefix(end + 1);
  }
  return {};
}

struct Probe {
  std::string version;
  bool cutOff = false;
};

// Ends a helper's own child (a version probe, the login shell) that was cut
// off at its deadline, and reaps it. It leads a process group of its own:
// what it started in the background stays there after it exits, where the
// parent-link walk no longer finds it. The tree first, while the child may
// still hold it together; then its group, which cannot be someone else's
// while the child is not reaped.
void endCutOff(platform::ChildProcess& child) {
  terminateProcessTree(child);
  (void)platform::signalProcessGroup(child.pid(), SIGKILL);
  child.wait();
}

Probe probeVersion(const std::string& path, double timeout) {
  platform::CaptureOptions options;
  options.spawn.executable = path;
  options.spawn.arguments = {"--version"};
  options.captureStandardError = false;
  options.inputFromPipe = false;
  options.outputLimit = kLongestVersionOutput;
  options.deadline = base::Deadline::after(timeout);
  options.spawn.newProcessGroup = true;  // see endCutOff
  auto probe = platform::captureProcess(options);
  // It may not have started for a passing reason (EAGAIN, EMFILE): it says
  // nothing about the tool either.
  if (!probe) return {{}, true};
  if (!probe->status) {
    endCutOff(*probe->process);
    return {{}, true};
  }
  std::string_view text = probe->standardOutput.view();
  // Past the limit only whole lines count: the one cut short is no version,
  // and a character cut in two would void the whole output.
  if (probe->standardOutputTruncated) text = text.substr(0, text.rfind('\n') + 1);
  if (!base::isValidUtf8(text)) return {};
  return {firstLine(text), false};
}

}  // namespace

ToolResolver::ToolResolver(ToolServiceSettings settings)
    : settings_(std::move(settings)),
      searchDirectories_(makeSearchDirectories(settings_.homeDirectory)) {}

std::optional<std::string> ToolResolver::resolveToolPath(const std::string& tool) {
  if (!isAllowedTool(tool)) return std::nullopt;
  for (const auto& directory : searchDirectories_) {
    std::string candidate = directory + "/" + tool;
    if (platform::isExecutableFile(candidate)) return candidate;
  }
  if (auto cached = cachedShellPath(tool)) {
    if (cached->empty()) return std::nullopt;
    return cached;
  }
  return lookUpInLoginShell(tool);
}

std::optional<std::string> ToolResolver::lookUpInLoginShell(const std::string& tool) {
  platform::CaptureOptions options;
  options.spawn.executable = settings_.loginShell;
  options.spawn.arguments = {"-lc", "command -v " + tool};
  options.captureStandardError = false;
  options.inputFromPipe = false;
  options.outputLimit = kLongestShellAnswer;
  options.deadline = base::Deadline::after(settings_.loginShellTimeout);
  options.spawn.newProcessGroup = true;  // see endCutOff
  auto answer = platform::captureProcess(options);
  if (!answer) return std::nullopt;  // nothing cached: the next call tries again
  if (!answer->status) {
    endCutOff(*answer->process);  // nothing cached either
    return std::nullopt;
  }

  std::string path(base::trimmed(answer->standardOutput.view()));
  // A function or alias name is no path, and a relative one would be taken
  // from our own working directory.
  if (!usableShellPath(tool, path)) path.clear();
  storeShellPath(tool, path);
  if (path.empty()) return std::nullopt;
  return path;
}

std::optional<std::string> ToolResolver::cachedShellPath(const std::string& tool) {
  std::lock_guard lock(cacheLock_);
  if (auto found = shellResolved_.find(tool); found != shellResolved_.end()) return found->second;

  const auto snapshot = settings_.defaults->snapshot();
  auto paths = pathsFrom(snapshot.find(kPathsKey));
  if (!paths) return std::nullopt;
  auto entry = paths->find(tool);
  if (entry == paths->end()) return std::nullopt;

  bool valid = false;
  if (!entry->second.empty()) {
    valid = usableShellPath(tool, entry->second);
  } else {
    double storedAt = 0.0;
    if (auto times = timesFrom(snapshot.find(kTimesKey))) {
      if (auto time = times->find(tool); time != times->end()) storedAt = time->second;
    }
    // One stamped ahead of now (the clock was set back since) is stale too:
    // it would otherwise hide the tool for as long as the clock was off.
    const double age = base::now() - storedAt;
    valid = age >= 0 && age < kNegativeEntryLifetime;
  }
  if (!valid) return std::nullopt;
  shellResolved_.insert_or_assign(tool, entry->second);
  return entry->second;
}

void ToolResolver::storeShellPath(const std::string& tool, const std::string& value) {
  std::lock_guard lock(cacheLock_);
  shellResolved_.insert_or_assign(tool, value);
  // One locked transaction over both keys, so stores from other connections
  // and processes are never lost between our read and our write.
  (void)settings_.defaults->update([&](platform::UserDefaults::Document& document) {
    auto paths = pathsFrom(document.find(kPathsKey)).value_or(Paths{});
    auto times = timesFrom(document.find(kTimesKey)).value_or(Times{});
    paths.insert_or_assign(tool, value);
    times.insert_or_assign(tool, base::now());
    document.set(kPathsKey, Json(paths));
    document.set(kTimesKey, Json(times));
  });
}

std::string ToolResolver::toolVersion(const std::string& path) {
  const double mtime = platform::modificationTime(path).value_or(0.0);
  {
    std::lock_guard lock(cacheLock_);
    const auto snapshot = settings_.defaults->snapshot();
    if (const Json* cache = versionCache(snapshot.find(kVersionsKey))) {
      if (auto entry = cache->find(path); entry != cache->end()) {
        auto stamp = entry->find("mtime");
        auto version = entry->find("version");
        if (stamp != entry->end() && stamp->is_number() && stamp->get<double>() == mtime &&
            version != entry->end() && version->is_string()) {
          return version->get<std::string>();
        }
      }
    }
  }

  Probe probe = probeVersion(path, settings_.versionProbeTimeout);
  // A probe that was cut off says nothing about the tool: try again next time.
  if (probe.cutOff) return probe.version;

  std::lock_guard lock(cacheLock_);
  (void)settings_.defaults->update(kVersionsKey, [&](const Json* stored) {
    const Json* current = versionCache(stored);
    Json cache = current ? *current : Json::object();
    cache[path] = Json{{"mtime", mtime}, {"version", probe.version}};
    return cache;
  });
  return probe.version;
}

}  // namespace zefra::tools
