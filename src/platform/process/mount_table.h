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

// This process's own mountinfo text, kept as mountInfoOf keeps it.
Result<std::string> ownMountInfo();

// The type ("ext4", "fuse.sshfs") of the file system on `device` as the
// mountinfo `text` lists it; nothing when no line names the device.
std::optional<std::string> fileSystemType(std::string_view text, dev_t device);

// A mount as mountinfo lists it. Its device is the one mappings show, which
// on btrfs is not the device stat gives: that names the subvolume.
struct Mount {
  dev_t device = 0;
  std::string type;
};
// The mount a held file (or `path`, symlinks followed) lies on, as the
// mountinfo `text` lists it; nothing when it lists no such mount. Nothing is
// asked of the file system's server.
Result<std::optional<Mount>> mountOfHeldFile(int heldFd, std::string_view text);
Result<std::optional<Mount>> mountOfPath(const std::string& path, std::string_view text);

}  // namespace zefra::platform
