// An inventory of eleven installed, cached tools against the stat calls it
// cannot avoid.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "bench_server.h"
#include "compare.h"
#include "tools/catalogue.h"

namespace zefra::bench {
namespace {

void BM_CachedInventoryOverStats(benchmark::State& state) {
  BenchServer server;
  // Every catalogue tool as a stand-in that counts its launches.
  const std::string counter = server.bin() + "/../launches";
  std::vector<std::string> paths;
  for (auto name : tools::allowedTools) {
    const auto path = server.bin() + "/" + std::string(name);
    std::ofstream(path) << "#!/bin/sh\necho x >> '" << counter << "'\necho " << name << " 1.0\n";
    chmod(path.c_str(), 0755);
    paths.push_back(path);
  }
  auto service = server.newService();
  auto inventory = [&] {
    std::promise<std::size_t> listed;
    service->toolInventoryWithReply([&](xpc::Inventory result) { listed.set_value(result.size()); });
    return listed.get_future().get();
  };
  auto launches = [&] {
    std::ifstream in(counter);
    return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
  };
  inventory();  // probes and caches every version
  const auto launchesBefore = launches();
  compareInterleaved(state, inventory, [&] {
    struct stat st;
    int found = 0;
    for (const auto& path : paths) found += stat(path.c_str(), &st) == 0;
    return found;
  });
  state.counters["tools"] = static_cast<double>(inventory());
  state.counters["launches"] = static_cast<double>(launches() - launchesBefore);
}
BENCHMARK(BM_CachedInventoryOverStats)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The same through a connection, as Zefra Writer sees it.
void BM_CachedInventoryThroughTheHelper(benchmark::State& state) {
  BenchServer server;
  for (auto name : tools::allowedTools) {
    const auto path = server.bin() + "/" + std::string(name);
    std::ofstream(path) << "#!/bin/sh\necho " << name << " 1.0\n";
    chmod(path.c_str(), 0755);
  }
  auto proxy = server.connect();
  (void)proxy->toolInventory();  // probes and caches every version
  for (auto _ : state) benchmark::DoNotOptimize(proxy->toolInventory()->size());
}
BENCHMARK(BM_CachedInventoryThroughTheHelper)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace zefra::bench

BENCHMARK_MAIN();
