#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process/process_table.h"
#include "support/eventually.h"

namespace zefra::testing {

// The pid a tool wrote into `path`, once it has; 0 when it never does.
inline pid_t pidIn(const std::string& path) {
  pid_t pid = 0;
  eventually([&] { return static_cast<bool>(std::ifstream(path) >> pid); });
  return pid;
}

// What follows `field` on its line of /proc/<pid>/`file` ("VmRSS:" of
// status, "0::" of cgroup); empty once the process or the line is gone.
inline std::string procField(pid_t pid, const std::string& file, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field)) return line.substr(field.size());
  }
  return "";
}
// The same as a number, as the file gives it (KiB, bytes, a pid); -1 when gone.
inline long procNumber(pid_t pid, const std::string& file, const std::string& field) {
  const std::string value = procField(pid, file, field);
  return value.empty() ? -1 : std::stol(value);
}

// Gone, or a zombie that nobody here reaps.
inline bool processEnded(pid_t pid) {
  const std::string state = procField(pid, "status", "State:");
  return state.empty() || state.starts_with("\tZ");
}

// Threads of `pid` that the helper's pool and timer run on, named for it;
// they leave once idle for a while, the pool's idle work done.
inline int poolThreads(pid_t pid) {
  int threads = 0;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    const std::string name = procField(std::stoi(task.path().filename()), "comm", "");
    threads += name == "zefra-pool" || name == "zefra-timer";
  }
  return threads;
}

// Children of this process, zombies included, but `except`; {-1} when the
// process table cannot be read.
inline std::vector<pid_t> ourChildren(pid_t except = 0) {
  auto table = platform::snapshotProcessTable();
  if (!table) return {-1};
  std::vector<pid_t> pids;
  for (const auto& entry : *table) {
    if (entry.ppid == ::getpid() && entry.pid != except) pids.push_back(entry.pid);
  }
  return pids;
}

}  // namespace zefra::testing
