#include "platform/process_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "platform/child_process.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

std::optional<pid_t> parentInTable(pid_t pid) {
  auto table = snapshotProcessTable();
  EXPECT_TRUE(table) << table.error().message;
  if (!table) return std::nullopt;
  EXPECT_TRUE(std::is_sorted(table->begin(), table->end(),
                             [](auto& a, auto& b) { return a.pid < b.pid; }));
  for (const ProcessEntry& entry : *table) {
    if (entry.pid == pid) return entry.ppid;
  }
  return std::nullopt;
}

// The command name is the executable's file name; this one would mislead a
// parser that stops at the first ')' into reading parent 1.
TEST(ProcessTableTest, ListsParentsWhateverTheCommandName) {
  EXPECT_EQ(parentInTable(getpid()), getppid());
  EXPECT_EQ(parentInTable(1), 0);

  zefra::testing::TempDir dir;
  const std::string name = "x) R 1 (y z";
  ASSERT_EQ(symlink("/bin/sleep", (dir.path() + "/" + name).c_str()), 0);
  SpawnOptions options;
  options.executable = dir.path() + "/" + name;
  options.arguments = {"1000"};
  auto child = spawnProcess(options);
  ASSERT_TRUE(child) << child.error().message;
  std::string comm;
  std::getline(std::ifstream("/proc/" + std::to_string(child->pid()) + "/comm"), comm);
  EXPECT_EQ(comm, name);
  EXPECT_EQ(parentInTable(child->pid()), getpid());

  ASSERT_TRUE(child->signal(SIGKILL));
  EXPECT_EQ(child->wait(), SIGKILL);
  EXPECT_FALSE(processExists(child->pid()));
}

TEST(ProcessTableTest, SignallingByPidRefusesProcessGroupsAndAll) {
  EXPECT_TRUE(processExists(getpid()));
  EXPECT_TRUE(signalProcess(getpid(), 0));
  // kill() would read these as "my group" and "everyone".
  for (pid_t pid : {0, -1, -getpgrp()}) {
    EXPECT_FALSE(processExists(pid));
    auto status = signalProcess(pid, 0);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code, EINVAL);
  }
}

}  // namespace
}  // namespace zefra::platform
