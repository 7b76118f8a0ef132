#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "platform/environment.h"
#include "platform/log.h"
#include "platform/process/capture.h"
#include "platform/process/confined_runs.h"
#include "tools/run_containment.h"
#include "tools/run_outcome.h"
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

// A name as the caller sent it, with NUL bytes shown rather than cutting the
// message short.
std::string shown(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

bool hasNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// What makes the request impossible to pass on unchanged: exec takes C
// strings, so a NUL would silently cut an argument or value short, and a name
// with "=" would turn into a different variable than the one asked for.
std::optional<std::string> malformedRequest(const std::vector<std::string>& arguments,
                                            const std::optional<std::string>& workingDirectory,
                                            const xpc::Environment& environment) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (hasNul(arguments[i])) {
      return "argument " + std::to_string(i + 1) + " contains a NUL byte; nothing was run.";
    }
  }
  if (workingDirectory && hasNul(*workingDirectory)) {
    return "the working directory contains a NUL byte; nothing was run.";
  }
  for (const auto& [name, value] : environment) {
    if (name.empty()) return "an environment variable has an empty name; nothing was run.";
    if (hasNul(name)) {
      return "the environment variable name '" + shown(name) +
             "' contains a NUL byte; nothing was run.";
    }
    if (name.find('=') != std::string::npos) {
      return "the environment variable name '" + name + "' contains '='; nothing was run.";
    }
    if (hasNul(value)) {
      return "the value of the environment variable '" + name +
             "' contains a NUL byte; nothing was run.";
    }
  }
  return std::nullopt;
}

}  // namespace

// A run's place among its connection's runs in progress, given back once,
// right before the run replies, so a client that waits for a reply before
// its next run never finds the place still taken.
class ToolService::RunSlot {
 public:
  RunSlot(std::shared_ptr<ToolService> service, std::size_t bytes)
      : service_(std::move(service)), bytes_(bytes) {}
  RunSlot(const RunSlot&) = delete;
  RunSlot& operator=(const RunSlot&) = delete;
  ~RunSlot() { release(); }
  void release() {
    if (!service_) return;
    std::lock_guard lock(service_->runningLock_);
    --service_->runsInProgress_;
    service_->runRequestBytes_ -= bytes_;
    service_.reset();
  }

 private:
  std::shared_ptr<ToolService> service_;
  const std::size_t bytes_;
};

std::shared_ptr<ToolService::RunSlot> ToolService::admitRun(const RunRequest& request,
                                                            std::string& refusal) {
  std::size_t bytes = request.runID.size() + request.tool.size() +
                      (request.input ? request.input->size() : 0) +
                      (request.workingDirectory ? request.workingDirectory->size() : 0);
  for (const auto& argument : request.arguments) bytes += argument.size();
  for (const auto& [name, value] : request.environment) bytes += name.size() + value.size();
  {
    std::lock_guard lock(runningLock_);
    if (runsInProgress_ >= kMaxRunsInProgress) {
      refusal = "this connection already has " + std::to_string(kMaxRunsInProgress) +
                " runs in progress, the most it may have; nothing was run.";
    } else if (runsInProgress_ > 0 && runRequestBytes_ + bytes > kMaxRunRequestBytes) {
      refusal = "the runs in progress on this connection already hold " +
                std::to_string(runRequestBytes_ >> 20) + " MiB of requests, and this one would " +
                "take them past " + std::to_string(kMaxRunRequestBytes >> 20) +
                " MiB; nothing was run.";
    } else {
      ++runsInProgress_;
      runRequestBytes_ += bytes;
    }
  }
  if (!refusal.empty()) return nullptr;
  return std::make_shared<RunSlot>(shared_from_this(), bytes);
}

