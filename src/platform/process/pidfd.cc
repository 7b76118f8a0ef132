#include "platform/process/pidfd.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/eintr.h"

namespace zefra::platform {

// glibc 2.36 declares the pidfd wrappers without C linkage for C++; go
// straight to the system calls.
Result<UniqueFd> openPidfd(pid_t pid) {
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd)
    return errnoError("Could not open a descriptor for process " + std::to_string(pid), errno);
  return fd;
}

Status signalPidfd(int pidfd, int sig) {
  if (pidfd < 0) return Error{ESRCH, "No process to signal"};
  if (::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) != 0) {
    return errnoError("Could not signal the process", errno);
  }
  return Ok{};
}

bool waitForPidfdExit(int pidfd, const base::Deadline& deadline) {
  if (pidfd < 0) return true;
  pollfd entry{pidfd, POLLIN, 0};
  // Anything but a time-out (a failed poll too) counts as the end.
  return base::retryOnEintr([&] { return ::poll(&entry, 1, deadline.pollTimeout()); }) != 0;
}

std::optional<std::uint64_t> pidfdIdentity(int pidfd) {
  constexpr unsigned long kPidfsMagic = 0x50494446;
  struct statfs fs {};
  struct stat st {};
  if (::fstatfs(pidfd, &fs) != 0 || static_cast<unsigned long>(fs.f_type) != kPidfsMagic ||
      ::fstat(pidfd, &st) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_ino);
}

bool pidfdIsRunning(int pidfd) {
  return pidfd >= 0 && !waitForPidfdExit(pidfd, base::Deadline::after(0));
}

}  // namespace zefra::platform
