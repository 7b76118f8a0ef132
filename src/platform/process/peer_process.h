#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

// Who is at the other end of a Unix socket, and what code it runs.
namespace zefra::platform {

struct PeerProcess {
  pid_t pid = -1;
  uid_t uid = 0;
  UniqueFd pidfd;  // pins the process: a reused pid never passes for it
};

// The connecting process, from SO_PEERPIDFD, or SO_PEERCRED plus pidfd_open
// on kernels without it.
Result<PeerProcess> identifyPeer(int socketFd);
// The connecting process's credentials (SO_PEERCRED); a peer whose process
// is not visible here (another pid namespace) is an error.
Result<struct ucred> peerCredentials(int socketFd);
// The connecting process's pid alone.
Result<pid_t> peerPid(int socketFd);

// The file the process executes, through /proc/<pid>/exe: the bytes it runs
// even after the path was replaced or removed. Held (O_PATH), not opened: its
// file system's open does not run, so a FUSE server hears nothing of it.
Result<UniqueFd> holdRunningImage(const PeerProcess& peer);
// The path of the file the process executes, as its mappings show it.
Result<std::string> runningImagePath(const PeerProcess& peer);
// Opens a held file for reading: the very file held, whatever the process
// has run since.
Result<UniqueFd> openHeldFile(int heldFd);

// Whether the peer runs as this process's effective user.
bool runsAsOurUser(const PeerProcess& peer);

// False once the pinned process has exited (its pidfd turns readable).
bool stillRunning(const PeerProcess& peer);

// Whether the peer lives in this process's namespace of `kind`: "pid" or
// "user". Whoever administers another pid namespace (any user, through a
// user namespace of their own) can name its members as the senders of what
// it writes, so a pid there proves nothing about who wrote; and a process
// with the capabilities of its own user namespace can make /proc name any
// file as its program (PR_SET_MM), so its image there proves nothing about
// what it runs.
Result<bool> sharesOurNamespace(const PeerProcess& peer, const std::string& kind);

}  // namespace zefra::platform
