// Costs of the process layer against the bare system calls it wraps.
//
// BM_SpawnBaseline / BM_SpawnChildProcess: /bin/true with three pipes, both
// outputs drained, reaped. BM_ProcScanBare / BM_DescendantPIDs: one pass over
// /proc reading every stat file, and the whole descendant walk built on it.
// The ...Over... pairs run both sides alternately and report their ratio.
// BM_PipeThroughput: readToEnd against a writer thread, default pipe size and
// 1 MiB pipes, for small and large writes.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "compare.h"
#include "platform/files/pipe_io.h"
#include "platform/process/child_process.h"
#include "spawn_baseline.h"
#include "tools/process_tree.h"

namespace {

using namespace zefra;

char kTrue[] = "/bin/true";
char kPath[] = "PATH=/usr/bin:/bin";

bool spawnBaseline() {
  char* argv[] = {kTrue, nullptr};
  char* envp[] = {kPath, nullptr};
  return bench::spawnDrainAndWait(kTrue, argv, envp) == 0;
}

bool spawnChildProcess() {
  platform::SpawnOptions options;
  options.executable = kTrue;
  options.environment = {kPath};
  return bench::spawnChildAndDrain(std::move(options));
}

// The least any snapshot can do: open and read every /proc/<pid>/stat.
std::size_t scanProcBare() {
  char line[512];
  char path[300];
  std::size_t processes = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::strcpy(path, entry->d_name);
    std::strcat(path, "/stat");
    int fd = openat(dirfd(proc), path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    processes += read(fd, line, sizeof(line)) > 0;
    close(fd);
  }
  closedir(proc);
  return processes;
}

std::size_t walkFromInit() {
  return tools::descendantPIDs(1).size();
}

void BM_SpawnBaseline(benchmark::State& state) {
  for (auto _ : state) {
    if (!spawnBaseline()) state.SkipWithError("spawn failed");
  }
}
BENCHMARK(BM_SpawnBaseline)->UseRealTime();

void BM_SpawnChildProcess(benchmark::State& state) {
  for (auto _ : state) {
    if (!spawnChildProcess()) state.SkipWithError("spawn failed");
  }
}
BENCHMARK(BM_SpawnChildProcess)->UseRealTime();

void BM_ProcScanBare(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(scanProcBare());
}
BENCHMARK(BM_ProcScanBare)->UseRealTime();

void BM_DescendantPIDs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(walkFromInit());
}
BENCHMARK(BM_DescendantPIDs)->UseRealTime();

void BM_SpawnChildProcessOverBaseline(benchmark::State& state) {
  zefra::bench::compareInterleaved(state, spawnChildProcess, spawnBaseline);
}
BENCHMARK(BM_SpawnChildProcessOverBaseline)->UseManualTime();

void BM_DescendantPIDsOverBareScan(benchmark::State& state) {
  zefra::bench::compareInterleaved(state, walkFromInit, scanProcBare);
}
BENCHMARK(BM_DescendantPIDsOverBareScan)->UseManualTime();

void BM_PipeThroughput(benchmark::State& state) {
  const int pipeSize = static_cast<int>(state.range(0));
  const std::size_t chunk = static_cast<std::size_t>(state.range(1));
  constexpr std::size_t kTotal = 32 << 20;
  const std::string block(chunk, 'x');
  for (auto _ : state) {
    auto pipe = platform::makePipe();
    if (pipeSize > 0 && fcntl(pipe->writeEnd.get(), F_SETPIPE_SZ, pipeSize) < 0) {
      state.SkipWithError("F_SETPIPE_SZ failed");
      break;
    }
    std::thread writer([&] {
      for (std::size_t sent = 0; sent < kTotal; sent += chunk) {
        (void)platform::writeAll(pipe->writeEnd.get(), block);
      }
      pipe->writeEnd.reset();
    });
    auto text = platform::readToEnd(pipe->readEnd.get());
    writer.join();
    if (!text || text->size() < kTotal) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTotal);
}
BENCHMARK(BM_PipeThroughput)
    ->ArgNames({"pipe", "write"})
    ->Args({0, 4096})
    ->Args({1 << 20, 4096})
    ->Args({0, 65536})
    ->Args({1 << 20, 65536})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
