#include "platform/process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/child_process.h"
#include "platform/pipe_io.h"

namespace zefra::platform {
namespace {

const ProcessEntry* find(const ProcessTableSnapshot& table, pid_t pid) {
  auto it = std::find_if(table.begin(), table.end(),
                         [pid](const ProcessEntry& entry) { return entry.pid == pid; });
  return it == table.end() ? nullptr : &*it;
}

TEST(ProcessTableTest, SnapshotListsEveryProcessWithItsParentInPidOrder) {
  auto table = snapshotProcessTable();
  ASSERT_TRUE(table) << table.error().message;
  const ProcessEntry* self = find(*table, getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->ppid, getppid());
  const ProcessEntry* init = find(*table, 1);
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init->ppid, 0);
  EXPECT_TRUE(
      std::is_sorted(table->begin(), table->end(), [](auto& a, auto& b) { return a.pid < b.pid; }));
}

// The command name is the executable's file name; this one would mislead a
// parser that stops at the first ')' into reading parent 1.
TEST(ProcessTableTest, CommandNamesWithSpacesAndParenthesesDoNotMisleadTheParser) {
  char pattern[] = "/tmp/proc-table-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string name = "x) R 1 (y z";
  const std::string link = directory + "/" + name;
  ASSERT_EQ(symlink("/bin/cat", link.c_str()), 0);

  auto input = makePipe();
  ASSERT_TRUE(input);
  SpawnOptions options;
  options.executable = link;
  options.standardInput = Stdio::fromFd(input->readEnd.get());
  options.standardOutput = Stdio::nullDevice();
  auto child = spawnProcess(options);
  input->readEnd.reset();
  ASSERT_TRUE(child) << child.error().message;

  std::string comm;
  std::getline(std::ifstream("/proc/" + std::to_string(child->pid()) + "/comm"), comm);
  EXPECT_EQ(comm, name);
  auto table = snapshotProcessTable();
  ASSERT_TRUE(table);
  const ProcessEntry* entry = find(*table, child->pid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->ppid, getpid());

  input->writeEnd.reset();
  EXPECT_EQ(child->wait(), 0);
  std::filesystem::remove_all(directory);
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

  SpawnOptions options;
  options.executable = "/bin/true";
  auto child = spawnProcess(options);
  ASSERT_TRUE(child);
  const pid_t pid = child->pid();
  EXPECT_EQ(child->wait(), 0);
  EXPECT_FALSE(processExists(pid));
}

}  // namespace
}  // namespace zefra::platform
