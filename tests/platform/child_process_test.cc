#include "platform/process/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/files/pipe_io.h"
#include "platform/process/pidfd.h"
#include "platform/process/process_table.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

// Launch errors are the containment test's, along every way of starting.
namespace zefra::platform {
namespace {

SpawnOptions shell(const std::string& script) {
  SpawnOptions options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", script};
  return options;
}

// A `cat` that runs until its input is closed.
struct HeldCat {
  Pipe input = makePipe().value(), output = makePipe().value();
  ChildProcess child = [this] {
    SpawnOptions options = shell("exec cat");
    options.standardInput = Stdio::fromFd(input.readEnd.get());
    options.standardOutput = Stdio::fromFd(output.writeEnd.get());
    auto started = spawnProcess(options).value();
    input.readEnd.reset();
    output.writeEnd.reset();
    return started;
  }();
};

// Blocks until the child `pid` has exited, leaving it unreaped.
void awaitExit(pid_t pid) {
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
}

// True once `pid` is no child of ours any more, zombie or not.
bool reaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
         errno == ECHILD;
}

TEST(ChildProcessTest, IsRunningTurnsFalseOnExitWithoutReaping) {
  HeldCat cat;
  EXPECT_FALSE(waitForPidfdExit(cat.child.handle().pidfd(), base::Deadline::after(0.02)));
  EXPECT_TRUE(cat.child.isRunning());
  cat.input.writeEnd.reset();
  awaitExit(cat.child.pid());
  EXPECT_FALSE(cat.child.isRunning());
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_TRUE(reaped(cat.child.pid()));
  // Its pid may be someone else's now; the handle does not follow it.
  EXPECT_EQ(cat.child.signal(SIGKILL).error().code, ESRCH);
}

// A helper started with 0-2 closed gets its pipes there: each source must
// survive the other's dup2 in the child.
TEST(ChildProcessTest, StdioSurvivesSourcesAmongZeroToTwo) {
  auto a = makePipe(), b = makePipe();
  UniqueFd savedOut(dup(STDOUT_FILENO)), savedErr(dup(STDERR_FILENO));
  dup2(a->writeEnd.get(), STDOUT_FILENO);
  dup2(b->writeEnd.get(), STDERR_FILENO);
  SpawnOptions swapped = shell("echo to-out; echo to-err >&2");
  swapped.standardOutput = Stdio::fromFd(STDERR_FILENO);
  swapped.standardError = Stdio::fromFd(STDOUT_FILENO);
  auto child = spawnProcess(swapped);
  dup2(savedOut.get(), STDOUT_FILENO);
  dup2(savedErr.get(), STDERR_FILENO);
  a->writeEnd.reset();
  b->writeEnd.reset();
  EXPECT_EQ(readToEnd(a->readEnd.get()).value(), "to-err\n");
  EXPECT_EQ(readToEnd(b->readEnd.get()).value(), "to-out\n");
  EXPECT_EQ(child.value().wait(), 0);
}

TEST(ChildProcessTest, DroppingOrReplacingAnUnwaitedChildReapsItWithoutKillingIt) {
  auto exited = spawnProcess(shell("exit 0"));
  auto replacement = spawnProcess(shell("exit 5"));
  const pid_t exitedPid = exited.value().pid();
  awaitExit(exitedPid);
  *exited = std::move(replacement.value());
  EXPECT_TRUE(reaped(exitedPid));
  EXPECT_EQ(exited->wait(), 5);

  HeldCat cat;
  const pid_t runningPid = cat.child.pid();
  { ChildProcess dropped = std::move(cat.child); }
  // Still alive to echo; reaped in the background once done.
  ASSERT_TRUE(writeAll(cat.input.writeEnd.get(), "ping"));
  cat.input.writeEnd.reset();
  EXPECT_EQ(readToEnd(cat.output.readEnd.get()).value(), "ping");
  EXPECT_TRUE(testing::eventually([&] { return reaped(runningPid); }));
}

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
