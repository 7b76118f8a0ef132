#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// The Landlock ABI version the kernel offers; 0 when it has none (not built
// in, or not enabled at boot).
int landlockAbi();
// Tests: act as if the kernel offered `abi` (0: no Landlock); negative
// undoes it.
void overrideLandlockAbiForTesting(int abi);

struct ConfinementRules {
  // Where the tool may write: the caller's named directories.
  std::vector<std::string> writableDirectories;
  // No TCP bind or connect (Landlock ABI 4).
  bool noNetwork = false;
  // And the run's private temporary directory, by the descriptor its maker
  // holds (-1: none). Opened again by name, it could be a link someone put
  // in its place, leading anywhere.
  int privateDirectory = -1;
};

// Device files a confined tool may still open for writing: the sinks that
// scripts and tools write to as a matter of course. Not /dev/tty or
// /dev/pts/*: a tool of a document has no business with the user's
// terminal.
inline constexpr const char* kWritableDevices[] = {"/dev/null", "/dev/zero", "/dev/full"};

// For SpawnOptions::landlockRuleset.
struct LandlockRuleset {
  UniqueFd fd;
  int abi = 0;
};

// Handles every write-type file system right of the kernel's ABI (writing,
// truncating, making and removing entries, linking and renaming across
// folders; ioctl on devices from ABI 5) and allows them beneath each of the
// writable directories and the private one, and writing on kWritableDevices.
// Reading and executing stay as the user's. With noNetwork, TCP bind and
// connect are handled with no rule allowing them. Fails when the kernel
// has no Landlock (EOPNOTSUPP), when noNetwork meets an ABI below 4
// (EOPNOTSUPP), or when a directory cannot be opened: the caller then
// refuses the run, never runs it unconfined.
Result<LandlockRuleset> makeLandlockRuleset(const ConfinementRules& rules);

}  // namespace zefra::platform