void ToolService::runWithRunID(std::string runID, std::string tool,
                               std::vector<std::string> arguments, std::optional<xpc::Bytes> input,
                               std::optional<std::string> workingDirectory,
                               xpc::Environment environment, xpc::RunReply reply) {
  // The first run operation folds the outcome into one status, as it always has.
  auto folded = [reply = std::move(reply)](xpc::RunOutcome outcome) {
    if (outcome.failure) {
      reply({}, xpc::Bytes("Zefra Helper: " + outcome.message),
            outcome.failure == xpc::RunFailure::kNotAvailable ? kStatusNotResolved
                                                              : kStatusLaunchFailed);
      return;
    }
    reply(std::move(outcome.standardOutput), std::move(outcome.standardError),
          outcome.signal ? *outcome.signal : outcome.exitStatus.value_or(-1));
  };
  startRun({std::move(runID), std::move(tool), std::move(arguments), std::move(input),
            std::move(workingDirectory), std::move(environment)},
           xpc::RunOptions{}, xpc::RunOutput{}, std::move(folded));
}

void ToolService::runWithOptions(std::string runID, std::string tool,
                                 std::vector<std::string> arguments,
                                 std::optional<xpc::Bytes> input,
                                 std::optional<std::string> workingDirectory,
                                 xpc::Environment environment, xpc::RunOptions options,
                                 xpc::RunOutput output, xpc::RunOutcomeReply reply) {
  startRun({std::move(runID), std::move(tool), std::move(arguments), std::move(input),
            std::move(workingDirectory), std::move(environment)},
           options, std::move(output), std::move(reply));
}

void ToolService::startRun(RunRequest request, const xpc::RunOptions& options,
                           xpc::RunOutput output, xpc::RunOutcomeReply reply) {
  std::string refusal;
  auto slot = admitRun(request, refusal);
  if (!slot) {
    reply(failedRun(xpc::RunFailure::kRefused, refusal));
    return;
  }
  workQueue_.async([self = shared_from_this(), request = std::move(request), options,
                    output = std::move(output), reply = std::move(reply), slot] {
    self->performRun(request, options, output, [&](xpc::RunOutcome outcome) {
      slot->release();
      reply(std::move(outcome));
    });
  });
}

std::map<std::string, std::string> ToolService::childEnvironment(
    const xpc::Environment& requested) const {
  auto merged = platform::processEnvironment();
  for (const auto& [name, value] : requested) merged.insert_or_assign(name, value);
  std::string current = "/usr/bin:/bin";
  if (auto path = merged.find("PATH"); path != merged.end()) current = path->second;
  std::string path;
  for (const auto& directory : resolver_->searchDirectories()) path += directory + ":";
  merged.insert_or_assign("PATH", path + current);
  return merged;
}

