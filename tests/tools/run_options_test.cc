// The run with options against the tool service itself: what its outcome
// says, what an output limit keeps, and how a deadline, a cancel or the
// connection's end stops it.
#include "platform/process/landlock.h"
#include "support/process_state.h"
#include "support/run_chunks.h"
#include "tools/run_containment.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using namespace std::string_literals;
using zefra::testing::eventually;
using zefra::testing::pidIn;
using zefra::testing::processEnded;
using zefra::testing::RunChunks;

class RunOptionsTest : public ToolFixture {
 protected:
  std::future<xpc::RunOutcome> start(const std::string& tool, xpc::RunOptions options,
                                     Request request = {}, xpc::RunOutput output = {}) {
    auto promise = std::make_shared<std::promise<xpc::RunOutcome>>();
    auto future = promise->get_future();
    service().runWithOptions("r", tool, std::move(request.arguments), std::nullopt,
                             std::move(request.cwd), std::move(request.environment), options,
                             std::move(output),
                             [promise](xpc::RunOutcome outcome) { promise->set_value(outcome); });
    return future;
  }
};

// An outcome holds exactly one of an exit status, a signal and a failure.
// exec takes C strings: a request it would change (an argument cut at its
// NUL, a second PATH entry) is refused before the tool starts.
TEST_F(RunOptionsTest, TheOutcomeSaysWhatHappened) {
  const auto tool = freeTool();
  const std::string marker = home_ + "/started";
  writeTool(tool,
            R"(case "$1" in exit) exit 3;; kill) kill -9 $$;; *) touch ')" + marker + "';; esac");
  using F = xpc::RunFailure;
  const struct {
    std::string tool;
    Request request;
    std::optional<int> exitStatus, signal;
    std::optional<xpc::RunFailure> failure;
    std::string message;  // how it starts
  } rows[] = {
      {tool, {{"exit"}}, 3, {}, {}, ""},
      {tool, {{"kill"}}, {}, 9, {}, ""},
      {freeTool(1), {}, {}, {}, F::kNotAvailable, "'" + freeTool(1) + "' is not installed"},
      {tool, {{"ok", "a\0b"s}}, {}, {}, F::kRefused, "argument 2 contains a NUL byte"},
      {tool,
       {{}, {}, home_ + "\0/x"s},
       {},
       {},
       F::kRefused,
       "the working directory contains a NUL"},
      {tool, {{}, {}, home_ + "/nowhere"}, {}, {}, F::kLaunchFailed, ""},
  };
  for (const auto& row : rows) {
    auto outcome = start(row.tool, {}, row.request).get();
    EXPECT_EQ(outcome.exitStatus, row.exitStatus) << row.message;
    EXPECT_EQ(outcome.signal, row.signal) << row.message;
    EXPECT_EQ(outcome.failure, row.failure) << row.message;
    EXPECT_EQ(outcome.message.rfind(row.message, 0), 0u) << outcome.message;
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
TEST_F(RunOptionsTest, ADeadlineACancelOrTheConnectionsEndEndsTheWholeTree) {
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
  EXPECT_FALSE(fs::exists(bin() + "/" + tool + ".ran"));
}

}  // namespace
}  // namespace zefra::tools::testing
