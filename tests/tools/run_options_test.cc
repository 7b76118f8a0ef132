// The run with options against the tool service itself: what it streams,
// how a deadline, a cancel or the connection's end stops it, and what its
// outcome says.
#include <sys/stat.h>

#include <future>

#include "platform/process/landlock.h"
#include "support/run_chunks.h"
#include "tools/run_containment.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using zefra::testing::eventually;
using zefra::testing::pidIn;
using zefra::testing::processEnded;
using zefra::testing::RunChunks;

class RunOptionsTest : public ToolFixture {
 protected:
  std::future<xpc::RunOutcome> start(const std::string& tool, xpc::RunOptions options,
                                     std::vector<std::string> arguments = {},
                                     xpc::RunOutput output = {}, const std::string& runID = "r") {
    auto promise = std::make_shared<std::promise<xpc::RunOutcome>>();
    auto future = promise->get_future();
    service().runWithOptions(runID, tool, std::move(arguments), std::nullopt, std::nullopt, {},
                             options, std::move(output),
                             [promise](xpc::RunOutcome outcome) { promise->set_value(outcome); });
    return future;
  }
  static xpc::RunOptions streaming() {
    xpc::RunOptions options;
    options.stream = true;
    return options;
  }
};

TEST_F(RunOptionsTest, OutputIsStreamedAsTheToolWritesIt) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/go";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "echo one; read line < '" + fifo + "'; echo two >&2; echo three");
  auto chunks = std::make_shared<RunChunks>();
  auto reply = start(tool, streaming(), {}, chunks->output());
  ASSERT_TRUE(chunks->waitFor([](auto& out, auto&) { return out == "one\n"; }));
  EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  std::ofstream(fifo) << "go\n";
  auto outcome = reply.get();
  // Everything streamed came before the reply, and the reply keeps none of it.
  EXPECT_EQ(chunks->out(), "one\nthree\n");
  EXPECT_EQ(chunks->err(), "two\n");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(outcome.standardOutput.size() + outcome.standardError.size(), 0u);
  EXPECT_GT(outcome.duration, 0.0);
  EXPECT_FALSE(outcome.cancelled || outcome.timedOut || outcome.standardOutputTruncated);
}

TEST_F(RunOptionsTest, TheOutcomeSaysWhatHappened) {
  const auto tool = freeTool();
  writeTool(tool, R"(case "$1" in exit) echo bad >&2; exit 3;; kill) kill -9 $$;; esac)");
  struct Row {
    std::string tool;
    std::vector<std::string> arguments;
    std::optional<int> exitStatus, signal;
    std::optional<xpc::RunFailure> failure;
    std::string message;
  };
  using F = xpc::RunFailure;
  const Row rows[] = {
      {tool, {"exit"}, 3, {}, {}, ""},
      {tool, {"kill"}, {}, 9, {}, ""},
      {freeTool(1), {}, {}, {}, F::kNotAvailable, "'" + freeTool(1) + "' is not installed"},
      {tool, {std::string("a\0b", 3)}, {}, {}, F::kRefused, "argument 1 contains a NUL byte"},
  };
  for (const Row& row : rows) {
    auto outcome = start(row.tool, {}, row.arguments).get();
    EXPECT_EQ(outcome.exitStatus, row.exitStatus) << row.message;
    EXPECT_EQ(outcome.signal, row.signal) << row.message;
    EXPECT_EQ(outcome.failure, row.failure) << row.message;
    EXPECT_EQ(outcome.message.rfind(row.message, 0), 0u) << outcome.message;
  }
  EXPECT_EQ(start(tool, {}, {"exit"}).get().standardError.view(), "bad\n")
      << "kept when not streamed";
  std::promise<xpc::RunOutcome> failed;
  service().runWithOptions("r", tool, {}, std::nullopt, home_ + "/nowhere", {}, {}, {},
                           [&](xpc::RunOutcome outcome) { failed.set_value(outcome); });
  EXPECT_EQ(failed.get_future().get().failure, xpc::RunFailure::kLaunchFailed);
}

// Past the limit, bytes are read and dropped: the tool runs to its end.
TEST_F(RunOptionsTest, AnOutputLimitKeepsOnlyItsShare) {
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
    }
  }
}

