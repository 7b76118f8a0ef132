// The built helper as a process: its resident and proportional memory once
// idle after serving a client, against ssh-agent and gpg-agent in the same
// state; its resident memory at the peak of a large run against the output
// plus the idle size, and idle again afterwards; its threads while 64 runs
// are in progress and once they are over; its threads and memory after
// 10,000 connect, ping, close cycles. This program is signed by the build,
// so the helper serves it.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "built_helper.h"
#include "client/remote_proxy.h"
#include "codesign/signing.h"
#include "platform/environment.h"
#include "platform/process/capture.h"
#include "platform/process/child_process.h"
#include "support/process_state.h"
#include "tools/catalogue.h"

namespace zefra::bench {
namespace {

using namespace std::chrono_literals;

// With what the memory figures need besides.
struct Helper : BuiltHelper {
  // Once the pool's threads have left, its idle work (handing freed memory
  // back, paging out the signature checks' code) is done.
  void awaitIdlePool() const {
    testing::eventually([this] { return testing::poolThreads(pid()) == 0; }, 30s);
  }
  void resetPeak() const { std::ofstream("/proc/" + std::to_string(pid()) + "/clear_refs") << "5"; }
  std::size_t children() const {
    std::size_t count = 0;
    std::string tasks = "/proc/" + std::to_string(pid()) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::ifstream file(task.path() / "children");
      for (pid_t pid; file >> pid;) ++count;
    }
    return count;
  }
};

// Resident and proportional set of a process, in MiB.
struct Footprint {
  double rss = 0;
  double pss = 0;
};
Footprint footprint(pid_t pid) {
  Footprint size;
  std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("Rss:", 0) == 0) size.rss = std::stod(line.substr(4)) / 1024.0;
    if (line.rfind("Pss:", 0) == 0) size.pss = std::stod(line.substr(4)) / 1024.0;
  }
  return size;
}
bool mapsFile(pid_t pid, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/maps");
  for (std::string line; std::getline(file, line);) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

// Runs a program to its end; its standard output.
std::string output(const std::string& program, std::vector<std::string> arguments,
                   const std::vector<std::string>& extraEnvironment = {}) {
  platform::CaptureOptions options;
  options.spawn.executable = program;
  options.spawn.arguments = std::move(arguments);
  auto environment = platform::environmentEntries(platform::processEnvironment());
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  options.spawn.environment = std::move(environment);
  options.inputFromPipe = false;
  options.captureStandardError = false;  // a daemon that detached keeps it open
  options.deadline = base::Deadline::after(30);
  auto captured = platform::captureProcess(options);
  return captured ? std::string(captured->standardOutput.view()) : "";
}

// The number after `key` in `text`, 0 when there is none.
pid_t numberAfter(const std::string& text, const std::string& key) {
  const auto at = text.find(key);
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + key.size());
}

// ssh-agent and gpg-agent as a session starts them (they detach, which
// leaves the library pages their parent touched behind), each measured
// after answering one client; nothing when one is not installed.
std::optional<Footprint> sshAgentFootprint(const std::string& dir) {
  if (access("/usr/bin/ssh-agent", X_OK) != 0) return std::nullopt;
  const std::string socket = dir + "/ssh-agent.socket";
  const pid_t pid =
      numberAfter(output("/usr/bin/ssh-agent", {"-s", "-a", socket}), "SSH_AGENT_PID=");
  if (pid <= 0) return std::nullopt;
  output("/usr/bin/ssh-add", {"-l"}, {"SSH_AUTH_SOCK=" + socket});
  std::this_thread::sleep_for(300ms);
  const auto size = footprint(pid);
  ::kill(pid, SIGTERM);
  return size;
}
std::optional<Footprint> gpgAgentFootprint(const std::string& dir) {
  if (access("/usr/bin/gpg-agent", X_OK) != 0) return std::nullopt;
  const std::string home = dir + "/gnupg";
  std::filesystem::create_directories(home);
  std::filesystem::permissions(home, std::filesystem::perms::owner_all);
  output("/usr/bin/gpg-agent", {"--homedir", home, "--daemon"});
  const pid_t pid =
      numberAfter(output("/usr/bin/gpg-connect-agent",
                         {"--homedir", home, "--no-autostart", "GETINFO pid", "/bye"}),
                  "D ");
  if (pid <= 0) return std::nullopt;
  std::this_thread::sleep_for(300ms);
  const auto size = footprint(pid);
  output("/usr/bin/gpg-connect-agent", {"--homedir", home, "--no-autostart", "KILLAGENT", "/bye"});
  return size;
}

