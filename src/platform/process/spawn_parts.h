#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/process/child_process.h"
#include "platform/process/spawn.h"
#include "base/result.h"
#include "base/unique_fd.h"

// What both ways of starting a child share; not for use outside spawning.
namespace zefra::platform::spawn_parts {

std::string quoted(const std::string& text);

// argv and envp as execve takes them, pointing into the options.
struct ExecArguments {
  std::vector<char*> argv;
  std::vector<char*> envp;  // empty: the helper's own environment
  char* const* environment() const;
};
ExecArguments execArguments(const SpawnOptions& options);

// The descriptor each of 0-2 is to become (kFd sources only; -1 otherwise).
// A source among 0-2 could be overwritten by another one's dup before its
// own turn, so such sources are first copied out of the way into `lifted`.
Status stdioSources(const SpawnOptions& options, int sources[3], UniqueFd lifted[3]);

Error prepareError(const SpawnOptions& options, int err);

// Started with posix_spawn: the way of every child without containment.
Result<SpawnedChild> posixSpawn(const SpawnOptions& options);
// Started with a pre-exec stage that joins the cgroup and applies the ruleset.
Result<SpawnedChild> preExecSpawn(const SpawnOptions& options);

}  // namespace zefra::platform::spawn_parts
