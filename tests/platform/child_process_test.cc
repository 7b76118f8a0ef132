#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "platform/pipe_io.h"

namespace zefra::platform {
namespace {

using namespace std::chrono_literals;

SpawnOptions shell(const std::string& script) {
  SpawnOptions options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", script};
  options.environment = {"PATH=/usr/bin:/bin"};
  return options;
}

struct Finished {
  std::string out, err;
  int status = -1;
};

// Drains both outputs at the same time, as a run does.
Finished runToEnd(SpawnOptions options) {
  auto out = makePipe(), err = makePipe();
  options.standardInput = Stdio::nullDevice();
  options.standardOutput = Stdio::fromFd(out->writeEnd.get());
  options.standardError = Stdio::fromFd(err->writeEnd.get());
  auto child = spawnProcess(options);
  out->writeEnd.reset();
  err->writeEnd.reset();
  EXPECT_TRUE(child) << child.error().message;
  auto errText = std::async(std::launch::async, [&] { return readToEnd(err->readEnd.get()); });
  std::string outText = readToEnd(out->readEnd.get()).value();
  return {outText, errText.get().value(), child ? child->wait() : -1};
}

// A `cat` that runs until its input is closed.
struct HeldCat {
  Pipe input = makePipe().value(), output = makePipe().value();
  ChildProcess child = [this] {
    SpawnOptions options;
    options.executable = "/bin/cat";
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

TEST(ChildProcessTest, TerminationStatusIsExitStatusOrSignalNumber) {
  for (auto [script, status] :
       {std::pair{"exit 0", 0}, std::pair{"exit 3", 3}, std::pair{"kill -KILL $$", SIGKILL}}) {
    EXPECT_EQ(runToEnd(shell(script)).status, status) << script;
  }
}

TEST(ChildProcessTest, IsRunningTurnsFalseOnExitWithoutReaping) {
  HeldCat cat;
  EXPECT_EQ(cat.child.waitUntil(Deadline::after(0.02)), std::nullopt);
  EXPECT_TRUE(cat.child.isRunning());
  cat.input.writeEnd.reset();
  awaitExit(cat.child.pid());
  EXPECT_FALSE(cat.child.isRunning());
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_TRUE(reaped(cat.child.pid()));
  // Its pid may be someone else's now; the handle does not follow it.
  EXPECT_EQ(cat.child.signal(SIGKILL).error().code, ESRCH);
}

TEST(ChildProcessTest, ChildStartsWithDefaultSignalsAndOnlyStdio) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  auto previousPipe = signal(SIGPIPE, SIG_IGN);  // as the helper runs
  int leaky = open("/dev/null", O_RDONLY);       // deliberately not close-on-exec
  // ls's own fd 3 is the directory it lists.
  EXPECT_EQ(runToEnd(shell("grep -E '^Sig(Blk|Ign)' /proc/self/status; exec ls /proc/self/fd")).out,
            "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n0\n1\n2\n3\n");
  close(leaky);
  signal(SIGPIPE, previousPipe);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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

TEST(ChildProcessTest, LargeOutputOnBothStreamsArrivesWhole) {
  Finished both =
      runToEnd(shell("yes abcdefgh | head -c 4500000 & yes 1234567 | head -c 3200000 >&2 & wait"));
  ASSERT_EQ(both.out.size(), 4'500'000u);
  ASSERT_EQ(both.err.size(), 3'200'000u);
  EXPECT_EQ(both.out.substr(4'499'991), "abcdefgh\n");
  EXPECT_EQ(both.err.substr(3'199'992), "1234567\n");
}

TEST(ChildProcessTest, LaunchErrorsSayWhatFailedAndWhy) {
  const struct {
    const char *directory, *executable;
    int code;
    std::string message;
  } cases[] = {
      {"/nonexistent/place", "/bin/sh", ENOENT,
       "Could not change to the working directory \u201c/nonexistent/place\u201d: "
       "No such file or directory"},
      {"/bin/sh", "/bin/sh", ENOTDIR,
       "Could not change to the working directory \u201c/bin/sh\u201d: Not a directory"},
      {"/tmp", "/nonexistent/tool", ENOENT,
       "Could not launch \u201c/nonexistent/tool\u201d: No such file or directory"},
      {"/", "/etc/passwd", EACCES, "Could not launch \u201c/etc/passwd\u201d: Permission denied"},
  };
  for (const auto& c : cases) {
    SpawnOptions options;
    options.executable = c.executable;
    options.workingDirectory = c.directory;
    auto failed = spawnProcess(options);
    ASSERT_FALSE(failed) << c.message;
    EXPECT_EQ(failed.error().code, c.code);
    EXPECT_EQ(failed.error().message, c.message);
  }
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
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!reaped(runningPid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(reaped(runningPid));
}

TEST(ChildProcessTest, ManySpawnsLeaveNoDescriptorOrZombieBehind) {
  const auto descriptors = [] {
    using std::filesystem::directory_iterator;
    return std::distance(directory_iterator("/proc/self/fd"), directory_iterator());
  };
  const auto before = descriptors();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(runToEnd(shell(i % 2 ? "echo $0" : "exit 1")).status, i % 2 ? 0 : 1);
    SpawnOptions broken = shell("true");
    broken.workingDirectory = "/nonexistent";
    ASSERT_FALSE(spawnProcess(broken));
  }
  EXPECT_EQ(descriptors(), before);
  siginfo_t info{};
  EXPECT_NE(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace zefra::platform
