#include "tools/process_tree.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/pipe_io.h"

namespace zefra::tools {
namespace {

using platform::ProcessTableSnapshot;
using namespace std::chrono_literals;

TEST(DescendantPIDsTest, DeepestLevelFirstEachLevelReversed) {
  // R=10 has A=11 and B=12; A has C=13, B has D=14.
  const ProcessTableSnapshot example = {{1, 0}, {10, 1}, {11, 10}, {12, 10}, {13, 11}, {14, 12}};
  EXPECT_EQ(descendantPIDs(10, example), (std::vector<pid_t>{14, 13, 12, 11}));
  EXPECT_EQ(descendantPIDs(11, example), (std::vector<pid_t>{13}));
  EXPECT_EQ(descendantPIDs(14, example), std::vector<pid_t>{});
  EXPECT_EQ(descendantPIDs(99, example), std::vector<pid_t>{});

  // Siblings keep the table's order, not pid order, and a level lists the
  // children of the level before in that level's order.
  const ProcessTableSnapshot shuffled = {{50, 10}, {10, 1},  {20, 10}, {21, 20}, {51, 50},
                                         {52, 50}, {30, 10}, {53, 51}, {22, 20}};
  // Levels: [50, 20, 30], [51, 52, 21, 22], [53].
  EXPECT_EQ(descendantPIDs(10, shuffled), (std::vector<pid_t>{53, 22, 21, 52, 51, 30, 20, 50}));
}

TEST(DescendantPIDsTest, ParentCyclesInATornSnapshotEndTheWalk) {
  EXPECT_EQ(descendantPIDs(5, {{5, 6}, {6, 5}}), (std::vector<pid_t>{6}));
  EXPECT_EQ(descendantPIDs(7, {{7, 7}, {8, 7}}), (std::vector<pid_t>{8}));
  EXPECT_EQ(descendantPIDs(1, {{1, 3}, {2, 1}, {3, 2}}), (std::vector<pid_t>{3, 2}));
  // Only a hand-made snapshot repeats a pid; the walk still ends.
  const ProcessTableSnapshot repeated = {{10, 1}, {11, 10}, {12, 11}, {11, 12}};
  EXPECT_LE(descendantPIDs(10, repeated).size(), repeated.size());
}

// A tree of proc_tree_stub processes. The test process is a subreaper while
// it lives, so that orphans of the tree come to it and are reaped here.
class ProcessTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override {
    for (auto& [path, pid] : nodes_) {
      if (!statuses_.count(path) && path != "0") {
        (void)platform::signalProcess(pid, SIGKILL);
        reap(path);
      }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // Starts the tree and learns every node's pid; returns once all are set up.
  platform::ChildProcess start(const std::string& shape) {
    auto output = platform::makePipe();
    EXPECT_TRUE(output);
    platform::SpawnOptions options;
    options.executable = ZEFRA_PROC_TREE_STUB;
    options.arguments = {shape};
    options.standardInput = platform::Stdio::nullDevice();
    options.standardOutput = platform::Stdio::fromFd(output->writeEnd.get());
    auto root = platform::spawnProcess(options);
    output->writeEnd.reset();
    EXPECT_TRUE(root) << root.error().message;
    auto report = platform::readToEnd(output->readEnd.get());
    EXPECT_TRUE(report);
    std::istringstream lines(*report);
    std::string path;
    pid_t pid;
    while (lines >> path >> pid) nodes_[path] = pid;
    EXPECT_EQ(nodes_["0"], root->pid());
    return std::move(*root);
  }

  pid_t pid(const std::string& path) { return nodes_.at(path); }

  // Waits for a descendant to become our child (its parent gone) and to end.
  int reap(const std::string& path) {
    const pid_t node = nodes_.at(path);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      int status = 0;
      pid_t got = waitpid(node, &status, WNOHANG);
      if (got == node) {
        int result = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        statuses_[path] = result;
        return result;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "process " << path << " did not end";
        return -1;
      }
      std::this_thread::sleep_for(2ms);
    }
  }

 private:
  std::map<std::string, pid_t> nodes_;
  std::map<std::string, int> statuses_;
};

TEST_F(ProcessTreeTest, RealTreeIsListedDeepestFirst) {
  platform::ChildProcess root = start("d(d(d),d(d))");
  // The table lists by pid; the two children were started in this order.
  ASSERT_LT(pid("0.0"), pid("0.1"));
  EXPECT_EQ(descendantPIDs(root.pid()),
            (std::vector<pid_t>{pid("0.1.0"), pid("0.0.0"), pid("0.1"), pid("0.0")}));
  EXPECT_EQ(descendantPIDs(pid("0.1")), (std::vector<pid_t>{pid("0.1.0")}));
  ASSERT_TRUE(root.signal(SIGKILL));
  EXPECT_EQ(root.wait(), SIGKILL);
}

TEST_F(ProcessTreeTest, TermThenKillReachesTheWholeTree) {
  // The task ignores SIGTERM, its first child catches it and exits 7 while
  // leaving a grandchild that ignores it too; the rest die of SIGTERM.
  platform::ChildProcess root = start("i(c(i),d(d))");
  auto signalled = terminateProcessTree(root);
  EXPECT_EQ(signalled,
            (std::vector<pid_t>{pid("0.1.0"), pid("0.0.0"), pid("0.1"), pid("0.0"), root.pid()}));

  EXPECT_EQ(reap("0.0"), 7);
  EXPECT_EQ(reap("0.1"), SIGTERM);
  EXPECT_EQ(reap("0.1.0"), SIGTERM);
  // The survivors of the first pass, the task through its pidfd.
  EXPECT_EQ(reap("0.0.0"), SIGKILL);
  EXPECT_EQ(root.wait(), SIGKILL);
}

TEST_F(ProcessTreeTest, TaskThatHonoursSigtermEndsWithItsOwnStatus) {
  platform::ChildProcess root = start("c(d)");
  terminateProcessTree(root);
  EXPECT_EQ(root.wait(), 7);
  EXPECT_EQ(reap("0.0"), SIGTERM);
}

TEST_F(ProcessTreeTest, TaskThatIsNoLongerRunningIsLeftAlone) {
  platform::ChildProcess root = start("c(d)");
  ASSERT_TRUE(root.signal(SIGKILL));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (root.isRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_FALSE(root.isRunning());
  EXPECT_TRUE(terminateProcessTree(root).empty());
  EXPECT_EQ(root.wait(), SIGKILL);
}

}  // namespace
}  // namespace zefra::tools
