// The built helper as a process: time from exec to the first ping answered,
// and its resident memory once idle. This program is signed by the build,
// so the helper serves it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "client/remote_proxy.h"
#include "platform/environment.h"
#include "platform/process/child_process.h"

namespace zefra::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Sandbox {
  Sandbox() {
    char pattern[] = "/tmp/zefra-bench-XXXXXX";
    root = mkdtemp(pattern);
    mkdir((root + "/runtime").c_str(), 0700);
  }
  ~Sandbox() { std::filesystem::remove_all(root); }
  std::string root;
};

platform::ChildProcess startHelper(const Sandbox& sandbox) {
  auto env = platform::processEnvironment();
  env["ZEFRA_RUNTIME_DIR"] = sandbox.root + "/runtime";
  env["XDG_CONFIG_HOME"] = sandbox.root + "/config";
  env.erase("ZEFRA_LAUNCH_EVENT");
  platform::SpawnOptions options;
  options.executable = ZEFRA_BENCH_HELPER;
  options.environment = platform::environmentEntries(env);
  options.standardInput = platform::Stdio::nullDevice();
  return std::move(platform::spawnProcess(options).value());
}

bool pingOnce(const Sandbox& sandbox) {
  ipc::ConnectOptions options;
  options.runtimeDirectory = sandbox.root + "/runtime";
  auto proxy = client::RemoteProxy::connect("group.com.ovak.zefra.helper", nullptr, options);
  return proxy && (*proxy)->ping();
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void BM_ExecToFirstPing(benchmark::State& state) {
  long rss = 0;
  for (auto _ : state) {
    Sandbox sandbox;
    auto start = Clock::now();
    auto helper = startHelper(sandbox);
    while (!pingOnce(sandbox)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    // Idle: served one client, nothing pending.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    rss = residentKiB(helper.pid());
    (void)helper.signal(SIGTERM);
    helper.wait();
  }
  state.counters["idle_rss_MiB"] = static_cast<double>(rss) / 1024.0;
}
BENCHMARK(BM_ExecToFirstPing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace zefra::bench

BENCHMARK_MAIN();
