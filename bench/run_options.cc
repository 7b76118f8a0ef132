// The run with options against the first run operation, in the same run:
// 256 MiB streamed to the client library against the same kept in one
// reply; a trivial run through each operation; a trivial run in a cgroup of
// its own, and one confined, each against the same run without; and how
// soon a streamed chunk reaches the client after the tool wrote it.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "compare.h"
#include "tools/catalogue.h"
#include "tools/run_containment.h"

namespace zefra::bench {
namespace {

constexpr char kStampOption[] = "--stamp";
constexpr int kStamps = 5;

std::string self;  // this program, which is also the stamping tool

std::int64_t monotonicNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The tool: writes the monotonic time right before each write, 5 ms apart.
int stamp() {
  for (int i = 0; i < kStamps; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::string line = std::to_string(monotonicNanos()) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) return 1;
  }
  return 0;
}

// A catalogue name free of system copies, made to run `body` in the bench home.
std::string installScript(BenchServer& server, const std::string& body) {
  for (auto name : tools::allowedTools) {
    std::string tool(name);
    if (access(("/usr/bin/" + tool).c_str(), F_OK) == 0 ||
        access(("/usr/local/bin/" + tool).c_str(), F_OK) == 0) {
      continue;
    }
    const std::string path = server.bin() + "/" + tool;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return tool;
  }
  return "";
}

xpc::RunOptions streaming() {
  xpc::RunOptions options;
  options.stream = true;
  return options;
}

void BM_StreamedOverKept256MiB(benchmark::State& state) {
  BenchServer server;
  const auto tool = installScript(server, "exec head -c 268435456 /dev/zero");
  auto proxy = server.connect();
  std::atomic<std::size_t> streamed = 0;
  xpc::RunOutput count([&](int, base::Bytes chunk) { streamed += chunk.size(); });
  compareInterleaved(
      state,
      [&] {
        streamed = 0;
        auto outcome =
            proxy->run("s", tool, {}, std::nullopt, std::nullopt, {}, streaming(), count);
        return outcome && streamed == (256u << 20);
      },
      [&] {
        return proxy->run("k", tool, {}, std::nullopt, std::nullopt, {})->standardOutput.size();
      });
  state.counters["rate_vs_kept"] = 1.0 / state.counters["ratio"];
}
BENCHMARK(BM_StreamedOverKept256MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);

void trivialRun(benchmark::State& state, xpc::RunOptions options) {
  BenchServer server;
  const auto tool = installScript(server, "exec /bin/true");
  auto proxy = server.connect();
  compareInterleaved(
      state,
      [&] {
        return proxy->run("o", tool, {}, std::nullopt, std::nullopt, {}, options)->exitStatus;
      },
      [&] { return proxy->run("r", tool, {}, std::nullopt, std::nullopt, {})->status; });
}
void BM_TrivialRunWithOptionsOverRun(benchmark::State& state) {
  trivialRun(state, {});
}
BENCHMARK(BM_TrivialRunWithOptionsOverRun)->UseManualTime()->Unit(benchmark::kMicrosecond);
// As the command-line client asks: streamed, ended with the connection.
void BM_TrivialStreamedRunOverRun(benchmark::State& state) {
  xpc::RunOptions options = streaming();
  options.cancelOnDisconnect = true;
  trivialRun(state, options);
}
BENCHMARK(BM_TrivialStreamedRunOverRun)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A trivial run in a cgroup of its own against the same run where runs get
// none (the helper's cgroups below a folder that is none), each through the
// run with options. Needs a cgroup the process may make cgroups in.
void BM_TrivialRunInOwnCgroupOverWithout(benchmark::State& state) {
  const auto cgroups = platform::RunCgroupParent::locate();
  if (!cgroups.available()) {
    state.SkipWithError(cgroups.unavailableReason().c_str());
    return;
  }
  BenchServer server;
  const auto none = platform::RunCgroupParent::at(server.bin());
  const auto tool = installScript(server, "exec /bin/true");
  auto proxy = server.connect();
  auto runIn = [&](const platform::RunCgroupParent& parent) {
    tools::useRunCgroupParentForTesting(parent);
    return proxy->run("c", tool, {}, std::nullopt, std::nullopt, {}, {})->exitStatus;
  };
  compareInterleaved(
      state, [&] { return runIn(cgroups); }, [&] { return runIn(none); });
  tools::useRunCgroupParentForTesting(cgroups);
}
BENCHMARK(BM_TrivialRunInOwnCgroupOverWithout)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A trivial run confined (writing in one folder and its own TMPDIR, no
// network) against the same run unconfined.
void BM_TrivialConfinedRunOverUnconfined(benchmark::State& state) {
  BenchServer server;
  const auto tool = installScript(server, "exec /bin/true");
  auto proxy = server.connect();
  xpc::RunOptions confined;
  confined.confine = {server.bin()};
  confined.noNetwork = true;
  compareInterleaved(
      state,
      [&] {
        return proxy->run("c", tool, {}, std::nullopt, std::nullopt, {}, confined)->exitStatus;
      },
      [&] { return proxy->run("u", tool, {}, std::nullopt, std::nullopt, {}, {})->exitStatus; });
}
BENCHMARK(BM_TrivialConfinedRunOverUnconfined)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Microseconds from the tool's write to the chunk's handler in the client.
void BM_ChunkLatency(benchmark::State& state) {
  BenchServer server;
  const auto tool = installScript(server, "exec '" + self + "' " + kStampOption);
  auto proxy = server.connect();
  std::vector<double> first, later;
  std::mutex mu;
  for (auto _ : state) {
    int seen = 0;
    xpc::RunOutput measure([&](int, base::Bytes chunk) {
      const std::int64_t now = monotonicNanos();
      std::lock_guard lock(mu);
      std::string_view text = chunk.view();
      for (auto end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        std::int64_t stamp = 0;
        std::from_chars(text.data(), text.data() + end, stamp);
        (seen++ == 0 ? first : later).push_back(static_cast<double>(now - stamp) / 1000);
        text.remove_prefix(end + 1);
      }
    });
    auto outcome = proxy->run("t", tool, {}, std::nullopt, std::nullopt, {}, streaming(), measure);
    if (!outcome || outcome->exitStatus != 0) state.SkipWithError("the stamping run failed");
  }
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
  };
  auto p90 = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() * 9 / 10];
  };
  state.counters["first_median_us"] = median(first);
  state.counters["first_p90_us"] = p90(first);
  state.counters["later_median_us"] = median(later);
}
BENCHMARK(BM_ChunkLatency)->Unit(benchmark::kMillisecond)->Iterations(200)->UseRealTime();

}  // namespace
}  // namespace zefra::bench

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], zefra::bench::kStampOption) == 0) {
    return zefra::bench::stamp();
  }
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  zefra::bench::self.assign(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
