#include "tools/process_tree.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/files/pipe_io.h"

namespace zefra::tools {
namespace {

using platform::ProcessTableSnapshot;
using namespace std::chrono_literals;

// The tree R(A(C), B(D)) of proc_tree_stub: R and C ignore SIGTERM, A exits
// 7 on it, B and D die of it. The test process is a subreaper while it lives,
// so that orphans of the tree come to it and are reaped here.
class ProcessTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto output = platform::makePipe();
    platform::SpawnOptions options;
    options.executable = ZEFRA_PROC_TREE_STUB;
    options.standardOutput = platform::Stdio::fromFd(output->writeEnd.get());
    root_.emplace(platform::spawnProcess(options).value());
    output->writeEnd.reset();
    std::istringstream lines(platform::readToEnd(output->readEnd.get()).value());
    std::string name;
    for (pid_t pid; lines >> name >> pid;) pids_[name] = pid;
    ASSERT_EQ(pids_["R"], root_->pid());
  }
  void TearDown() override {
    for (auto& [name, pid] : pids_) {  // what a failed test left running
      if (!ended_.count(name)) (void)platform::signalProcess(pid, SIGKILL);
    }
    if (root_) reapAll();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // How each process ended, by name; the others come to us once their parents end.
  std::map<std::string, int> reapAll() {
    ended_["R"] = root_->wait();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (ended_.size() < pids_.size() && std::chrono::steady_clock::now() < deadline) {
      for (auto& [name, pid] : pids_) {
        int status = 0;
        if (!ended_.count(name) && waitpid(pid, &status, WNOHANG) == pid) {
          ended_[name] = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        }
      }
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(ended_.size(), pids_.size()) << "some process of the tree did not end";
    return ended_;
  }

  std::optional<platform::ChildProcess> root_;
  std::map<std::string, pid_t> pids_;
  std::map<std::string, int> ended_;
};

// Levels deepest first, each in reverse table order; parent cycles in a torn
// snapshot end the walk.
TEST(ProcessTreeWalkTest, DescendantsComeDeepestLevelFirstAndCyclesEndTheWalk) {
  // Levels [50, 20, 30], [51, 52, 21, 22], [53]: table order, not pid order.
  const ProcessTableSnapshot table = {{50, 10}, {10, 1},  {20, 10}, {21, 20}, {51, 50},
                                      {52, 50}, {30, 10}, {53, 51}, {22, 20}};
  EXPECT_EQ(descendantPIDs(10, table), (std::vector<pid_t>{53, 22, 21, 52, 51, 30, 20, 50}));
  EXPECT_EQ(descendantPIDs(99, table), std::vector<pid_t>{});
  EXPECT_EQ(descendantPIDs(5, {{5, 6}, {6, 5}}), (std::vector<pid_t>{6}));
  EXPECT_EQ(descendantPIDs(1, {{1, 3}, {2, 1}, {3, 2}}), (std::vector<pid_t>{3, 2}));
}

TEST_F(ProcessTreeTest, TermThenKillReachesTheWholeRealTreeDeepestFirst) {
  // The table lists by pid; A and B were started in this order.
  ASSERT_LT(pids_["A"], pids_["B"]);
  std::vector<pid_t> tree = {pids_["D"], pids_["C"], pids_["B"], pids_["A"]};
  EXPECT_EQ(descendantPIDs(root_->pid()), tree);
  tree.push_back(root_->pid());
  EXPECT_EQ(terminateProcessTree(*root_), tree);
  // A ended at SIGTERM, which must stay how it ended.
  EXPECT_EQ(reapAll(),
            (std::map<std::string, int>{
                {"R", SIGKILL}, {"A", 7}, {"B", SIGTERM}, {"C", SIGKILL}, {"D", SIGTERM}}));
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
    while (descendantPIDs(shell.pid()).size() < 20) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(terminateProcessTree(shell).empty());
    shell.wait();
    // The listed ones die of SIGTERM; anyone else would sleep on.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      if (ourChildren().empty()) break;
      std::this_thread::sleep_for(5ms);
    }
    const auto left = ourChildren();
    EXPECT_TRUE(left.empty()) << left.size() << " processes outlived their tree in round " << round;
    for (pid_t pid : left) (void)platform::signalProcess(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace zefra::tools
