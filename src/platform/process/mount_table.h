#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/process/peer_process.h"

// The file systems a process sees mounted, from its own /proc/<pid>/mountinfo:
// read without a look at any of them, so no file system's server hears of it.
namespace zefra::platform {

// The peer's mountinfo text, as the kernel formats it. For a peer in the
// helper's own mount namespace, the helper's, read again only after a mount
// changed: the kernel formats every mount at each read.
Result<std::string> mountInfoOf(const PeerProcess& peer);

// The type ("ext4", "fuse.sshfs") of the file system on `device` as the
// mountinfo `text` lists it; nothing when no line names the device.
std::optional<std::string> fileSystemType(std::string_view text, dev_t device);

}  // namespace zefra::platform