// After serving one client and once its pool has gone idle (which hands
// freed memory back), against the two agents a desktop usually runs.
void BM_HelperIdleAfterAClient(benchmark::State& state) {
  for (auto _ : state) {
    Helper helper;  // started and pinged
    helper.awaitIdlePool();
    const pid_t pid = helper.pid();
    const auto idle = footprint(pid);
    state.counters["rss_MiB"] = idle.rss;
    state.counters["pss_MiB"] = idle.pss;
    state.counters["threads"] = static_cast<double>(helper.status("Threads:"));
    state.counters["maps_libarchive"] = mapsFile(pid, "/libarchive.so");
    state.counters["maps_libcrypto"] = mapsFile(pid, "/libcrypto.so");

    const auto ssh = sshAgentFootprint(helper.root);
    const auto gpg = gpgAgentFootprint(helper.root);
    for (const auto& [name, agent] : {std::pair{"ssh_agent", ssh}, std::pair{"gpg_agent", gpg}}) {
      if (!agent) continue;
      state.counters[std::string(name) + "_rss_MiB"] = agent->rss;
      state.counters[std::string(name) + "_pss_MiB"] = agent->pss;
      state.counters["rss_over_" + std::string(name)] = idle.rss / agent->rss;
      state.counters["pss_over_" + std::string(name)] = idle.pss / agent->pss;
    }
  }
}
BENCHMARK(BM_HelperIdleAfterAClient)->Iterations(1)->Unit(benchmark::kMillisecond);

