#include <nlohmann/json.hpp>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ipc_value.h"
#include "platform/pipe_io.h"
#include "platform/user_defaults.h"
#include "tools/catalogue.h"
#include "tools/tool_service.h"

namespace zefra::tools {

namespace {

constexpr char kPathsKey[] = "ResolvedToolPaths";
constexpr char kTimesKey[] = "ResolvedToolPathsAt";
constexpr double kNegativeEntryLifetime = 900.0;

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

std::string trimmed(const std::string& text) {
  constexpr const char* kBlanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::optional<std::string> ToolService::resolveToolPath(const std::string& tool) {
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

std::optional<std::string> ToolService::lookUpInLoginShell(const std::string& tool) {
  auto output = platform::makePipe();
  if (!output) return std::nullopt;
  platform::SpawnOptions options;
  options.executable = settings_.loginShell;
  options.arguments = {"-lc", "command -v " + tool};
  options.standardOutput = platform::Stdio::fromFd(output->writeEnd.get());
  options.standardError = platform::Stdio::nullDevice();
  auto shell = platform::spawnProcess(options);
  output->writeEnd.reset();
  if (!shell) return std::nullopt;  // nothing cached: the next call tries again

  auto answer = platform::readToEnd(output->readEnd.get());
  shell->wait();
  std::string path = answer ? trimmed(*answer) : std::string();
  if (!platform::isValidUtf8(path) || !platform::isExecutableFile(path)) path.clear();
  storeShellPath(tool, path);
  if (path.empty()) return std::nullopt;
  return path;
}

std::optional<std::string> ToolService::cachedShellPath(const std::string& tool) {
  std::lock_guard lock(cacheLock_);
  if (auto found = shellResolved_.find(tool); found != shellResolved_.end()) return found->second;

  const auto snapshot = settings_.defaults->snapshot();
  auto paths = pathsFrom(snapshot.find(kPathsKey));
  if (!paths) return std::nullopt;
  auto entry = paths->find(tool);
  if (entry == paths->end()) return std::nullopt;

  bool valid = false;
  if (!entry->second.empty()) {
    valid = platform::isExecutableFile(entry->second);
  } else {
    double storedAt = 0.0;
    if (auto times = timesFrom(snapshot.find(kTimesKey))) {
      if (auto time = times->find(tool); time != times->end()) storedAt = time->second;
    }
    valid = platform::now() - storedAt < kNegativeEntryLifetime;
  }
  if (!valid) return std::nullopt;
  shellResolved_.insert_or_assign(tool, entry->second);
  return entry->second;
}

void ToolService::storeShellPath(const std::string& tool, const std::string& value) {
  std::lock_guard lock(cacheLock_);
  shellResolved_.insert_or_assign(tool, value);
  // One locked transaction over both keys, so stores from other connections
  // and processes are never lost between our read and our write.
  (void)settings_.defaults->update([&](platform::UserDefaults::Document& document) {
    auto paths = pathsFrom(document.find(kPathsKey)).value_or(Paths{});
    auto times = timesFrom(document.find(kTimesKey)).value_or(Times{});
    paths.insert_or_assign(tool, value);
    times.insert_or_assign(tool, platform::now());
    document.set(kPathsKey, Json(paths));
    document.set(kTimesKey, Json(times));
  });
}

}  // namespace zefra::tools
