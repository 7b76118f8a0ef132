#include "platform/process/process_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/process/child_process.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

std::optional<pid_t> parentInTable(pid_t pid) {
  auto table = snapshotProcessTable().value();
  EXPECT_TRUE(
      std::is_sorted(table.begin(), table.end(), [](auto& a, auto& b) { return a.pid < b.pid; }));
  auto entry = std::find_if(table.begin(), table.end(), [&](auto& e) { return e.pid == pid; });
  return entry == table.end() ? std::nullopt : std::optional(entry->ppid);
}

// The command name is the executable's file name; this one would mislead a
// parser that stops at the first ')' into reading parent 1.
TEST(ProcessTableTest, ListsParentsWhateverTheCommandName) {
  EXPECT_EQ(parentInTable(getpid()), getppid());
  EXPECT_EQ(parentInTable(1), 0);

  zefra::testing::TempDir dir;
  SpawnOptions options;
  options.executable = dir.path() + "/x) R 1 (y z";
  options.arguments = {"1000"};
  ASSERT_EQ(symlink("/bin/sleep", options.executable.c_str()), 0);
  auto child = spawnProcess(options).value();
  EXPECT_EQ(parentInTable(child.pid()), getpid());
  ASSERT_TRUE(child.signal(SIGKILL));
  EXPECT_EQ(child.wait(), SIGKILL);
  EXPECT_FALSE(processExists(child.pid()));
}

TEST(ProcessTableTest, SignallingByPidRefusesProcessGroupsAndAll) {
  // kill() would read these as "my group" and "everyone".
  for (pid_t pid : {0, -1, -getpgrp()}) {
    EXPECT_FALSE(processExists(pid));
    EXPECT_EQ(signalProcess(pid, 0).error().code, EINVAL);
  }
}

}  // namespace
}  // namespace zefra::platform
