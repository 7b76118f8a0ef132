#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using namespace std::chrono_literals;

class RunTest : public ToolFixture {};

TEST_F(RunTest, StatusesInputAndRefusals) {
  const auto tool = freeTool();
  writeTool(tool,
            R"(case "$1" in three) echo bad >&2; exit 3;; kill) kill -9 $$;; *) wc -c;; esac)");
  auto three = run(tool, {"three"});
  EXPECT_EQ(three.status, 3);
  EXPECT_EQ(three.err, "bad\n");
  EXPECT_EQ(run(tool, {"kill"}).status, 9);
  // Absent and empty input both end at once.
  EXPECT_EQ(run(tool).out, "0\n");
  EXPECT_EQ(run(tool, {}, std::string()).out, "0\n");
  EXPECT_EQ(run(tool, {}, std::string("abc")).out, "3\n");

  auto noDirectory = run(tool, {}, std::nullopt, home_ + "/no/such/dir");
  EXPECT_EQ(noDirectory.status, 126);
  EXPECT_EQ(noDirectory.err.rfind("Zefra Helper: Could not change to the working directory", 0), 0u)
      << noDirectory.err;

  writeTool("not-a-tool", "exit 0");
  for (const std::string& name : {std::string("not-a-tool"), freeTool(1), std::string("Pandoc ")}) {
    auto result = run(name);
    EXPECT_EQ(result.status, 127);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Zefra Helper: '" + name + "' is not installed or not allowed.");
  }
}

// exec takes C strings: each of these would otherwise run something other
// than what was asked (an argument cut at the NUL, a second PATH entry).
TEST_F(RunTest, RequestsThatCannotBePassedOnUnchangedAreRefused) {
  const auto tool = freeTool();
  const std::string marker = home_ + "/started";
  writeTool(tool, "touch '" + marker + "'");
  using namespace std::string_literals;
  struct Row {
    std::vector<std::string> arguments;
    std::optional<std::string> cwd;
    xpc::Environment environment;
    std::string problem;
  };
  const Row rows[] = {
      {{"ok", "a\0b"s}, {}, {}, "argument 2 contains a NUL byte"},
      {{}, home_ + "\0/x"s, {}, "the working directory contains a NUL byte"},
      {{}, {}, {{"X", "1\0 2"s}}, "the value of the environment variable 'X' contains a NUL"},
      {{},
       {},
       {{"PATH=/evil:/x", "1"}},
       "the environment variable name 'PATH=/evil:/x' contains '='"},
      {{}, {}, {{"", "1"}}, "an environment variable has an empty name"},
      {{}, {}, {{"A\0B"s, "1"}}, "the environment variable name 'A\\0B' contains a NUL byte"},
  };
  for (const auto& row : rows) {
    auto result = run(tool, row.arguments, std::nullopt, row.cwd, row.environment);
    EXPECT_EQ(result.status, 126) << row.problem;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Zefra Helper: " + row.problem, 0), 0u) << result.err;
    EXPECT_FALSE(fs::exists(marker)) << row.problem;
  }
  EXPECT_EQ(run(tool, {"a b"}, std::nullopt, std::nullopt, {{"X", "="}}).status, 0);
  EXPECT_TRUE(fs::exists(marker));
}

TEST_F(RunTest, PathIsLedByTheSearchDirectories) {
  const auto tool = freeTool();
  writeTool(tool, R"(printf '%s|%s|%s' "$PATH" "$ZEFRA_TEST_VAR" "$HOME")");
  std::string leading;
  for (const auto& directory : makeSearchDirectories(home_)) leading += directory + ":";

  auto callerPath = run(tool, {}, std::nullopt, std::nullopt, {{"PATH", "/caller/bin"}});
  EXPECT_EQ(callerPath.out.substr(0, callerPath.out.find('|')), leading + "/caller/bin");

  auto helperPath = run(tool);
  EXPECT_EQ(helperPath.out.substr(0, helperPath.out.find('|')), leading + getenv("PATH"));

  auto replaced = run(tool, {}, std::nullopt, std::nullopt, {{"HOME", "/elsewhere"}});
  EXPECT_EQ(replaced.out.substr(replaced.out.rfind('|')), "|/elsewhere");
  EXPECT_EQ(helperPath.out.substr(helperPath.out.rfind('|') + 1), getenv("HOME"));

  auto emptyPath = run(tool, {}, std::nullopt, std::nullopt, {{"PATH", ""}});
  EXPECT_EQ(emptyPath.out.substr(0, emptyPath.out.find('|')), leading);

  std::string saved = getenv("PATH");
  unsetenv("PATH");
  auto neither = run(tool);
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(neither.out.substr(0, neither.out.find('|')), leading + "/usr/bin:/bin");
}

