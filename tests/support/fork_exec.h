#pragma once

#include <unistd.h>

#include <string>
#include <vector>

namespace zefra::testing {

// Starts args[0] with exactly `env`, without the spawn layer under test;
// the caller waits for it. The vectors are built before the fork, so the
// child of a threaded test allocates nothing.
inline pid_t forkExec(std::vector<std::string> args, std::vector<std::string> env) {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace zefra::testing