// The first ping from a program the helper has not checked before, once it
// has gone idle (and paged out the signature checks' code), over the same
// right after another such check, with the code resident. Both include
// starting the client.
void BM_UnseenProgramAfterIdle(benchmark::State& state) {
  auto identity =
      codesign::SigningIdentity::load(ZEFRA_BENCH_SIGNING_KEY, ZEFRA_BENCH_SIGNING_CHAIN);
  if (!identity) {
    state.SkipWithError("no signing identity");
    return;
  }
  for (auto _ : state) {
    Helper helper;
    int copies = 0;
    auto signedCopy = [&] {
      const std::string copy = helper.root + "/client-" + std::to_string(++copies);
      std::filesystem::copy_file(ZEFRA_BENCH_CLIENT, copy);
      (void)codesign::signExecutable(copy, *identity, "com.ovak.zefra.bench");
      return copy;
    };
    auto pingTime = [&](const std::string& program) {
      const auto start = std::chrono::steady_clock::now();
      const bool answered =
          output(program, {"ping"}, {"ZEFRA_RUNTIME_DIR=" + helper.root + "/runtime"}) != "";
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - start;
      return answered ? took.count() : -1.0;
    };
    std::vector<double> idle, resident;
    for (int round = 0; round < 7; ++round) {
      const auto first = signedCopy();
      const auto second = signedCopy();
      helper.awaitIdlePool();
      idle.push_back(pingTime(first));
      resident.push_back(pingTime(second));
    }
    std::sort(idle.begin(), idle.end());
    std::sort(resident.begin(), resident.end());
    if (idle.front() < 0 || resident.front() < 0) {
      state.SkipWithError("a signed copy was not served");
      return;
    }
    state.counters["after_idle_ms"] = idle[idle.size() / 2];
    state.counters["resident_ms"] = resident[resident.size() / 2];
    state.counters["ratio"] = idle[idle.size() / 2] / resident[resident.size() / 2];
  }
}
BENCHMARK(BM_UnseenProgramAfterIdle)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HelperMemoryAroundLargeRuns(benchmark::State& state) {
  for (auto _ : state) {
    Helper helper;
    const auto producer = helper.install("/usr/bin/head");
    { auto served = helper.connect(); }
    const double idle = helper.idleMiB();
    state.counters["idle_MiB"] = idle;
    for (long size : {256L << 20, 200'000'000L}) {
      const std::string name = size == 256L << 20 ? "256MiB" : "200MB";
      {
        auto proxy = helper.connect();
        helper.resetPeak();
        auto result =
            proxy->run("big", producer, {"-c", std::to_string(size), "/dev/zero"}, {}, {}, {});
        if (!result || result->standardOutput.size() != static_cast<std::size_t>(size)) {
          state.SkipWithError("the large run failed");
          return;
        }
        const double peak = static_cast<double>(helper.status("VmHWM:")) / 1024.0;
        state.counters["peak_over_output_plus_idle_" + name] =
            peak / (static_cast<double>(size) / (1 << 20) + idle);
      }
      state.counters["idle_after_" + name + "_MiB"] = helper.idleMiB();
    }
  }
}
BENCHMARK(BM_HelperMemoryAroundLargeRuns)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HelperThreadsWith64Runs(benchmark::State& state) {
  for (auto _ : state) {
    Helper helper;
    const auto sleeper = helper.install("/bin/sleep");
    auto proxy = helper.connect();
    std::vector<std::future<void>> done;
    for (int run = 0; run < 64; ++run) {
      auto promise = std::make_shared<std::promise<void>>();
      done.push_back(promise->get_future());
      proxy->runWithRunID("r" + std::to_string(run), sleeper, {"3"}, std::nullopt, std::nullopt, {},
                          [promise](base::Bytes, base::Bytes, int) { promise->set_value(); });
    }
    while (helper.children() < 64) std::this_thread::sleep_for(5ms);
    state.counters["threads_during"] = static_cast<double>(helper.status("Threads:"));
    for (auto& future : done) future.wait();
    std::this_thread::sleep_for(300ms);
    state.counters["threads_after"] = static_cast<double>(helper.status("Threads:"));
    helper.awaitIdlePool();
    state.counters["threads_after_idle_timeout"] = static_cast<double>(helper.status("Threads:"));
  }
}
BENCHMARK(BM_HelperThreadsWith64Runs)->Iterations(1)->Unit(benchmark::kMillisecond);

// 64 clients sharing 10,000 cycles; the figures a moment after the last and
// once idle threads have had time to leave, against the idle start.
void BM_HelperAfterConnectPingCloseChurn(benchmark::State& state) {
  for (auto _ : state) {
    Helper helper;
    { auto served = helper.connect(); }
    const double idle = helper.idleMiB();
    const long idleThreads = helper.status("Threads:");
    std::atomic<bool> churning{true};
    std::atomic<long> peakThreads{idleThreads};
    std::thread sampler([&] {
      while (churning) {
        peakThreads = std::max(peakThreads.load(), helper.status("Threads:"));
        std::this_thread::sleep_for(2ms);
      }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    std::atomic<int> cycles{0};
    for (int client = 0; client < 64; ++client) {
      clients.emplace_back([&] {
        while (cycles++ < 10'000) {
          if (!helper.connect()) ++failures;
        }
      });
    }
    for (auto& client : clients) client.join();
    churning = false;
    sampler.join();
    if (failures > 0) {
      state.SkipWithError("some cycles failed");
      return;
    }
    state.counters["idle_MiB"] = idle;
    state.counters["threads_idle"] = static_cast<double>(idleThreads);
    state.counters["threads_peak"] = static_cast<double>(peakThreads.load());
    state.counters["rss_after_MiB"] = helper.idleMiB();
    state.counters["threads_after"] = static_cast<double>(helper.status("Threads:"));
    helper.awaitIdlePool();
    const double settled = helper.idleMiB();
    state.counters["rss_settled_MiB"] = settled;
    state.counters["rss_settled_over_idle"] = settled / idle;
    state.counters["threads_settled"] = static_cast<double>(helper.status("Threads:"));
  }
}
BENCHMARK(BM_HelperAfterConnectPingCloseChurn)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zefra::bench

BENCHMARK_MAIN();
