#include <nlohmann/json.hpp>

#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/ipc_value.h"
#include "platform/pipe_io.h"
#include "platform/user_defaults.h"
#include "tools/catalogue.h"
#include "tools/process_tree.h"
#include "tools/tool_service.h"

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

// The first non-empty piece between line feeds, unchanged: a carriage
// return stays part of the text.
std::string firstLine(const std::string& output) {
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    if (end > start) return output.substr(start, end - start);
    start = end + 1;
  }
  return {};
}

struct Probe {
  std::string version;
  bool cutOff = false;
};

Probe probeVersion(const std::string& path, double timeout) {
  auto output = platform::makePipe();
  if (!output) return {};
  platform::SpawnOptions options;
  options.executable = path;
  options.arguments = {"--version"};
  options.standardInput = platform::Stdio::nullDevice();
  options.standardOutput = platform::Stdio::fromFd(output->writeEnd.get());
  options.standardError = platform::Stdio::nullDevice();
  auto launched = platform::spawnProcess(options);
  output->writeEnd.reset();
  if (!launched) return {};

  const auto deadline = platform::Deadline::after(timeout);
  auto text = platform::readToEnd(output->readEnd.get(), deadline);
  auto exited = launched->waitUntil(deadline);
  if (!exited) {
    terminateProcessTree(*launched);
    launched->wait();
    return {{}, true};
  }
  if (!text) return {{}, text.error().code == ETIMEDOUT};
  if (!platform::isValidUtf8(*text)) return {};
  return {firstLine(*text), false};
}

}  // namespace

std::string ToolService::toolVersion(const std::string& path) {
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
  workQueue_.async(
      [self = shared_from_this(), reply = std::move(reply)] { self->performInventory(reply); });
}

void ToolService::performInventory(const xpc::InventoryReply& reply) {
  struct Shared {
    std::mutex lock;
    xpc::Inventory result;
    platform::WaitGroup group;
  };
  auto shared = std::make_shared<Shared>();
  for (std::string_view name : allowedTools) {
    shared->group.enter();
    workQueue_.async([self = shared_from_this(), shared, tool = std::string(name)] {
      if (auto path = self->resolveToolPath(tool)) {
        std::string version = self->toolVersion(*path);
        std::lock_guard lock(shared->lock);
        shared->result[tool] = {{"path", *path}, {"version", std::move(version)}};
      }
      shared->group.leave();
    });
  }
  shared->group.wait();
  reply(std::move(shared->result));
}

}  // namespace zefra::tools
