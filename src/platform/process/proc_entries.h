#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

// The kernel's files about each process, under /proc/<pid>/: one place names
// them and lists the processes.
namespace zefra::platform {

// "/proc/<pid>/<entry>", e.g. procPath(pid, "exe").
std::string procPath(pid_t pid, std::string_view entry);
// "/proc/self/<entry>": this process's own.
std::string ownProcPath(std::string_view entry);

// Calls `visit` with each process /proc lists, by ascending pid, and /proc
// itself open as `procDir` to open the process's entries at ("<pid>/stat").
// A process that starts or ends meanwhile may or may not be visited.
Status forEachProcess(const std::function<void(pid_t pid, int procDir)>& visit);

}  // namespace zefra::platform
