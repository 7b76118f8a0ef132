// Running tools through the tool service: the plain run's status, the run
// with options' outcome and limits, cancels and deadlines, and the ending of
// a whole process tree.
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/log.h"
#include "platform/process/child_process.h"
#include "platform/process/landlock.h"
#include "support/process_state.h"
#include "support/run_chunks.h"
#include "support/text.h"
#include "tools/process_tree.h"
#include "tools/run_containment.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::ProcessTableSnapshot;
using zefra::testing::eventually;
using zefra::testing::fileText;
using zefra::testing::pidIn;
using zefra::testing::processEnded;
using zefra::testing::RunChunks;

class RunTest : public ToolFixture {
 protected:
  std::future<xpc::RunOutcome> start(const std::string& tool, xpc::RunOptions options,
                                     Request request = {}, xpc::RunOutput output = {}) {
    auto promise = std::make_shared<std::promise<xpc::RunOutcome>>();
    auto future = promise->get_future();
    service().runWithOptions("r", tool, std::move(request.arguments), std::move(request.input),
                             std::move(request.cwd), std::move(request.environment), options,
                             std::move(output),
                             [promise](xpc::RunOutcome outcome) { promise->set_value(outcome); });
    return future;
  }
};

// The search directories lead PATH; the rest is the caller's, else the
// helper's, else the system's default. HOME is the caller's to replace.
TEST_F(RunTest, PathIsLedByTheSearchDirectories) {
  const auto tool = freeTool();
  writeTool(tool, R"(printf '%s|%s' "$PATH" "$HOME")");
  std::string leading;
  for (const auto& directory : makeSearchDirectories(home_)) leading += directory + ":";
  const std::string path = getenv("PATH"), home = getenv("HOME");
  const std::pair<xpc::Environment, std::string> rows[] = {
      {{{"PATH", "/caller/bin"}}, leading + "/caller/bin|" + home},
      {{}, leading + path + "|" + home},
      {{{"PATH", ""}}, leading + "|" + home},
      {{{"HOME", "/elsewhere"}}, leading + path + "|/elsewhere"},
  };
  for (const auto& [environment, expected] : rows) {
    EXPECT_EQ(run(tool, {{}, {}, {}, environment}).out, expected);
  }
  unsetenv("PATH");
  const auto neither = run(tool).out;
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(neither, leading + "/usr/bin:/bin|" + home);
}

TEST_F(RunTest, LargeOutputAndInputArriveWhole) {
  const auto tool = freeTool();
  // 8 MiB on each stream at once, then echo the whole input back.
  writeTool(tool, R"(case "$1" in
    both) head -c 8388608 /dev/zero & head -c 8388608 /dev/zero >&2; wait;;
    echo) cat;;
    ignore) exit 0;;
  esac)");
  auto both = run(tool, {{"both"}});
  EXPECT_EQ(both.out.size(), 8388608u);
  EXPECT_EQ(both.err.size(), 8388608u);
  // Sizes at and beside the storage's growth steps, and 3 MiB of every byte.
  for (std::size_t size : {65535u, 65536u, 65537u, 131072u, 1048577u, 3145728u}) {
    std::string input(size, 'y');
    for (std::size_t i = 0; i < size; i += 4099) input[i] = static_cast<char>(i);
    input.back() = 'z';
    EXPECT_TRUE(run(tool, {{"echo"}, xpc::Bytes(input)}).out == input) << size;
  }
  // The tool leaves without reading: the write fails, the helper carries on.
  EXPECT_EQ(run(tool, {{"ignore"}, xpc::Bytes(std::string(3 << 20, 'x'))}).status, 0);
}

TEST_F(RunTest, BackgroundHolderOfTheOutputDelaysTheReply) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/release";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "(read line < '" + fifo + "'; echo late) & echo early");
  auto reply = startRun("bg", tool);
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
  const int status = startRun("early", tool, {{}, xpc::Bytes("input")}).get().status;
  EXPECT_TRUE(status == 15 || status == 9) << status;
  EXPECT_EQ(fileText(marker), "");
  // The record was used up: the same ID runs normally now.
  EXPECT_EQ(startRun("early", tool, {{}, xpc::Bytes("x")}).get().status, 0);
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
  auto reply = startRun("gone", tool);
  service().connectionInvalidated();
  std::ofstream(fifo) << "go\n";
  auto result = reply.get();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(fs::exists(done)) << "the run was cut short";
  EXPECT_EQ(result.out.size() + result.err.size(), 0u);
}