// The deadline ends the tool's whole tree, as a cancel does: SIGTERM, and
// SIGKILL 2 s later for what ignores it.
TEST_F(RunOptionsTest, ADeadlineEndsTheToolAndItsDescendants) {
  const auto tool = freeTool();
  writeTool(tool,
            "[ \"$1\" = stubborn ] && trap '' TERM; ( sh -c 'echo $$ > \"$0\"; exec sleep 600' '" +
                home_ + "/grandchild' & wait ) & exec sleep 600");
  for (auto [argument, signal] : {std::pair{"", 15}, std::pair{"stubborn", 9}}) {
    std::filesystem::remove(home_ + "/grandchild");
    xpc::RunOptions options;
    options.timeout = 0.5;
    auto reply = start(tool, options, {argument});
    const pid_t grandchild = pidIn(home_ + "/grandchild");
    auto outcome = reply.get();
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_EQ(outcome.signal, signal) << argument;
    EXPECT_TRUE(eventually([&] { return processEnded(grandchild); }));
  }
}

// A cancel, or the end of the connection for a run that asked for it, ends
// the run's tree and says so; a run launched after the end is ended at once.
TEST_F(RunOptionsTest, ACancelOrTheConnectionsEndStopsTheRun) {
  const auto tool = freeTool();
  writeTool(tool, "echo $$ > \"$1\"; exec sleep 600");
  xpc::RunOptions ending;
  ending.cancelOnDisconnect = true;
  auto cancelled = start(tool, {}, {home_ + "/c"}, {}, "c");
  const pid_t cancelledPid = pidIn(home_ + "/c");
  service().cancelWithRunID("c");
  auto outcome = cancelled.get();
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.signal, 15);

  auto running = start(tool, ending, {home_ + "/d"}, {}, "d");
  const pid_t runningPid = pidIn(home_ + "/d");
  service().connectionInvalidated();
  outcome = running.get();
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.signal, 15);
  outcome = start(tool, ending, {home_ + "/e"}).get();
  EXPECT_TRUE(outcome.cancelled) << "launched after the connection closed";
  EXPECT_TRUE(processEnded(cancelledPid) && processEnded(runningPid));
}

// With a cgroup a cancel ends what left the tree (a setsid daemon) too;
// without one, the parent-link walk still ends the tree itself.
TEST_F(RunOptionsTest, ACancelEndsTheRunsCgroupOrElseItsTree) {
  const auto tool = freeTool();
  writeTool(tool,
            "( setsid sh -c 'echo $$ > \"$0\"; exec sleep 600' \"$1/daemon\" "
            "</dev/null >/dev/null 2>&1 & ); sh -c 'echo $$ > \"$0\"; exec sleep 600' "
            "\"$1/child\" & wait");
  const bool cgroups = runCgroupParent().available();
  for (bool withCgroup : {true, false}) {
    if (withCgroup && !cgroups) continue;
    SCOPED_TRACE(withCgroup ? "in a cgroup" : "without one");
    if (!withCgroup) useRunCgroupParentForTesting(platform::RunCgroupParent::at(home_));
    const std::string files = home_ + "/" + std::to_string(withCgroup);
    std::filesystem::create_directories(files);
    auto reply = start(tool, {}, {files});
    const pid_t daemon = pidIn(files + "/daemon"), child = pidIn(files + "/child");
    ASSERT_GT(daemon * child, 0);
    service().cancelWithRunID("r");
    auto outcome = reply.get();
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.signal, 15);
    EXPECT_TRUE(eventually([&] { return processEnded(child); }));
    if (withCgroup) {
      EXPECT_TRUE(eventually([&] { return processEnded(daemon); }));
    } else {
      EXPECT_FALSE(processEnded(daemon)) << "the walk does not reach what left the tree";
    }
    ::kill(daemon, SIGKILL);
  }
  useRunCgroupParentForTesting(platform::RunCgroupParent::locate());
}

// A confinement that cannot be had refuses the run before the tool starts,
// never running it unconfined.
TEST_F(RunOptionsTest, AConfinementThatCannotBeHadRefusesTheRun) {
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
  EXPECT_FALSE(std::filesystem::exists(bin() + "/" + tool + ".ran"));
}

}  // namespace
}  // namespace zefra::tools::testing
