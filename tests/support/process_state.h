#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

#include "support/eventually.h"

namespace zefra::testing {

// The pid a tool wrote into `path`, once it has; 0 when it never does.
inline pid_t pidIn(const std::string& path) {
  pid_t pid = 0;
  eventually([&] { return static_cast<bool>(std::ifstream(path) >> pid); });
  return pid;
}

// Gone, or a zombie that nobody here reaps.
inline bool processEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto state = line.find(") ");
  return state != std::string::npos && line[state + 2] == 'Z';
}

// Blocked writing to a full pipe.
inline bool blockedOnPipe(pid_t pid) {
  std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
  std::string where;
  return std::getline(wchan, where) && where.find("pipe_write") != std::string::npos;
}

}  // namespace zefra::testing