TEST_F(RunTest, LargeOutputAndInputArriveWhole) {
  const auto tool = freeTool();
  // 8 MiB on each stream at once, then echo the whole input back.
  writeTool(tool, R"(case "$1" in
    both) head -c 8388608 /dev/zero & head -c 8388608 /dev/zero >&2; wait;;
    echo) cat;;
    ignore) exit 0;;
  esac)");
  auto both = run(tool, {"both"});
  EXPECT_EQ(both.out.size(), 8388608u);
  EXPECT_EQ(both.err.size(), 8388608u);
  // Sizes at and beside the storage's growth steps.
  for (std::size_t size : {65535u, 65536u, 65537u, 131072u, 1048577u}) {
    std::string input(size, 'y');
    input.back() = 'z';
    EXPECT_TRUE(run(tool, {"echo"}, input).out == input) << size;
  }

  std::string input(3 << 20, 'x');
  for (std::size_t i = 0; i < input.size(); i += 4099) input[i] = static_cast<char>(i);
  auto echoed = run(tool, {"echo"}, input);
  EXPECT_EQ(echoed.out.size(), input.size());
  EXPECT_TRUE(echoed.out == input);

  // The tool leaves without reading: the write fails, the helper carries on.
  auto ignored = run(tool, {"ignore"}, input);
  EXPECT_EQ(ignored.status, 0);
}

TEST_F(RunTest, ToolsStartWithDefaultSignalsAndOnlyTheirPipes) {
  const auto tool = freeTool();
  writeTool(tool,
            "yes | head -1; grep -E '^Sig(Blk|Ign)' /proc/self/status; exec ls /proc/self/fd");
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  int stray = open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  auto result = run(tool);
  close(stray);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // ls's own fd 3 is the directory it lists.
  EXPECT_EQ(result.out, "y\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n0\n1\n2\n3\n");
}

TEST_F(RunTest, BackgroundHolderOfTheOutputDelaysTheReply) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/release";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "(read line < '" + fifo + "'; echo late) & echo early");
  auto reply = startRun(service(), "bg", tool);
  EXPECT_EQ(reply.wait_for(200ms), std::future_status::timeout);
  std::ofstream(fifo) << "go\n";
  auto result = reply.get();
  EXPECT_EQ(result.out, "early\nlate\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(RunTest, CancelBeforeLaunchEndsTheRunWithoutInput) {
  const auto tool = freeTool();
  const std::string marker = home_ + "/ran";
  writeTool(tool, "cat > '" + marker + "'; exit 0");
  service().cancelWithRunID("early");
  service().cancelWithRunID("early");  // a set: the second changes nothing
  auto result = startRun(service(), "early", tool, {}, std::string("input")).get();
  EXPECT_TRUE(result.status == 15 || result.status == 9) << result.status;
  std::ifstream written(marker);
  std::string content((std::istreambuf_iterator<char>(written)), {});
  EXPECT_EQ(content, "");
  // The record was used up: the same ID runs normally now.
  EXPECT_EQ(startRun(service(), "early", tool, {}, std::string("x")).get().status, 0);
}

// The client was killed: the run goes on to its end, as before, but what the
// tool writes from then on is read and dropped, and what was kept goes.
TEST_F(RunTest, ARunWhoseConnectionHasGoneKeepsNothing) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/release", done = home_ + "/done";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "head -c 4194304 /dev/zero; read line < '" + fifo +
                      "'; head -c 4194304 /dev/zero; head -c 65536 /dev/zero >&2; : > '" + done +
                      "'");
  auto reply = startRun(service(), "gone", tool);
  service().connectionInvalidated();
  std::ofstream(fifo) << "go\n";
  auto result = reply.get();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(fs::exists(done)) << "the run was cut short";
  EXPECT_EQ(result.out.size() + result.err.size(), 0u);
}

