#include "platform/process/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/unique_fd.h"

namespace zefra::platform {

namespace {

// Up to the parent field: pid, a command name of at most a few dozen bytes,
// the state.
constexpr std::size_t kStatPrefix = 512;

std::optional<pid_t> parsePid(const char* begin, const char* end) {
  pid_t pid = 0;
  auto [next, ec] = std::from_chars(begin, end, pid);
  if (ec != std::errc() || next != end || begin == end) return std::nullopt;
  return pid;
}

// "<pid> (<comm>) <state> <ppid> ...": the command name may hold spaces and
// parentheses, but nothing after it does.
std::optional<pid_t> parseParent(const char* line, std::size_t size) {
  const void* close = ::memrchr(line, ')', size);
  if (!close) return std::nullopt;
  const char* p = static_cast<const char*>(close) + 1;
  const char* end = line + size;
  // " S " then the parent.
  if (end - p < 4 || p[0] != ' ' || p[2] != ' ') return std::nullopt;
  p += 3;
  pid_t ppid = 0;
  auto [next, ec] = std::from_chars(p, end, ppid);
  if (ec != std::errc() || next == end || *next != ' ') return std::nullopt;
  return ppid;
}

}  // namespace

Result<ProcessTableSnapshot> snapshotProcessTable() {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return errnoError("Could not read the process table", errno);
  ProcessTableSnapshot table;
  table.reserve(512);
  const int procFd = ::dirfd(proc.get());
  char path[64];
  char line[kStatPrefix];
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(proc.get());
    if (!entry) break;
    const std::size_t nameLength = std::strlen(entry->d_name);
    if (nameLength + sizeof("/stat") > sizeof(path)) continue;
    auto pid = parsePid(entry->d_name, entry->d_name + nameLength);
    if (!pid) continue;
    std::memcpy(path, entry->d_name, nameLength);
    std::memcpy(path + nameLength, "/stat", sizeof("/stat"));
    // A process that ends meanwhile is simply not part of the snapshot.
    UniqueFd fd(::openat(procFd, path, O_RDONLY | O_CLOEXEC));
    if (!fd) continue;
    ssize_t count;
    do {
      count = ::read(fd.get(), line, sizeof(line));
    } while (count < 0 && errno == EINTR);
    if (count <= 0) continue;
    if (auto ppid = parseParent(line, static_cast<std::size_t>(count))) {
      table.push_back({*pid, *ppid});
    }
  }
  if (errno != 0) return errnoError("Could not read the process table", errno);
  return table;
}

Status signalProcess(pid_t pid, int sig) {
  // kill() reads these as a process group or every process we may signal.
  if (pid <= 0) return Error{EINVAL, "Not a process: " + std::to_string(pid)};
  if (::kill(pid, sig) != 0) {
    return errnoError("Could not signal process " + std::to_string(pid), errno);
  }
  return Ok{};
}

bool processExists(pid_t pid) {
  return pid > 0 && ::kill(pid, 0) == 0;
}

}  // namespace zefra::platform
