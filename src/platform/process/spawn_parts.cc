#include "platform/process/spawn_parts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zefra::platform::spawn_parts {

namespace {

std::vector<char*> nullTerminated(const std::vector<std::string>& strings,
                                  const std::string* first) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 2);
  if (first) pointers.push_back(const_cast<char*>(first->c_str()));
  for (const auto& string : strings) pointers.push_back(const_cast<char*>(string.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::string quoted(const std::string& text) {
  return "\u201c" + text + "\u201d";
}

char* const* ExecArguments::environment() const {
  return envp.empty() ? environ : envp.data();
}

ExecArguments execArguments(const SpawnOptions& options) {
  ExecArguments arguments;
  arguments.argv = nullTerminated(options.arguments, &options.executable);
  if (options.environment) arguments.envp = nullTerminated(*options.environment, nullptr);
  return arguments;
}

Status stdioSources(const SpawnOptions& options, int sources[3], UniqueFd lifted[3]) {
  const Stdio* stdio[3] = {&options.standardInput, &options.standardOutput, &options.standardError};
  for (int target = 0; target < 3; ++target) {
    sources[target] = -1;
    if (stdio[target]->kind() != Stdio::Kind::kFd) continue;
    sources[target] = stdio[target]->fd();
    if (sources[target] >= 0 && sources[target] < 3 && sources[target] != target) {
      lifted[target].reset(::fcntl(sources[target], F_DUPFD_CLOEXEC, 3));
      if (!lifted[target]) return prepareError(options, errno);
      sources[target] = lifted[target].get();
    }
  }
  return Ok{};
}

Error prepareError(const SpawnOptions& options, int err) {
  return errnoError("Could not prepare to launch " + quoted(options.executable), err);
}

}  // namespace zefra::platform::spawn_parts
