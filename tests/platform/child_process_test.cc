#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
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
  std::string out;
  std::string err;
  int status = -1;
};

// Feeds `input` and drains both outputs at the same time, as a run does.
Finished runToEnd(SpawnOptions options, std::string input = {}) {
  auto in = makePipe(), out = makePipe(), err = makePipe();
  EXPECT_TRUE(in && out && err);
  options.standardInput = Stdio::fromFd(in->readEnd.get());
  options.standardOutput = Stdio::fromFd(out->writeEnd.get());
  options.standardError = Stdio::fromFd(err->writeEnd.get());
  auto child = spawnProcess(options);
  in->readEnd.reset();
  out->writeEnd.reset();
  err->writeEnd.reset();
  if (!child) {
    ADD_FAILURE() << child.error().message;
    return {};
  }
  std::thread writer([&] {
    (void)writeAll(in->writeEnd.get(), input);
    in->writeEnd.reset();
  });
  std::optional<Result<std::string>> errText;
  std::thread errReader([&] { errText = readToEnd(err->readEnd.get()); });
  auto outText = readToEnd(out->readEnd.get());
  writer.join();
  errReader.join();
  EXPECT_TRUE(outText.ok() && errText->ok());
  return {outText.ok() ? *outText : "", errText->ok() ? **errText : "", child->wait()};
}

// A `cat` that runs until its input is closed.
struct HeldCat {
  Pipe input;
  Pipe output;
  ChildProcess child;
};

HeldCat startCat() {
  auto input = makePipe(), output = makePipe();
  EXPECT_TRUE(input && output);
  SpawnOptions options;
  options.executable = "/bin/cat";
  options.standardInput = Stdio::fromFd(input->readEnd.get());
  options.standardOutput = Stdio::fromFd(output->writeEnd.get());
  auto child = spawnProcess(options);
  EXPECT_TRUE(child) << child.error().message;
  input->readEnd.reset();
  output->writeEnd.reset();
  return {std::move(*input), std::move(*output), std::move(*child)};
}

// True once `pid` is no child of ours any more, zombie or not.
bool reaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
         errno == ECHILD;
}

template <class Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

std::set<std::string> ourDescriptors() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    names.insert(entry.path().filename());
  }
  return names;
}

class ChildProcessTest : public ::testing::Test {
 protected:
  // As in the helper: a write to a closed pipe is an error, not a signal.
  void SetUp() override { previous_ = signal(SIGPIPE, SIG_IGN); }
  void TearDown() override { signal(SIGPIPE, previous_); }

 private:
  sighandler_t previous_ = SIG_DFL;
};

TEST_F(ChildProcessTest, TerminationStatusIsExitStatusOrSignalNumber) {
  const std::pair<const char*, int> cases[] = {
      {"exit 0", 0}, {"exit 3", 3}, {"kill -KILL $$", SIGKILL}, {"kill -SEGV $$", SIGSEGV}};
  for (auto [script, status] : cases) EXPECT_EQ(runToEnd(shell(script)).status, status) << script;

  auto child = spawnProcess(shell("exit 42"));
  ASSERT_TRUE(child);
  EXPECT_EQ(child->wait(), 42);
  EXPECT_EQ(child->wait(), 42);
  EXPECT_EQ(child->waitUntil(Deadline::after(0)), 42);
}

TEST_F(ChildProcessTest, IsRunningTurnsFalseOnExitWithoutReaping) {
  HeldCat cat = startCat();
  EXPECT_EQ(cat.child.waitUntil(Deadline::after(0.02)), std::nullopt);
  EXPECT_TRUE(cat.child.isRunning());
  EXPECT_TRUE(cat.child.signal(0));
  cat.input.writeEnd.reset();
  ASSERT_TRUE(eventually([&] { return !cat.child.isRunning(); }));
  EXPECT_FALSE(reaped(cat.child.pid()));
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_TRUE(reaped(cat.child.pid()));
  // Its pid may belong to someone else now; the handle does not follow it.
  auto late = cat.child.signal(SIGKILL);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().code, ESRCH);
}