void ToolService::performRun(const RunRequest& request, const xpc::RunOptions& options,
                             const xpc::RunOutput& output, const xpc::RunOutcomeReply& reply) {
  const auto began = std::chrono::steady_clock::now();
  const std::string& runID = request.runID;
  const std::string& tool = request.tool;
  // Refused before resolution, so not even the login shell starts.
  if (auto problem =
          malformedRequest(request.arguments, request.workingDirectory, request.environment)) {
    logRun(runID, tool, kStatusLaunchFailed, began);
    reply(failedRun(xpc::RunFailure::kRefused, *problem));
    return;
  }
  // Refused before resolution too: a confined run never runs unconfined.
  auto confinement = confinementFor(options);
  if (!confinement) {
    logRun(runID, tool, kStatusLaunchFailed, began);
    reply(failedRun(xpc::RunFailure::kRefused, confinement.error().message));
    return;
  }
  auto executable = resolver_->resolveToolPath(tool);
  if (!executable) {
    reply(failedRun(xpc::RunFailure::kNotAvailable,
                    "'" + tool + "' is not installed or not allowed."));
    logRun(runID, tool, kStatusNotResolved, began);
    return;
  }

  platform::CaptureOptions capture;
  capture.spawn.executable = *executable;
  capture.spawn.arguments = request.arguments;
  auto environment = childEnvironment(request.environment);
  if (*confinement) {
    environment.insert_or_assign("TMPDIR", (*confinement)->temporary.path());
    capture.spawn.landlockRuleset = (*confinement)->ruleset.fd.get();
  }
  capture.spawn.environment = platform::environmentEntries(environment);
  capture.spawn.workingDirectory = request.workingDirectory;
  std::string noCgroup;
  auto cgroup = makeRunCgroup(noCgroup);
  // Until its cgroup is gone, a confined run's processes are not served:
  // through a signed client they could ask for runs free of the
  // confinement. What the run leaves goes with it, for the same reason.
  // Without a cgroup they could not be told apart, so nothing runs.
  if (*confinement && !cgroup) {
    logRun(runID, tool, kStatusLaunchFailed, began);
    reply(failedRun(xpc::RunFailure::kRefused,
                    "a confined run needs a cgroup of its own, and runs get none here (" +
                        noCgroup + "); nothing was run."));
    return;
  }
  // TMPDIR hands the tool the folder's name, which may lead elsewhere by now
  // (resolving the tool may have waited on the login shell).
  if (*confinement && !(*confinement)->temporary.inPlace()) {
    logRun(runID, tool, kStatusLaunchFailed, began);
    reply(failedRun(xpc::RunFailure::kRefused, "the run's temporary folder " +
                                                   (*confinement)->temporary.path() +
                                                   " was moved or replaced; nothing was run."));
    return;
  }
  if (cgroup) capture.spawn.cgroup = cgroup->fd();
  std::optional<platform::ConfinedRunMark> confinedMark;
  if (*confinement) confinedMark.emplace(cgroup->name());
  if (platform::verboseLogging()) {
    platform::logVerbose(
        "run " + runID + ": " + tool + " starts " +
        (cgroup ? "in cgroup " + cgroup->path() : "without a cgroup (" + noCgroup + ")") + ", " +
        (*confinement ? (*confinement)->description : "not confined"));
  }
  if (request.input) capture.input = request.input->view();
  // The run goes on to its end when its client has gone, keeping nothing.
  capture.dropOutput = &connectionGone_;
  auto control = std::make_shared<RunControl>(options.cancelOnDisconnect, std::move(cgroup));
  applyRunOptions(options, output, *control, capture);
  // Reachable by its run ID before the tool starts: a cancel that comes once
  // the tool has started must find this run, not an earlier one of the ID.
  {
    std::lock_guard lock(runningLock_);
    bool cancelled = cancelledBeforeLaunch_.take(runID);
    runningProcesses_.insert_or_assign(runID, control);
    if (control->endsWithConnection()) {
      endingWithConnection_.insert(control);
      cancelled = cancelled || connectionGone_.raised();
    }
    if (cancelled) control->end(RunControl::Reason::kCancel);
  }
  capture.launched = [&](const std::shared_ptr<platform::ChildProcess>& started) {
    if (!control->launched(started)) return true;
    control->end(RunControl::Reason::kCancel);
    return false;
  };
  const auto launched = std::chrono::steady_clock::now();
  auto captured = platform::captureProcess(capture);
  xpc::RunOutcome outcome =
      captured ? outcomeOf(std::move(captured).value(), *control,
                           std::chrono::steady_clock::now() - launched)
               : failedRun(xpc::RunFailure::kLaunchFailed, captured.error().message);
  const int status = outcome.signal    ? *outcome.signal
                     : outcome.failure ? kStatusLaunchFailed
                                       : outcome.exitStatus.value_or(-1);
  // Out of the connection's and a cancel's reach before the reply: a client
  // that leaves or cancels once answered must not end what a normal end
  // leaves running.
  {
    std::lock_guard lock(runningLock_);
    endingWithConnection_.erase(control);
    if (auto entry = runningProcesses_.find(runID);
        entry != runningProcesses_.end() && entry->second == control) {
      runningProcesses_.erase(entry);
    }
  }
  reply(std::move(outcome));
  logRun(runID, tool + " (" + *executable + ")", status, began);

  // After the reply: removing the cgroup may wait for what was killed to go.
  // Where the CPU is shared, whoever the reply woke goes first.
  std::this_thread::yield();
  makeAheadForTheNextRun(confinement->has_value());
  control->finish(/*endLeftovers=*/confinedMark.has_value());
}

}  // namespace zefra::tools
