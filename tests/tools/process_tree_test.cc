#include "tools/process_tree.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/process/child_process.h"
#include "support/eventually.h"

namespace zefra::tools {
namespace {

using platform::ProcessTableSnapshot;
using zefra::testing::eventually;

// Levels deepest first, each in reverse table order; parent cycles in a torn
// snapshot end the walk. That the signals reach a real tree, SIGKILL after
// SIGTERM, is the run's test (run_options_test), with and without a cgroup.
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
}  // namespace zefra::tools