// One connection cannot take every thread or hold memory without end: past
// its bounds a run is refused at once, saying why, a cancel of a run that
// never started is forgotten oldest first, and whatever it sends, a ping
// still answers.
TEST_F(RunTest, AConnectionsRunsAndCancelsAreBounded) {
  const auto tool = freeTool();
  // Runs given "wait" hold on until the test lets go of this lock.
  const std::string gate = home_ + "/gate";
  auto hold = [&] {
    base::UniqueFd fd(::open(gate.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_EQ(::flock(fd.get(), LOCK_EX), 0);
    return fd;
  };
  base::UniqueFd held = hold();
  writeTool(tool, "[ \"$1\" = wait ] && flock -s '" + gate + "' true; exit 0");
  std::vector<std::future<RunResult>> waiting;
  for (std::size_t i = 0; i < kMaxRunsInProgress; ++i) {
    waiting.push_back(startRun(service(), "w" + std::to_string(i), tool, {"wait"}));
  }
  auto refused = startRun(service(), "over", tool).get();
  EXPECT_EQ(refused.status, 126);
  EXPECT_EQ(refused.err,
            "Zefra Helper: this connection already has 64 runs in progress, the "
            "most it may have; nothing was run.");
  std::promise<std::string> pinged;
  service().pingWithReply([&](std::string version) { pinged.set_value(version); });
  EXPECT_FALSE(pinged.get_future().get().empty());
  held.reset();
  for (auto& run : waiting) EXPECT_EQ(run.get().status, 0);
  held = hold();

  // Requests held by runs in progress are bounded by their bytes too; the
  // input is reserved address space, never touched.
  const std::size_t large = kMaxRunRequestBytes / 2 + 1;
  void* space = mmap(nullptr, large, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  xpc::Bytes input(std::shared_ptr<void>(space, [large](void* p) { munmap(p, large); }),
                   static_cast<const char*>(space), large);
  std::vector<std::future<RunResult>> big;
  for (const char* id : {"big1", "big2"}) {
    auto promise = std::make_shared<std::promise<RunResult>>();
    big.push_back(promise->get_future());
    service().runWithRunID(id, tool, {"wait"}, input, std::nullopt, {},
                           [promise](xpc::Bytes out, xpc::Bytes err, int status) {
                             promise->set_value({out.str(), err.str(), status});
                           });
  }
  const auto second = big[1].get();
  EXPECT_EQ(second.status, 126);
  EXPECT_TRUE(second.err.ends_with("this one would take them past 256 MiB; nothing was run."))
      << second.err;
  held.reset();
  EXPECT_EQ(big[0].get().status, 0);
  held = hold();

  // Cancels: the oldest are forgotten past the count, and a run ID beyond the
  // bytes alone is not kept at all; the log says so once.
  platform::ScopedLogCapture log;
  const std::string huge(kMaxRememberedCancelBytes + 1, 'h');
  service().cancelWithRunID(huge);
  for (std::size_t i = 0; i <= kMaxRememberedCancels; ++i) {
    service().cancelWithRunID("c" + std::to_string(i));
  }
  const std::string newest = "c" + std::to_string(kMaxRememberedCancels);
  EXPECT_EQ(startRun(service(), huge, tool).get().status, 0);
  EXPECT_EQ(startRun(service(), "c0", tool).get().status, 0);
  EXPECT_EQ(startRun(service(), newest, tool, {"wait"}).get().status, 15);
  EXPECT_EQ(log.lines().size(), 1u);
  held.reset();
}

TEST_F(RunTest, TwoRunsUnderOneIdStayCancellable) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/first";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, R"(: > ")" + home_ + R"(/$1-started"; if [ "$1" = first ]; then read line < ')" +
                      fifo + R"('; else exec sleep 600; fi)");
  auto started = [&](const std::string& run) {
    return zefra::testing::eventually([&] { return fs::exists(home_ + "/" + run + "-started"); });
  };
  // One after the other, so the second registration replaces the first.
  auto first = startRun(service(), "same", tool, {"first"});
  ASSERT_TRUE(started("first"));
  auto second = startRun(service(), "same", tool, {"second"});
  ASSERT_TRUE(started("second"));
  std::ofstream(fifo) << "go\n";
  EXPECT_EQ(first.get().status, 0);
  // The first run's end must not take the second out of reach of a cancel.
  service().cancelWithRunID("same");
  EXPECT_EQ(second.get().status, 15);
}

TEST_F(RunTest, ManyRunsLeakNothing) {
  const auto tool = freeTool();
  writeTool(tool, R"(if [ "$1" = slow ]; then exec sleep 600; fi; echo ok)");
  auto countEntries = [](const char* path) {
    int count = 0;
    DIR* dir = opendir(path);
    while (readdir(dir)) ++count;
    closedir(dir);
    return count;
  };
  auto countFds = [&] { return countEntries("/proc/self/fd"); };
  auto countThreads = [&] { return countEntries("/proc/self/task"); };
  platform::setPoolIdleTimeoutForTesting(100ms);
  std::atomic<int> idleSpells{0};
  platform::setPoolIdleAction([&idleSpells] { ++idleSpells; });
  run(tool);  // warms up the lazily opened descriptors
  // Waits out the delayed SIGKILL passes and the pool's idle threads; a
  // worker that has signed off may take a moment to leave the kernel.
  int threadsBefore = -1;
  auto settle = [&] {
    for (auto deadline = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
      auto stats = platform::poolStats();
      if (stats.threads == 0 && stats.delayed == 0 && !stats.timerThread &&
          (threadsBefore < 0 || countThreads() <= threadsBefore)) {
        return;
      }
    }
  };
  settle();
  const int fdsBefore = countFds();
  threadsBefore = countThreads();
  const int spellsBefore = idleSpells;

  constexpr int kRuns = 2000;
  std::vector<std::future<RunResult>> replies;
  for (int i = 0; i < kRuns; ++i) {
    const bool cancel = i % 50 == 0;
    replies.push_back(
        startRun(service(), "run" + std::to_string(i), tool, {cancel ? "slow" : "fast"}));
    if (cancel) service().cancelWithRunID("run" + std::to_string(i));
    if (replies.size() >= 16) {
      replies.front().get();
      replies.erase(replies.begin());
    }
  }
  for (auto& reply : replies) reply.get();
  settle();
  EXPECT_EQ(countFds(), fdsBefore);
  // At most as many: a worker counted before may have left the kernel since.
  EXPECT_LE(countThreads(), threadsBefore);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left, zombie or not
  // Where the helper hands freed memory back: once the burst is over.
  EXPECT_GT(idleSpells, spellsBefore);
  platform::setPoolIdleAction(nullptr);
  platform::setPoolIdleTimeoutForTesting(2000ms);
}

}  // namespace
}  // namespace zefra::tools::testing
