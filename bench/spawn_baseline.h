#pragma once

// The floor under every launch: posix_spawn with three pipes on 0-2, both
// outputs drained, the child reaped with waitpid, and nothing else. Benchmarks
// of the process layer and of whole runs report their time against it.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/pipe_io.h"
#include "platform/process/child_process.h"

namespace zefra::bench {

// Returns the raw wait status, or -1 when something failed. Output is read and
// dropped.
inline int spawnDrainAndWait(const char* path, char* const argv[], char* const envp[]) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(err, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  close(in[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    return -1;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  static thread_local char buffer[64 * 1024];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (pollfd& entry : fds) {
      if (entry.fd < 0 || entry.revents == 0) continue;
      ssize_t count = read(entry.fd, buffer, sizeof(buffer));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        close(entry.fd);
        entry.fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// The same through the process layer: `options` gets three pipes on 0-2;
// true when the child started and exited 0.
inline bool spawnChildAndDrain(platform::SpawnOptions options) {
  auto in = platform::makePipe();
  auto out = platform::makePipe();
  auto err = platform::makePipe();
  if (!in || !out || !err) return false;
  options.standardInput = platform::Stdio::fromFd(in->readEnd.get());
  options.standardOutput = platform::Stdio::fromFd(out->writeEnd.get());
  options.standardError = platform::Stdio::fromFd(err->writeEnd.get());
  auto child = platform::spawnProcess(options);
  in->readEnd.reset();
  out->writeEnd.reset();
  err->writeEnd.reset();
  in->writeEnd.reset();
  if (!child) return false;
  // A child that writes nothing: draining one after the other cannot block.
  benchmark::DoNotOptimize(platform::readToEnd(out->readEnd.get()));
  benchmark::DoNotOptimize(platform::readToEnd(err->readEnd.get()));
  return child->wait() == 0;
}

}  // namespace zefra::bench
