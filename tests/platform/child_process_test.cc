#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/pipe_io.h"

namespace zefra::platform {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

const std::vector<std::string> kPathOnly = {"PATH=/usr/bin:/bin"};

SpawnOptions shell(const std::string& script) {
  SpawnOptions options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", script};
  options.environment = kPathOnly;
  return options;
}

struct Finished {
  std::string out;
  std::string err;
  int status = -1;
};

// Feeds `input` and drains both outputs at the same time, as the run does.
Finished runToEnd(SpawnOptions options, std::string input = {}) {
  auto in = makePipe();
  auto out = makePipe();
  auto err = makePipe();
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

// A `cat` whose standard input we hold: it runs until we let go.
struct HeldChild {
  Pipe input;
  Pipe output;
  ChildProcess child;
};

HeldChild startCat(const std::string& executable = "/bin/cat") {
  auto input = makePipe();
  auto output = makePipe();
  EXPECT_TRUE(input && output);
  SpawnOptions options;
  options.executable = executable;
  options.standardInput = Stdio::fromFd(input->readEnd.get());
  options.standardOutput = Stdio::fromFd(output->writeEnd.get());
  auto child = spawnProcess(options);
  EXPECT_TRUE(child) << child.error().message;
  input->readEnd.reset();
  output->writeEnd.reset();
  return {std::move(*input), std::move(*output), std::move(*child)};
}

// Past exec and the dynamic loader: the line has come back through cat.
void waitUntilEchoing(HeldChild& cat) {
  ASSERT_TRUE(writeAll(cat.input.writeEnd.get(), "ping\n"));
  char buffer[5];
  std::size_t got = 0;
  while (got < sizeof(buffer)) {
    ssize_t count = read(cat.output.readEnd.get(), buffer + got, sizeof(buffer) - got);
    ASSERT_GT(count, 0);
    got += static_cast<std::size_t>(count);
  }
}

std::string statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0)
      return line.substr(line.find_first_not_of(" \t:", name.size()));
  }
  return "";
}

std::set<std::string> openDescriptors(const std::string& directory) {
  std::set<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  }
  closedir(dir);
  return names;
}

// True once `pid` is no child of ours any more, zombie or not.
bool reaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
         errno == ECHILD;
}

template <class Condition>
bool eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
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
  EXPECT_EQ(runToEnd(shell("exit 0")).status, 0);
  EXPECT_EQ(runToEnd(shell("exit 3")).status, 3);
  EXPECT_EQ(runToEnd(shell("kill -KILL $$")).status, SIGKILL);
  EXPECT_EQ(runToEnd(shell("kill -SEGV $$")).status, SIGSEGV);

  auto child = spawnProcess(shell("exit 42"));
  ASSERT_TRUE(child);
  EXPECT_EQ(child->wait(), 42);
  EXPECT_EQ(child->wait(), 42);
  EXPECT_EQ(child->waitUntil(Deadline::after(0)), 42);
}

TEST_F(ChildProcessTest, SignalsReachTheChildOnlyWhileItIsOurs) {
  HeldChild cat = startCat();
  EXPECT_TRUE(cat.child.isRunning());
  EXPECT_TRUE(cat.child.signal(0));
  ASSERT_TRUE(cat.child.signal(SIGKILL));
  EXPECT_EQ(cat.child.wait(), SIGKILL);
  // Reaped: its pid may belong to someone else now, the handle does not.
  auto late = cat.child.signal(SIGKILL);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().code, ESRCH);
  EXPECT_FALSE(cat.child.handle().signal(0));
}

TEST_F(ChildProcessTest, IsRunningTurnsFalseOnExitWithoutReaping) {
  HeldChild cat = startCat();
  EXPECT_TRUE(cat.child.isRunning());
  EXPECT_EQ(cat.child.waitUntil(Deadline::after(0.02)), std::nullopt);
  EXPECT_TRUE(cat.child.isRunning());
  cat.input.writeEnd.reset();
  ASSERT_TRUE(eventually([&] { return !cat.child.isRunning(); }));
  // Still a zombie: only wait() reaps.
  EXPECT_EQ(statusField(cat.child.pid(), "State").substr(0, 1), "Z");
  EXPECT_FALSE(reaped(cat.child.pid()));
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_TRUE(reaped(cat.child.pid()));
  EXPECT_FALSE(cat.child.isRunning());
}

