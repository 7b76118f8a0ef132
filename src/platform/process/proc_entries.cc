#include "platform/process/proc_entries.h"

#include <dirent.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

namespace zefra::platform {

std::string procPath(pid_t pid, std::string_view entry) {
  std::string path = "/proc/" + std::to_string(pid) + "/";
  path += entry;
  return path;
}

std::string ownProcPath(std::string_view entry) {
  std::string path = "/proc/self/";
  path += entry;
  return path;
}

Status forEachProcess(const std::function<void(pid_t pid, int procDir)>& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return errnoError("Could not read the process table", errno);
  const int procDir = ::dirfd(proc.get());
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(proc.get());
    if (!entry) break;
    const char* name = entry->d_name;
    const char* end = name + std::strlen(name);
    pid_t pid = 0;
    auto [next, ec] = std::from_chars(name, end, pid);
    if (ec != std::errc() || next != end || name == end || pid <= 0) continue;
    visit(pid, procDir);
  }
  if (errno != 0) return errnoError("Could not read the process table", errno);
  return Ok{};
}

}  // namespace zefra::platform