TEST_F(ChildProcessTest, ChildStartsWithDefaultSignalsAndOnlyStdio) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  auto previousHup = signal(SIGHUP, SIG_IGN);
  // Deliberately without close-on-exec, as a careless library might.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);

  // SIGPIPE is ignored here (see SetUp); ls's own fd 3 is the directory.
  Finished report =
      runToEnd(shell("grep -E '^Sig(Blk|Ign)' /proc/self/status; exec ls /proc/self/fd"));
  EXPECT_EQ(report.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n0\n1\n2\n3\n");

  close(leaky);
  signal(SIGHUP, previousHup);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST_F(ChildProcessTest, ArgumentsEnvironmentAndWorkingDirectoryAreTheGivenOnes) {
  SpawnOptions options;
  options.executable = "/usr/bin/env";
  options.environment = {"A=1", "B=two words"};
  EXPECT_EQ(runToEnd(options).out, "A=1\nB=two words\n");

  options.executable = "/bin/cat";
  options.arguments = {"/proc/self/cmdline"};
  EXPECT_EQ(runToEnd(options).out, std::string("/bin/cat\0/proc/self/cmdline\0", 28));
  options.argv0 = "named";
  EXPECT_EQ(runToEnd(options).out, std::string("named\0/proc/self/cmdline\0", 25));

  SpawnOptions inDirectory = shell("pwd");
  inDirectory.workingDirectory = "/usr/share";
  EXPECT_EQ(runToEnd(inDirectory).out, "/usr/share\n");
}

// A helper started with 0-2 closed gets its pipes there: each source must
// survive the other's dup2 in the child.
TEST_F(ChildProcessTest, StdioSurvivesSourcesAmongZeroToTwo) {
  auto a = makePipe(), b = makePipe();
  ASSERT_TRUE(a && b);
  UniqueFd savedOut(dup(STDOUT_FILENO)), savedErr(dup(STDERR_FILENO));
  dup2(a->writeEnd.get(), STDOUT_FILENO);
  dup2(b->writeEnd.get(), STDERR_FILENO);
  SpawnOptions swapped = shell("cat; echo to-out; echo to-err >&2");
  swapped.standardInput = Stdio::nullDevice();
  swapped.standardOutput = Stdio::fromFd(STDERR_FILENO);
  swapped.standardError = Stdio::fromFd(STDOUT_FILENO);
  auto child = spawnProcess(swapped);
  dup2(savedOut.get(), STDOUT_FILENO);
  dup2(savedErr.get(), STDERR_FILENO);
  a->writeEnd.reset();
  b->writeEnd.reset();
  ASSERT_TRUE(child);
  EXPECT_EQ(readToEnd(a->readEnd.get()).value(), "to-err\n");
  EXPECT_EQ(readToEnd(b->readEnd.get()).value(), "to-out\n");
  EXPECT_EQ(child->wait(), 0);
}

TEST_F(ChildProcessTest, LargeStreamsInBothDirectionsArriveWhole) {
  std::string input;
  for (int i = 0; input.size() < 3'000'000; ++i) input += std::to_string(i) + "\n";
  EXPECT_TRUE(runToEnd(shell("cat"), input).out == input);

  Finished both =
      runToEnd(shell("yes abcdefgh | head -c 4500000 & yes 1234567 | head -c 3200000 >&2 & wait"));
  EXPECT_EQ(both.status, 0);
  ASSERT_EQ(both.out.size(), 4'500'000u);
  ASSERT_EQ(both.err.size(), 3'200'000u);
  EXPECT_EQ(both.out.substr(4'499'991), "abcdefgh\n");
  EXPECT_EQ(both.err.substr(3'199'992), "1234567\n");
}

TEST_F(ChildProcessTest, LaunchErrorsSayWhatFailedAndWhy) {
  struct Case {
    std::optional<std::string> directory;
    std::string executable;
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
      {std::nullopt, "/etc/passwd", EACCES,
       "Could not launch \u201c/etc/passwd\u201d: Permission denied"},
  };
  for (const Case& c : cases) {
    SpawnOptions options;
    options.executable = c.executable;
    options.workingDirectory = c.directory;
    auto failed = spawnProcess(options);
    ASSERT_FALSE(failed) << c.message;
    EXPECT_EQ(failed.error().code, c.code);
    EXPECT_EQ(failed.error().message, c.message);
  }
}

TEST_F(ChildProcessTest, DroppingOrReplacingAnUnwaitedChildReapsItWithoutKillingIt) {
  auto exited = spawnProcess(shell("exit 0"));
  auto replacement = spawnProcess(shell("exit 5"));
  ASSERT_TRUE(exited && replacement);
  const pid_t exitedPid = exited->pid();
  ASSERT_TRUE(eventually([&] { return !exited->isRunning(); }));
  *exited = std::move(*replacement);
  EXPECT_TRUE(reaped(exitedPid));
  EXPECT_EQ(exited->wait(), 5);

  HeldCat cat = startCat();
  const pid_t runningPid = cat.child.pid();
  { ChildProcess dropped = std::move(cat.child); }
  // Still alive to echo; reaped in the background once done.
  ASSERT_TRUE(writeAll(cat.input.writeEnd.get(), "ping"));
  cat.input.writeEnd.reset();
  EXPECT_EQ(readToEnd(cat.output.readEnd.get()).value(), "ping");
  EXPECT_TRUE(eventually([&] { return reaped(runningPid); }));
}

TEST_F(ChildProcessTest, ManySpawnsLeaveNoDescriptorOrZombieBehind) {
  const auto before = ourDescriptors();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(runToEnd(shell(i % 2 ? "echo $0" : "exit 1")).status, i % 2 ? 0 : 1);
  }
  for (int i = 0; i < 20; ++i) {
    SpawnOptions broken = shell("true");
    broken.workingDirectory = "/nonexistent";
    ASSERT_FALSE(spawnProcess(broken));
  }
  EXPECT_EQ(ourDescriptors(), before);
  siginfo_t info{};
  EXPECT_NE(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ChildProcessTest, PipeReadsTimeOutAndWritesWithoutReaderFail) {
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(writeAll(pipe->writeEnd.get(), "partial"));
  auto read = readToEnd(pipe->readEnd.get(), Deadline::after(0.02));
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().code, ETIMEDOUT);

  pipe->readEnd.reset();
  auto written = writeAll(pipe->writeEnd.get(), "lost");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, EPIPE);
}

}  // namespace
}  // namespace zefra::platform
