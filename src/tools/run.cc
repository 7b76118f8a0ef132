#include <chrono>
#include <cstdio>
#include <string>

#include "platform/capture.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "tools/process_tree.h"
#include "tools/tool_service.h"

namespace zefra::tools {

namespace {

constexpr int kStatusNotResolved = 127;
constexpr int kStatusLaunchFailed = 126;

void logRun(const std::string& runID, const std::string& tool, int status,
            std::chrono::steady_clock::time_point began) {
  if (!platform::verboseLogging()) return;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", took.count());
  platform::logVerbose("run " + runID + ": " + tool + " ended with status " +
                       std::to_string(status) + " after " + seconds + " s");
}

}  // namespace

void ToolService::runWithRunID(std::string runID, std::string tool,
                               std::vector<std::string> arguments, std::optional<xpc::Bytes> input,
                               std::optional<std::string> workingDirectory,
                               xpc::Environment environment, xpc::RunReply reply) {
  workQueue_.async([self = shared_from_this(), runID = std::move(runID), tool = std::move(tool),
                    arguments = std::move(arguments), input = std::move(input),
                    workingDirectory = std::move(workingDirectory),
                    environment = std::move(environment), reply = std::move(reply)] {
    self->performRun(runID, tool, arguments, input, workingDirectory, environment, reply);
  });
}

std::map<std::string, std::string> ToolService::childEnvironment(
    const xpc::Environment& requested) const {
  auto merged = platform::processEnvironment();
  for (const auto& [name, value] : requested) merged.insert_or_assign(name, value);
  std::string current = "/usr/bin:/bin";
  if (auto path = merged.find("PATH"); path != merged.end()) current = path->second;
  std::string path;
  for (const auto& directory : resolver_.searchDirectories()) path += directory + ":";
  merged.insert_or_assign("PATH", path + current);
  return merged;
}

void ToolService::performRun(const std::string& runID, const std::string& tool,
                             const std::vector<std::string>& arguments,
                             const std::optional<xpc::Bytes>& input,
                             const std::optional<std::string>& workingDirectory,
                             const xpc::Environment& environment, const xpc::RunReply& reply) {
  const auto began = std::chrono::steady_clock::now();
  auto executable = resolver_.resolveToolPath(tool);
  if (!executable) {
    reply({}, xpc::Bytes("Zefra Helper: '" + tool + "' is not installed or not allowed."),
          kStatusNotResolved);
    logRun(runID, tool, kStatusNotResolved, began);
    return;
  }

  platform::CaptureOptions options;
  options.spawn.executable = *executable;
  options.spawn.arguments = arguments;
  options.spawn.environment = platform::environmentEntries(childEnvironment(environment));
  options.spawn.workingDirectory = workingDirectory;
  if (input) options.input = input->view();
  std::shared_ptr<platform::ChildProcess> task;
  options.launched = [&](const std::shared_ptr<platform::ChildProcess>& started) {
    task = started;
    bool cancelled = false;
    {
      std::lock_guard lock(runningLock_);
      cancelled = cancelledBeforeLaunch_.erase(runID) > 0;
      if (!cancelled) runningProcesses_.insert_or_assign(runID, task);
    }
    if (cancelled) terminateProcessTree(*task);
    return !cancelled;
  };
  auto captured = platform::captureProcess(options);
  const int status = captured ? captured->status.value_or(-1) : kStatusLaunchFailed;
  if (captured) {
    reply(std::move(captured->standardOutput), std::move(captured->standardError), status);
  } else {
    reply({}, xpc::Bytes("Zefra Helper: " + captured.error().message), status);
  }
  logRun(runID, tool + " (" + *executable + ")", status, began);

  std::lock_guard lock(runningLock_);
  if (auto entry = runningProcesses_.find(runID);
      entry != runningProcesses_.end() && entry->second == task) {
    runningProcesses_.erase(entry);
  }
}

}  // namespace zefra::tools
