#include "tools/process_tree.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/pipe_io.h"

namespace zefra::tools {
namespace {

using platform::ProcessTableSnapshot;
using namespace std::chrono_literals;

TEST(DescendantPIDsTest, DeepestLevelFirstEachLevelInReverseTableOrder) {
  // R=10 has A=11 and B=12; A has C=13, B has D=14.
  const ProcessTableSnapshot example = {{1, 0}, {10, 1}, {11, 10}, {12, 10}, {13, 11}, {14, 12}};
  EXPECT_EQ(descendantPIDs(10, example), (std::vector<pid_t>{14, 13, 12, 11}));
  EXPECT_EQ(descendantPIDs(14, example), std::vector<pid_t>{});
  EXPECT_EQ(descendantPIDs(99, example), std::vector<pid_t>{});

  // Levels [50, 20, 30], [51, 52, 21, 22], [53]: table order, not pid order.
  const ProcessTableSnapshot shuffled = {{50, 10}, {10, 1},  {20, 10}, {21, 20}, {51, 50},
                                         {52, 50}, {30, 10}, {53, 51}, {22, 20}};
  EXPECT_EQ(descendantPIDs(10, shuffled), (std::vector<pid_t>{53, 22, 21, 52, 51, 30, 20, 50}));

  // Parent cycles in a torn snapshot end the walk.
  EXPECT_EQ(descendantPIDs(5, {{5, 6}, {6, 5}}), (std::vector<pid_t>{6}));
  EXPECT_EQ(descendantPIDs(1, {{1, 3}, {2, 1}, {3, 2}}), (std::vector<pid_t>{3, 2}));
}

// A tree of proc_tree_stub processes. The test process is a subreaper while
// it lives, so that orphans of the tree come to it and are reaped here.
class ProcessTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override {
    for (auto& [path, pid] : nodes_) {  // what a failed test left running
      if (!ended_.count(path)) (void)platform::signalProcess(pid, SIGKILL);
    }
    if (root_) reapAll();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // Starts the tree (nodes as proc_tree_stub takes them) once all are set up.
  platform::ChildProcess& start(std::vector<std::string> nodes) {
    auto output = platform::makePipe();
    platform::SpawnOptions options;
    options.executable = ZEFRA_PROC_TREE_STUB;
    options.arguments = std::move(nodes);
    options.standardOutput = platform::Stdio::fromFd(output->writeEnd.get());
    root_.emplace(platform::spawnProcess(options).value());
    output->writeEnd.reset();
    std::istringstream lines(platform::readToEnd(output->readEnd.get()).value());
    std::string path;
    pid_t pid;
    while (lines >> path >> pid) nodes_[path] = pid;
    EXPECT_EQ(nodes_["0"], root_->pid());
    return *root_;
  }

  pid_t pid(const std::string& path) { return nodes_.at(path); }

  // How each node ended, by path; the others come to us once their parents end.
  std::map<std::string, int> reapAll() {
    ended_["0"] = root_->wait();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (ended_.size() < nodes_.size() && std::chrono::steady_clock::now() < deadline) {
      for (auto& [path, node] : nodes_) {
        int status = 0;
        if (!ended_.count(path) && waitpid(node, &status, WNOHANG) == node) {
          ended_[path] = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        }
      }
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(ended_.size(), nodes_.size()) << "some process of the tree did not end";
    return ended_;
  }

 private:
  std::optional<platform::ChildProcess> root_;
  std::map<std::string, pid_t> nodes_;
  std::map<std::string, int> ended_;
};

TEST_F(ProcessTreeTest, TermThenKillReachesTheWholeRealTreeDeepestFirst) {
  // The task and one grandchild ignore SIGTERM; one child catches it and
  // exits 7, which must stay how it ended; the rest die of SIGTERM.
  platform::ChildProcess& root = start({"0i", "0.0c", "0.0.0i", "0.1d", "0.1.0d"});
  // The table lists by pid; the two children were started in this order.
  ASSERT_LT(pid("0.0"), pid("0.1"));
  EXPECT_EQ(terminateProcessTree(root),
            (std::vector<pid_t>{pid("0.1.0"), pid("0.0.0"), pid("0.1"), pid("0.0"), root.pid()}));
  EXPECT_EQ(
      reapAll(),
      (std::map<std::string, int>{
          {"0", SIGKILL}, {"0.0", 7}, {"0.0.0", SIGKILL}, {"0.1", SIGTERM}, {"0.1.0", SIGTERM}}));
}

TEST_F(ProcessTreeTest, TaskThatIsNoLongerRunningIsLeftAlone) {
  platform::ChildProcess& root = start({"0c", "0.0d"});
  ASSERT_TRUE(root.signal(SIGKILL));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (root.isRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_FALSE(root.isRunning());
  EXPECT_TRUE(terminateProcessTree(root).empty());
}

}  // namespace
}  // namespace zefra::tools
