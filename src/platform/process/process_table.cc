#include "platform/process/process_table.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {

namespace {

// Up to the parent field: pid, a command name of at most a few dozen bytes,
// the state.
constexpr std::size_t kStatPrefix = 512;

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

// The start of a process's stat file (at `path` below `dir`), as much as
// kStatPrefix holds; 0 bytes when the process is gone.
std::size_t readStatPrefix(int dir, const char* path, char (&line)[kStatPrefix]) {
  UniqueFd fd(::openat(dir, path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  const ssize_t count = base::retryOnEintr([&] { return ::read(fd.get(), line, sizeof line); });
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

// The state letter of "<pid> (<comm>) <state> ...".
std::optional<char> parseState(const char* line, std::size_t size) {
  const void* close = ::memrchr(line, ')', size);
  if (!close) return std::nullopt;
  const char* p = static_cast<const char*>(close) + 1;
  if (line + size - p < 2 || p[0] != ' ') return std::nullopt;
  return p[1];
}

}  // namespace

bool processStoppedOrGone(pid_t pid) {
  char line[kStatPrefix];
  const std::size_t count = readStatPrefix(AT_FDCWD, procPath(pid, "stat").c_str(), line);
  if (count == 0) return true;
  const auto state = parseState(line, count);
  return !state || *state == 'T' || *state == 't' || *state == 'Z' || *state == 'X';
}

Result<ProcessTableSnapshot> snapshotProcessTable() {
  ProcessTableSnapshot table;
  table.reserve(512);
  auto listed = forEachProcess([&](pid_t pid, int procDir) {
    char path[32];
    auto [end, ec] = std::to_chars(path, path + sizeof path - sizeof "/stat", pid);
    if (ec != std::errc()) return;
    std::memcpy(end, "/stat", sizeof "/stat");
    // A process that ends meanwhile is simply not part of the snapshot.
    char line[kStatPrefix];
    const std::size_t count = readStatPrefix(procDir, path, line);
    if (count == 0) return;
    if (auto ppid = parseParent(line, count)) {
      table.push_back({pid, *ppid});
    }
  });
  if (!listed) return listed.error();
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

Status signalProcessGroup(pid_t group, int sig) {
  if (group <= 0) return Error{EINVAL, "Not a process group: " + std::to_string(group)};
  if (::kill(-group, sig) != 0) {
    return errnoError("Could not signal process group " + std::to_string(group), errno);
  }
  return Ok{};
}

bool processExists(pid_t pid) {
  return pid > 0 && ::kill(pid, 0) == 0;
}

}  // namespace zefra::platform
