#include "platform/process/executable_search.h"

#include <cstdlib>

#include "platform/files/files.h"
#include "platform/process/capture.h"

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
  CaptureOptions options;
  options.spawn.executable = executable;
  options.spawn.arguments = arguments;
  options.captureStandardError = false;
  options.inputFromPipe = false;
  auto captured = captureProcess(options);
  if (!captured) return captured.error();
  return CommandOutcome{captured->status.value_or(-1), captured->standardOutput.str()};
}

}  // namespace zefra::platform
