#include "platform/process/executable_search.h"

#include <cstdlib>

#include "platform/files/files.h"
#include "platform/files/pipe_io.h"
#include "platform/process/child_process.h"

namespace zefra::platform {

std::optional<std::string> findExecutableOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (;;) {
    const std::size_t colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    if (!directory.empty() && directory.front() == '/') {
      std::string candidate = std::string(directory) + "/" + std::string(name);
      if (isExecutableFile(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

Result<CommandOutcome> runCommand(const std::string& executable,
                                  const std::vector<std::string>& arguments) {
  auto out = makePipe();
  if (!out) return out.error();
  SpawnOptions options;
  options.executable = executable;
  options.arguments = arguments;
  options.standardInput = Stdio::nullDevice();
  options.standardOutput = Stdio::fromFd(out->writeEnd.get());
  options.standardError = Stdio::nullDevice();
  auto child = spawnProcess(options);
  if (!child) return child.error();
  out->writeEnd.reset();
  CommandOutcome outcome;
  auto text = readToEnd(out->readEnd.get());
  if (text) outcome.standardOutput = std::move(text).value();
  outcome.status = child->wait();
  return outcome;
}

}  // namespace zefra::platform