TEST_F(ChildProcessTest, ChildStartsWithDefaultSignalStateWhateverOursIs) {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  auto previousHup = signal(SIGHUP, SIG_IGN);

  HeldChild cat = startCat();
  waitUntilEchoing(cat);
  EXPECT_EQ(statusField(cat.child.pid(), "SigIgn"), "0000000000000000");
  EXPECT_EQ(statusField(cat.child.pid(), "SigBlk"), "0000000000000000");
  cat.input.writeEnd.reset();
  EXPECT_EQ(cat.child.wait(), 0);

  // With SIGPIPE ignored, `yes` would complain about the closed pipe.
  Finished pipeline = runToEnd(shell("yes | head -n 1"));
  EXPECT_EQ(pipeline.out, "y\n");
  EXPECT_EQ(pipeline.err, "");
  EXPECT_EQ(pipeline.status, 0);

  signal(SIGHUP, previousHup);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST_F(ChildProcessTest, ChildInheritsNoDescriptorBeyondStdio) {
  // Deliberately without close-on-exec, as a careless library might.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  HeldChild cat = startCat();
  waitUntilEchoing(cat);
  EXPECT_EQ(openDescriptors("/proc/" + std::to_string(cat.child.pid()) + "/fd"),
            (std::set<std::string>{"0", "1", "2"}));
  close(leaky);
  cat.input.writeEnd.reset();
  EXPECT_EQ(cat.child.wait(), 0);
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
  char ours[4096];
  ASSERT_NE(getcwd(ours, sizeof(ours)), nullptr);
  EXPECT_EQ(runToEnd(shell("pwd")).out, std::string(ours) + "\n");
}

TEST_F(ChildProcessTest, StdioCanBeTheNullDeviceOrInherited) {
  SpawnOptions options = shell("cat; echo done; echo lost >&2");
  options.standardInput = Stdio::nullDevice();
  auto out = makePipe();
  ASSERT_TRUE(out);
  options.standardOutput = Stdio::fromFd(out->writeEnd.get());
  options.standardError = Stdio::nullDevice();
  auto child = spawnProcess(options);
  ASSERT_TRUE(child);
  out->writeEnd.reset();
  EXPECT_EQ(readToEnd(out->readEnd.get()).value(), "done\n");
  EXPECT_EQ(child->wait(), 0);

  // Stdio given as our own 0-2, swapped: each source must survive the
  // other's dup2.
  auto a = makePipe();
  auto b = makePipe();
  ASSERT_TRUE(a && b);
  int savedOut = dup(STDOUT_FILENO);
  int savedErr = dup(STDERR_FILENO);
  dup2(a->writeEnd.get(), STDOUT_FILENO);
  dup2(b->writeEnd.get(), STDERR_FILENO);
  SpawnOptions swapped = shell("echo to-out; echo to-err >&2");
  swapped.standardOutput = Stdio::fromFd(STDERR_FILENO);
  swapped.standardError = Stdio::fromFd(STDOUT_FILENO);
  auto swappedChild = spawnProcess(swapped);
  dup2(savedOut, STDOUT_FILENO);
  dup2(savedErr, STDERR_FILENO);
  close(savedOut);
  close(savedErr);
  a->writeEnd.reset();
  b->writeEnd.reset();
  ASSERT_TRUE(swappedChild);
  EXPECT_EQ(readToEnd(a->readEnd.get()).value(), "to-err\n");
  EXPECT_EQ(readToEnd(b->readEnd.get()).value(), "to-out\n");
  EXPECT_EQ(swappedChild->wait(), 0);
}

TEST_F(ChildProcessTest, LargeStreamsInBothDirectionsArriveWhole) {
  std::string input;
  for (int i = 0; input.size() < 3'000'000; ++i) input += std::to_string(i) + "\n";
  Finished echoed = runToEnd(shell("cat"), input);
  EXPECT_EQ(echoed.out.size(), input.size());
  EXPECT_TRUE(echoed.out == input);

  Finished both =
      runToEnd(shell("yes abcdefgh | head -c 4500000 & yes 1234567 | head -c 3200000 >&2 & wait"));
  EXPECT_EQ(both.status, 0);
  ASSERT_EQ(both.out.size(), 4'500'000u);
  ASSERT_EQ(both.err.size(), 3'200'000u);
  EXPECT_EQ(both.out.substr(4'499'991), "abcdefgh\n");
  EXPECT_EQ(both.err.substr(3'199'992), "1234567\n");
}

TEST_F(ChildProcessTest, LaunchErrorsSayWhatFailedAndWhy) {
  SpawnOptions missingDirectory = shell("true");
  missingDirectory.workingDirectory = "/nonexistent/place";
  auto failed = spawnProcess(missingDirectory);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, ENOENT);
  EXPECT_EQ(failed.error().message,
            "Could not change to the working directory \u201c/nonexistent/place\u201d: "
            "No such file or directory");

  SpawnOptions fileAsDirectory = shell("true");
  fileAsDirectory.workingDirectory = "/bin/sh";
  failed = spawnProcess(fileAsDirectory);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, ENOTDIR);
  EXPECT_THAT(failed.error().message, HasSubstr("working directory \u201c/bin/sh\u201d"));

  // The directory is fine; the executable is what is missing.
  SpawnOptions missingExecutable;
  missingExecutable.executable = "/nonexistent/tool";
  missingExecutable.workingDirectory = "/tmp";
  failed = spawnProcess(missingExecutable);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, ENOENT);
  EXPECT_EQ(failed.error().message,
            "Could not launch \u201c/nonexistent/tool\u201d: No such file or directory");

  SpawnOptions notExecutable;
  notExecutable.executable = "/etc/passwd";
  failed = spawnProcess(notExecutable);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, EACCES);
  EXPECT_THAT(failed.error().message, Not(HasSubstr("working directory")));
}

