#include "platform/desktop/open_application.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/desktop/bundle.h"
#include "platform/desktop/launch_event.h"
#include "platform/dispatch/queue.h"
#include "platform/environment.h"
#include "platform/process/child_process.h"

namespace zefra::platform {

void openApplication(const std::string& bundlePath,
                     std::function<void(std::optional<Error> error)> completion) {
  globalQueue().async([bundlePath, completion] {
    const auto info = readInfoDictionary(bundlePath);
    auto executable = info.find("CFBundleExecutable");
    if (executable == info.end() || !executable->is_string()) {
      return completion(Error{ENOENT, bundlePath + " names no executable"});
    }
    auto environment = processEnvironment();
    environment[kLaunchEventVariable] = formatLaunchEvent(kOpenApplicationEvent);
    environment[kNewInstanceVariable] = "1";
    SpawnOptions options;
    options.executable = bundlePath + "/Contents/Linux/" + executable->get<std::string>();
    options.environment = environmentEntries(environment);
    options.standardInput = Stdio::nullDevice();
    auto child = spawnProcess(options);
    // The copy outlives us; the child is reaped in the background meanwhile.
    completion(child ? std::nullopt : std::optional<Error>(child.error()));
  });
}

bool newInstanceRequested() {
  static std::once_flag once;
  static bool requested = false;
  std::call_once(once, [] {
    if (const char* value = std::getenv(kNewInstanceVariable)) {
      requested = *value != '\0';
      ::unsetenv(kNewInstanceVariable);
    }
  });
  return requested;
}

}  // namespace zefra::platform
