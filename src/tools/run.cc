#include <string>

#include "platform/child_process.h"
#include "platform/environment.h"
#include "platform/pipe_io.h"
#include "tools/process_tree.h"
#include "tools/tool_service.h"

namespace zefra::tools {

namespace {

constexpr int kStatusNotResolved = 127;
constexpr int kStatusLaunchFailed = 126;

// One output stream of a run, captured by its reader.
struct Capture {
  platform::UniqueFd readEnd;
  std::string bytes;
};

void startReader(const std::shared_ptr<Capture>& capture,
                 const std::shared_ptr<platform::WaitGroup>& readers) {
  readers->enter();
  platform::globalQueue(platform::QosClass::kDefault).async([capture, readers] {
    auto result = platform::readToEnd(capture->readEnd.get());
    // A read error yields empty data, even when some bytes had arrived.
    if (result) capture->bytes = std::move(result.value());
    capture->readEnd.reset();
    readers->leave();
  });
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
  for (const auto& directory : searchDirectories_) path += directory + ":";
  merged.insert_or_assign("PATH", path + current);
  return merged;
}

void ToolService::performRun(const std::string& runID, const std::string& tool,
                             const std::vector<std::string>& arguments,
                             const std::optional<xpc::Bytes>& input,
                             const std::optional<std::string>& workingDirectory,
                             const xpc::Environment& environment, const xpc::RunReply& reply) {
  auto executable = resolveToolPath(tool);
  if (!executable) {
    reply({}, xpc::Bytes("Zefra Helper: '" + tool + "' is not installed or not allowed."),
          kStatusNotResolved);
    return;
  }

  auto failLaunch = [&](const std::string& message) {
    reply({}, xpc::Bytes("Zefra Helper: " + message), kStatusLaunchFailed);
  };
  auto outPipe = platform::makePipe();
  auto errPipe = platform::makePipe();
  auto inPipe = platform::makePipe();
  if (!outPipe || !errPipe || !inPipe) {
    failLaunch((!outPipe ? outPipe : !errPipe ? errPipe : inPipe).error().message);
    return;
  }

  auto out = std::make_shared<Capture>(Capture{std::move(outPipe->readEnd), {}});
  auto err = std::make_shared<Capture>(Capture{std::move(errPipe->readEnd), {}});
  auto readers = std::make_shared<platform::WaitGroup>();
  startReader(out, readers);
  startReader(err, readers);

  platform::SpawnOptions options;
  options.executable = *executable;
  options.arguments = arguments;
  options.environment = platform::environmentEntries(childEnvironment(environment));
  options.workingDirectory = workingDirectory;
  options.standardInput = platform::Stdio::fromFd(inPipe->readEnd.get());
  options.standardOutput = platform::Stdio::fromFd(outPipe->writeEnd.get());
  options.standardError = platform::Stdio::fromFd(errPipe->writeEnd.get());
  auto launched = platform::spawnProcess(options);
  // The child holds its own copies now; ours would keep the readers from
  // ever seeing end of file, launched or not.
  outPipe->writeEnd.reset();
  errPipe->writeEnd.reset();
  inPipe->readEnd.reset();
  if (!launched) {
    failLaunch(launched.error().message);
    return;
  }
  auto task = std::make_shared<platform::ChildProcess>(std::move(launched.value()));

  bool cancelled = false;
  {
    std::lock_guard lock(runningLock_);
    cancelled = cancelledBeforeLaunch_.erase(runID) > 0;
    if (!cancelled) runningProcesses_.insert_or_assign(runID, task);
  }
  if (cancelled) {
    terminateProcessTree(*task);
  } else if (input && !input->empty()) {
    (void)platform::writeAll(inPipe->writeEnd.get(), input->view());  // best effort
  }
  inPipe->writeEnd.reset();

  const int status = task->wait();
  readers->wait();
  reply(xpc::Bytes(std::move(out->bytes)), xpc::Bytes(std::move(err->bytes)), status);

  std::lock_guard lock(runningLock_);
  if (auto entry = runningProcesses_.find(runID);
      entry != runningProcesses_.end() && entry->second == task) {
    runningProcesses_.erase(entry);
  }
}

}  // namespace zefra::tools
