#include <nlohmann/json.hpp>

#include "platform/desktop/user_defaults.h"
#include "platform/files/files.h"
#include "platform/process/capture.h"
#include "tools/catalogue.h"
#include "tools/process_tree.h"
#include "tools/tool_resolver.h"
#include "tools/tool_service.h"
#include "wire/utf8.h"

namespace zefra::tools {

namespace {

constexpr char kVersionsKey[] = "ToolVersions";
using Json = nlohmann::json;

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

Probe probeVersion(const std::string& path, double timeout) {
  platform::CaptureOptions options;
  options.spawn.executable = path;
  options.spawn.arguments = {"--version"};
  options.captureStandardError = false;
  options.inputFromPipe = false;
  options.deadline = base::Deadline::after(timeout);
  auto probe = platform::captureProcess(options);
  if (!probe) return {};
  if (!probe->status) {
    terminateProcessTree(*probe->process);
    probe->process->wait();
    return {{}, true};
  }
  const std::string_view text = probe->standardOutput.view();
  if (!wire::isValidUtf8(text)) return {};
  return {firstLine(text), false};
}

}  // namespace

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

void ToolService::toolInventoryWithReply(xpc::InventoryReply reply) {
  {
    std::lock_guard lock(inventoryLock_);
    if (inventoryWaiters_.size() >= kMaxInventoryWaiters) {
      reply({});
      return;
    }
    inventoryWaiters_.push_back(std::move(reply));
    if (inventoryWaiters_.size() > 1) return;  // it shares the one in progress
  }
  workQueue_.async([self = shared_from_this()] { self->performInventory(); });
}

void ToolService::performInventory() {
  struct Shared {
    std::mutex lock;
    xpc::Inventory result;
    platform::WaitGroup group;
  };
  auto shared = std::make_shared<Shared>();
  for (std::string_view name : allowedTools) {
    shared->group.enter();
    workQueue_.async([self = shared_from_this(), shared, tool = std::string(name)] {
      if (auto path = self->resolver_.resolveToolPath(tool)) {
        std::string version = self->resolver_.toolVersion(*path);
        std::lock_guard lock(shared->lock);
        shared->result[tool] = {{"path", *path}, {"version", std::move(version)}};
      }
      shared->group.leave();
    });
  }
  shared->group.wait();
  std::vector<xpc::InventoryReply> waiters;
  {
    std::lock_guard lock(inventoryLock_);
    waiters.swap(inventoryWaiters_);
  }
  for (const auto& reply : waiters) reply(shared->result);
}

}  // namespace zefra::tools