TEST_F(ChildProcessTest, ManySpawnsLeaveNoDescriptorOrZombieBehind) {
  const auto before = openDescriptors("/proc/self/fd");
  for (int i = 0; i < 100; ++i) {
    Finished finished = runToEnd(shell(i % 2 ? "echo $0" : "exit 1"));
    ASSERT_EQ(finished.status, i % 2 ? 0 : 1);
  }
  for (int i = 0; i < 20; ++i) {
    SpawnOptions broken = shell("true");
    broken.workingDirectory = "/nonexistent";
    ASSERT_FALSE(spawnProcess(broken));
  }
  EXPECT_EQ(openDescriptors("/proc/self/fd"), before);
  siginfo_t info{};
  EXPECT_NE(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ChildProcessTest, DroppingAnUnwaitedChildReapsItWithoutKillingIt) {
  pid_t exitedPid;
  {
    auto child = spawnProcess(shell("exit 0"));
    ASSERT_TRUE(child);
    exitedPid = child->pid();
    ASSERT_TRUE(eventually([&] { return !child->isRunning(); }));
  }
  EXPECT_TRUE(reaped(exitedPid));

  HeldChild cat = startCat();
  const pid_t runningPid = cat.child.pid();
  { ChildProcess dropped = std::move(cat.child); }
  // Still running and ours to talk to; reaped in the background once done.
  waitUntilEchoing(cat);
  cat.input.writeEnd.reset();
  EXPECT_TRUE(eventually([&] { return reaped(runningPid); }));
}

TEST_F(ChildProcessTest, MoveAssignmentReapsTheChildItReplaces) {
  auto first = spawnProcess(shell("exit 0"));
  auto second = spawnProcess(shell("exit 5"));
  ASSERT_TRUE(first && second);
  const pid_t firstPid = first->pid();
  ASSERT_TRUE(eventually([&] { return !first->isRunning(); }));
  *first = std::move(*second);
  EXPECT_TRUE(reaped(firstPid));
  EXPECT_EQ(first->wait(), 5);
}

class PipeIoTest : public ChildProcessTest {};

TEST_F(PipeIoTest, ReadToEndWithDeadlineTimesOutOnAnOpenPipe) {
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(writeAll(pipe->writeEnd.get(), "partial"));
  auto read = readToEnd(pipe->readEnd.get(), Deadline::after(0.02));
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().code, ETIMEDOUT);

  pipe->writeEnd.reset();
  EXPECT_EQ(readToEnd(pipe->readEnd.get(), Deadline::after(30)).value(), "");
}

TEST_F(PipeIoTest, WritingToAPipeWithoutReaderIsAnError) {
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  pipe->readEnd.reset();
  auto written = writeAll(pipe->writeEnd.get(), "lost");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, EPIPE);
  EXPECT_TRUE(writeAll(pipe->writeEnd.get(), ""));
}

}  // namespace
}  // namespace zefra::platform