// One connection cannot hold memory without end: a cancel of a run that never
// started is forgotten oldest first, a run ID beyond the bytes alone is not
// kept at all (the log says so once), and past the bytes that runs in
// progress may hold a run is refused at once, saying why.
TEST_F(RunTest, AConnectionsCancelsAndRequestsAreBounded) {
  const auto tool = freeTool();
  writeTool(tool, "[ \"$1\" = wait ] && flock -s '" + gate() + "' true; exit 0");
  base::UniqueFd held = holdGate();
  platform::ScopedLogCapture log;
  const std::string huge(kMaxRememberedCancelBytes + 1, 'h');
  service().cancelWithRunID(huge);
  for (std::size_t i = 0; i <= kMaxRememberedCancels; ++i) {
    service().cancelWithRunID("c" + std::to_string(i));
  }
  const std::string newest = "c" + std::to_string(kMaxRememberedCancels);
  EXPECT_EQ(startRun(huge, tool).get().status, 0);
  EXPECT_EQ(startRun("c0", tool).get().status, 0);
  EXPECT_EQ(startRun(newest, tool, {{"wait"}}).get().status, 15);
  EXPECT_EQ(log.lines().size(), 1u);

  // The input is reserved address space, never touched.
  const std::size_t large = kMaxRunRequestBytes / 2 + 1;
  void* space = mmap(nullptr, large, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  xpc::Bytes input(std::shared_ptr<void>(space, [large](void* p) { munmap(p, large); }),
                   static_cast<const char*>(space), large);
  auto first = startRun("big1", tool, {{"wait"}, input});
  const auto second = startRun("big2", tool, {{"wait"}, input}).get();
  EXPECT_EQ(second.status, 126);
  EXPECT_TRUE(second.err.ends_with("this one would take them past 256 MiB; nothing was run."))
      << second.err;
  held.reset();
  EXPECT_EQ(first.get().status, 0);
}

TEST_F(RunTest, TwoRunsUnderOneIdStayCancellable) {
  const auto tool = freeTool();
  writeTool(tool, R"(: > ")" + home_ + R"(/$1-started"; if [ "$1" = first ]; then flock -s ')" +
                      gate() + R"(' true; else exec sleep 600; fi)");
  auto started = [&](const std::string& run) {
    return zefra::testing::eventually([&] { return fs::exists(home_ + "/" + run + "-started"); });
  };
  base::UniqueFd held = holdGate();
  // One after the other, so the second registration replaces the first.
  auto first = startRun("same", tool, {{"first"}});
  ASSERT_TRUE(started("first"));
  auto second = startRun("same", tool, {{"second"}});
  ASSERT_TRUE(started("second"));
  held.reset();
  EXPECT_EQ(first.get().status, 0);
  // The first run's end must not take the second out of reach of a cancel.
  service().cancelWithRunID("same");
  EXPECT_EQ(second.get().status, 15);
}

// An outcome holds exactly one of an exit status, a signal and a failure;
// the plain run folds it into its status, 127 for a tool not to be had and
// 126 for any other failure. exec takes C strings: a request it would change
// (an argument cut at its NUL, a second PATH entry) is refused before the
// tool starts.
TEST_F(RunTest, TheOutcomeSaysWhatHappenedAndThePlainStatusFoldsIt) {
  const auto tool = freeTool();
  const std::string marker = bin() + "/" + tool + ".ran";
  writeTool(tool,
            R"(case $1 in exit) echo bad >&2; exit 3;; kill) kill -9 $$;; count) exec wc -c;; esac
    touch "$0.ran")");
  using F = xpc::RunFailure;
  const struct {
    std::string tool;
    Request request;
    int status;
    std::optional<int> exitStatus, signal;
    std::optional<xpc::RunFailure> failure;
    std::string said;  // the failure's message (how it starts), else what the tool wrote
  } rows[] = {
      {tool, {{"exit"}}, 3, 3, {}, {}, "bad\n"},
      {tool, {{"kill"}}, 9, {}, 9, {}, ""},
      // Absent and empty input both end at once.
      {tool, {{"count"}}, 0, 0, {}, {}, "0\n"},
      {tool, {{"count"}, xpc::Bytes()}, 0, 0, {}, {}, "0\n"},
      {freeTool(1), {}, 127, {}, {}, F::kNotAvailable, "'" + freeTool(1) + "' is not installed"},
      {tool, {{"ok", "a\0b"s}}, 126, {}, {}, F::kRefused, "argument 2 contains a NUL byte"},
      {tool, {{}, {}, home_ + "\0/x"s}, 126, {}, {}, F::kRefused, "the working directory contains"},
      {tool, {{}, {}, home_ + "/nowhere"}, 126, {}, {}, F::kLaunchFailed, "Could not change to"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.said);
    auto outcome = start(row.tool, {}, row.request).get();
    EXPECT_EQ(outcome.exitStatus, row.exitStatus);
    EXPECT_EQ(outcome.signal, row.signal);
    EXPECT_EQ(outcome.failure, row.failure);
    const std::string out = outcome.standardOutput.str(), err = outcome.standardError.str();
    if (row.failure) {
      EXPECT_EQ(outcome.message.rfind(row.said, 0), 0u) << outcome.message;
    } else {
      EXPECT_EQ(out + err, row.said);
    }
    auto plain = run(row.tool, row.request);
    EXPECT_EQ(plain.status, row.status);
    EXPECT_EQ(plain.out, out);
    EXPECT_EQ(plain.err, row.failure ? "Zefra Helper: " + outcome.message : err);
  }
  const std::pair<xpc::Environment, const char*> environments[] = {
      {{{"X", "1\0 2"s}}, "the value of the environment variable 'X' contains a NUL"},
      {{{"PATH=/evil:/x", "1"}}, "the environment variable name 'PATH=/evil:/x' contains '='"},
      {{{"", "1"}}, "an environment variable has an empty name"},
      {{{"A\0B"s, "1"}}, "the environment variable name 'A\\0B' contains a NUL byte"},
  };
  for (const auto& [environment, problem] : environments) {
    auto outcome = start(tool, {}, {{}, {}, {}, environment}).get();
    EXPECT_EQ(outcome.failure, F::kRefused) << problem;
    EXPECT_EQ(outcome.message.rfind(problem, 0), 0u) << outcome.message;
  }
  EXPECT_FALSE(fs::exists(marker));
  // What exec passes on unchanged runs.
  EXPECT_EQ(start(tool, {}, {{"a b"}, {}, {}, {{"X", "="}}}).get().exitStatus, 0);
  EXPECT_TRUE(fs::exists(marker));
}

// Past the limit, bytes are read and dropped: the tool runs to its end.
// Streamed output reaches the caller only, never the reply.
TEST_F(RunTest, AnOutputLimitKeepsOnlyItsShare) {
  const auto tool = freeTool();
  writeTool(tool, "head -c 3000000 /dev/zero; printf tail >&2");
  for (bool stream : {false, true}) {
    for (std::uint64_t limit : {0u, 4u, 1000000u}) {
      xpc::RunOptions options;
      options.stream = stream;
      options.outputLimit = limit;
      auto chunks = std::make_shared<RunChunks>();
      auto outcome = start(tool, options, {}, chunks->output()).get();
      const std::string out = stream ? chunks->out() : outcome.standardOutput.str();
      const std::string err = stream ? chunks->err() : outcome.standardError.str();
      EXPECT_EQ(outcome.exitStatus, 0);
      EXPECT_EQ(out, std::string(limit, '\0')) << stream << " " << limit;
      EXPECT_EQ(err, std::string("tail").substr(0, limit));
      EXPECT_TRUE(outcome.standardOutputTruncated);
      EXPECT_EQ(outcome.standardErrorTruncated, limit < 4);
      if (stream) {
        EXPECT_EQ(outcome.standardOutput.size() + outcome.standardError.size(), 0u);
      }
    }
  }
}

// A deadline, a cancel, or the end of the connection for a run that asked
// for it ends the tool's whole tree: SIGTERM, and SIGKILL 2 s later for what
// ignores it; through the run's cgroup, or else by the walk of parent links.
// A run launched after the end is ended at once.
TEST_F(RunTest, ADeadlineACancelOrTheConnectionsEndEndsTheWholeTree) {
  const auto tool = freeTool();
  writeTool(tool,
            "[ \"$2\" = stubborn ] && trap '' TERM; ( sh -c 'echo $$ > \"$0\"; exec sleep 600' "
            "\"$1\" & wait ) & exec sleep 600");
  enum End { kDeadline, kStubbornDeadline, kCancel, kDisconnect };
  xpc::RunOptions options;
  options.cancelOnDisconnect = true;
  int runs = 0;
  for (bool withCgroup : {true, false}) {
    if (withCgroup && !runCgroupParent().available()) continue;
    SCOPED_TRACE(withCgroup ? "in a cgroup" : "without one");
    if (!withCgroup) useRunCgroupParentForTesting(platform::RunCgroupParent::at(home_));
    service_.reset();
    // The connection's end last: nothing runs on it after that.
    for (End end : {kDeadline, kStubbornDeadline, kCancel, kDisconnect}) {
      const std::string file = home_ + "/grandchild" + std::to_string(++runs);
      const bool deadline = end == kDeadline || end == kStubbornDeadline;
      options.timeout = deadline ? 0.5 : 0;
      auto reply = start(tool, options, {{file, end == kStubbornDeadline ? "stubborn" : ""}});
      const pid_t grandchild = pidIn(file);
      ASSERT_GT(grandchild, 0);
      if (end == kCancel) service().cancelWithRunID("r");
      if (end == kDisconnect) service().connectionInvalidated();
      auto outcome = reply.get();
      EXPECT_EQ(outcome.timedOut, deadline) << end;
      EXPECT_EQ(outcome.cancelled, !deadline) << end;
      EXPECT_EQ(outcome.signal, end == kStubbornDeadline ? 9 : 15) << end;
      EXPECT_TRUE(eventually([&] { return processEnded(grandchild); })) << end;
    }
    options.timeout = 0;
    EXPECT_TRUE(start(tool, options, {{home_ + "/late"}}).get().cancelled);
  }
  useRunCgroupParentForTesting(platform::RunCgroupParent::locate());
}

// A confinement that cannot be had refuses the run before the tool starts,
// never running it unconfined.
TEST_F(RunTest, AConfinementThatCannotBeHadRefusesTheRun) {
  const auto tool = freeTool();
  writeTool(tool, "touch \"$0.ran\"");
  const int abi = platform::landlockAbi();
  const struct {
    int abi;
    std::vector<std::string> confine;
    bool noNetwork;
    std::string says;
  } rows[] = {
      {0, {home_}, false, "does not offer Landlock"},
      {3, {}, true, "cannot keep a run off the network (Landlock ABI 3; 4 is needed)"},
      {abi, {"relative"}, false, "\u201crelative\u201d, is not an absolute path"},
      {abi, {home_ + "/missing"}, false, "No such file or directory"},
  };
  for (const auto& row : rows) {
    if (row.abi > abi) continue;
    platform::overrideLandlockAbiForTesting(row.abi);
    xpc::RunOptions options;
    options.confine = row.confine;
    options.noNetwork = row.noNetwork;
    auto outcome = start(tool, options).get();
    EXPECT_EQ(outcome.failure, xpc::RunFailure::kRefused) << row.says;
    EXPECT_NE(outcome.message.find(row.says), std::string::npos) << outcome.message;
    EXPECT_TRUE(outcome.message.ends_with("; nothing was run.")) << outcome.message;
  }
  platform::overrideLandlockAbiForTesting(-1);
  EXPECT_FALSE(fs::exists(bin() + "/" + tool + ".ran"));
}

// Levels deepest first, each in reverse table order; parent cycles in a torn
// snapshot end the walk. That the signals reach a real tree, SIGKILL after
// SIGTERM, is the deadline test above, with and without a cgroup.
TEST(ProcessTreeWalkTest, DescendantsComeDeepestLevelFirstAndCyclesEndTheWalk) {
  // Levels [50, 20, 30], [51, 52, 21, 22], [53]: table order, not pid order.
  const ProcessTableSnapshot table = {{50, 10}, {10, 1},  {20, 10}, {21, 20}, {51, 50},
                                      {52, 50}, {30, 10}, {53, 51}, {22, 20}};
  EXPECT_EQ(descendantPIDs(10, table), (std::vector<pid_t>{53, 22, 21, 52, 51, 30, 20, 50}));
  EXPECT_EQ(descendantPIDs(99, table), std::vector<pid_t>{});
  EXPECT_EQ(descendantPIDs(5, {{5, 6}, {6, 5}}), (std::vector<pid_t>{6}));
  EXPECT_EQ(descendantPIDs(1, {{1, 3}, {2, 1}, {3, 2}}), (std::vector<pid_t>{3, 2}));
}

// A shell that forks as fast as it can: a child born between the walk and
// the signals would outlive the tree. Each round must leave nobody behind.
TEST(ProcessTreeChurnTest, AForkingTreeLeavesNoProcessBehind) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto ourChildren = [] {
    std::vector<pid_t> pids;
    std::ifstream file("/proc/self/task/" + std::to_string(gettid()) + "/children");
    for (pid_t pid; file >> pid;) pids.push_back(pid);
    return pids;
  };
  for (int round = 0; round < 5; ++round) {
    platform::SpawnOptions options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", "while :; do sleep 1000 & done"};
    auto shell = platform::spawnProcess(options).value();
    ASSERT_TRUE(eventually([&] { return descendantPIDs(shell.pid()).size() >= 20; }));
    EXPECT_FALSE(terminateProcessTree(shell).empty());
    shell.wait();
    // The listed ones die of SIGTERM; anyone else would sleep on.
    EXPECT_TRUE(eventually([&] {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      return ourChildren().empty();
    })) << ourChildren().size()
        << " processes outlived their tree in round " << round;
    for (pid_t pid : ourChildren()) (void)platform::signalProcess(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace zefra::tools::testing
