// The built helper as a process: time from exec to the first ping answered,
// its resident memory once idle, and a trivial run as a host makes it. This
// program is signed by the build, so the helper serves it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "built_helper.h"
#include "compare.h"
#include "spawn_baseline.h"

namespace zefra::bench {
namespace {

using Clock = std::chrono::steady_clock;

void BM_ExecToFirstPing(benchmark::State& state) {
  double rss = 0;
  for (auto _ : state) {
    BuiltHelper helper{BuiltHelper::Unstarted{}};
    auto start = Clock::now();
    helper.start();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    rss = helper.idleMiB();  // served one client, nothing pending
  }
  state.counters["idle_rss_MiB"] = rss;
}
BENCHMARK(BM_ExecToFirstPing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// The CPU time of all the threads a process has had, and how often they
// slept and were woken again, summed over the threads it has now.
struct ProcessCost {
  double cpuSeconds = 0;
  long wakeUps = 0;
};
ProcessCost processCost(pid_t pid) {
  ProcessCost cost;
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream stat(dir + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), {});
  // Fields 14 and 15, user and system time, counted after the command name.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stol(field);
  }
  cost.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  for (const auto& task : std::filesystem::directory_iterator(dir + "/task")) {
    cost.wakeUps += testing::procNumber(std::stoi(task.path().filename()), "status",
                                        "voluntary_ctxt_switches:");
  }
  return cost;
}

// A trivial run as a host makes it, the helper in a process of its own (its
// own I/O thread, sender gate and orphan reaper), against the same spawn
// made directly. Also the helper's CPU time and its threads' wake-ups per
// run.
void BM_TrivialRunInHelperProcessOverDirectSpawn(benchmark::State& state) {
  BuiltHelper helper;
  const auto tool = helper.install("/bin/true");
  auto proxy = helper.connect();
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  char* envp[] = {nullptr};
  const ProcessCost before = processCost(helper.pid());
  compareInterleaved(
      state, [&] { return proxy->run("bench", tool, {}, std::nullopt, std::nullopt, {})->status; },
      [&] { return spawnDrainAndWait("/bin/true", argv, envp); });
  const ProcessCost after = processCost(helper.pid());
  const auto runs = static_cast<double>(state.iterations());
  state.counters["helper_cpu_us"] = (after.cpuSeconds - before.cpuSeconds) * 1e6 / runs;
  state.counters["helper_wakeups"] = static_cast<double>(after.wakeUps - before.wakeUps) / runs;
}
BENCHMARK(BM_TrivialRunInHelperProcessOverDirectSpawn)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zefra::bench

BENCHMARK_MAIN();
