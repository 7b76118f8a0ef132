#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace zefra::platform {

// The first executable called `name` in the directories of $PATH.
std::optional<std::string> findExecutableOnPath(std::string_view name);

struct CommandOutcome {
  int status = -1;  // exit status, or the signal number that ended it
  std::string standardOutput;
};

// Runs `executable` with `arguments` to its end, stdin and stderr on the null
// device, and collects its stdout. Fails only when it cannot be started.
Result<CommandOutcome> runCommand(const std::string& executable,
                                  const std::vector<std::string>& arguments);

}  // namespace zefra::platform
