// Runs through the helper against doing the same directly.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "bench_server.h"
#include "compare.h"
#include "platform/files/pipe_io.h"
#include "platform/process/child_process.h"
#include "spawn_baseline.h"
#include "tools/catalogue.h"

namespace zefra::bench {
namespace {

constexpr const char* kProducer = "/usr/bin/head";

// A catalogue name free of system copies, linked to `target` in the bench home.
std::string installTool(BenchServer& server, const char* target) {
  for (auto name : tools::allowedTools) {
    std::string tool(name);
    if (access(("/usr/bin/" + tool).c_str(), F_OK) == 0 ||
        access(("/usr/local/bin/" + tool).c_str(), F_OK) == 0) {
      continue;
    }
    std::filesystem::remove(server.bin() + "/" + tool);
    std::filesystem::create_symlink(target, server.bin() + "/" + tool);
    return tool;
  }
  return "";
}

void BM_TrivialRunOverDirectSpawn(benchmark::State& state) {
  BenchServer server;
  const auto tool = installTool(server, "/bin/true");
  auto proxy = server.connect();
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  char* envp[] = {nullptr};
  compareInterleaved(
      state, [&] { return proxy->run("bench", tool, {}, std::nullopt, std::nullopt, {})->status; },
      [&] { return spawnDrainAndWait("/bin/true", argv, envp); });
}
BENCHMARK(BM_TrivialRunOverDirectSpawn)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The floor under a runner in another process, measured on this machine: one
// socket round trip to a process that only echoes, then the same spawn. Its
// ratio is what any such runner costs at least here.
void BM_RoundTripThenSpawnOverDirectSpawn(benchmark::State& state) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return state.SkipWithError("no socket pair");
  }
  const pid_t echo = ::fork();
  if (echo == 0) {
    ::close(pair[0]);  // else its end never comes
    char byte;
    while (::read(pair[1], &byte, 1) == 1 && ::write(pair[1], &byte, 1) == 1) {
    }
    ::_exit(0);
  }
  ::close(pair[1]);
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  char* envp[] = {nullptr};
  compareInterleaved(
      state,
      [&] {
        char byte = 'x';
        if (::write(pair[0], &byte, 1) != 1 || ::read(pair[0], &byte, 1) != 1) return -1;
        return spawnDrainAndWait("/bin/true", argv, envp);
      },
      [&] { return spawnDrainAndWait("/bin/true", argv, envp); });
  ::close(pair[0]);
  ::waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_RoundTripThenSpawnOverDirectSpawn)->UseManualTime()->Unit(benchmark::kMicrosecond);

// One value handed from one thread to another, as a run's call and reply are
// inside the helper and the client library.
class Mailbox {
 public:
  void put(int value) {
    std::lock_guard lock(mu_);
    value_ = value;
    ready_.notify_one();
  }
  int take() {
    std::unique_lock lock(mu_);
    ready_.wait(lock, [&] { return value_.has_value(); });
    return *std::exchange(value_, std::nullopt);
  }

 private:
  std::mutex mu_;
  std::condition_variable ready_;
  std::optional<int> value_;
};

// The least any runner in another process can do: it reads a byte, spawns
// the same tool with three pipes, drains, reaps and answers. No resolution,
// environment, cgroup or protocol. With 1 the runner's reading thread hands
// the call to a second thread that spawns, as the helper's I/O thread hands
// a run to its pool; with 2 the client's reply also comes through a reading
// thread of its own, as in the client library.
void BM_BareRunnerOverDirectSpawn(benchmark::State& state) {
  const int handOffs = static_cast<int>(state.range(0));
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return state.SkipWithError("no socket pair");
  }
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  char* envp[] = {nullptr};
  auto runAndAnswer = [&] {
    const char status = spawnDrainAndWait("/bin/true", argv, envp) == 0 ? 0 : 1;
    return ::write(pair[1], &status, 1) == 1;
  };
  const pid_t runner = ::fork();
  if (runner == 0) {
    ::close(pair[0]);
    Mailbox calls;
    std::thread worker;
    if (handOffs > 0) {
      worker = std::thread([&] {
        while (calls.take() == 0 && runAndAnswer()) {
        }
      });
    }
    char byte;
    while (::read(pair[1], &byte, 1) == 1) {
      if (handOffs > 0) {
        calls.put(0);
      } else if (!runAndAnswer()) {
        break;
      }
    }
    if (worker.joinable()) {
      calls.put(1);
      worker.join();
    }
    ::_exit(0);
  }
  ::close(pair[1]);
  Mailbox replies;
  std::thread reader;
  if (handOffs > 1) {
    reader = std::thread([&] {
      char byte;
      while (::read(pair[0], &byte, 1) == 1) replies.put(byte);
    });
  }
  compareInterleaved(
      state,
      [&] {
        char byte = 'x';
        if (::write(pair[0], &byte, 1) != 1) return -1;
        if (handOffs > 1) return replies.take();
        return ::read(pair[0], &byte, 1) == 1 ? static_cast<int>(byte) : -1;
      },
      [&] { return spawnDrainAndWait("/bin/true", argv, envp); });
  ::shutdown(pair[0], SHUT_RDWR);
  if (reader.joinable()) reader.join();
  ::close(pair[0]);
  ::waitpid(runner, nullptr, 0);
}
BENCHMARK(BM_BareRunnerOverDirectSpawn)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Reads "helper_us direct_us ratio" from the Python client's run of
// `runtimeDirectory`'s helper (or of its own bare runner, "--bare").
void pythonRuns(benchmark::State& state, const std::string& runtimeDirectory,
                const std::string& tool) {
  const std::string command = std::string("python3 ") + ZEFRA_BENCH_PYTHON_RUN + " " +
                              ZEFRA_BENCH_PROTOCOL_CLIENT_DIR + " " + runtimeDirectory + " " +
                              tool + " /bin/true 400";
  for (auto _ : state) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    double helperUs = 0, directUs = 0, ratio = 0;
    if (!pipe || std::fscanf(pipe.get(), "%lf %lf %lf", &helperUs, &directUs, &ratio) != 3) {
      state.SkipWithError("the Python client did not report");
      return;
    }
    state.SetIterationTime(helperUs / 1e6);
    state.counters["baseline_us"] = directUs;
    state.counters["ratio"] = ratio;
  }
}

// The same from a client in another language, written from the protocol's
// document alone, against that client spawning the tool itself.
void BM_TrivialRunFromPythonOverDirectSpawn(benchmark::State& state) {
  BenchServer server;
  pythonRuns(state, server.runtimeDirectory(), installTool(server, "/bin/true"));
}
BENCHMARK(BM_TrivialRunFromPythonOverDirectSpawn)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1);

// Its floor: a process of the Python client that only spawns and answers.
void BM_BareRunnerFromPythonOverDirectSpawn(benchmark::State& state) {
  pythonRuns(state, "--bare", "-");
}
BENCHMARK(BM_BareRunnerFromPythonOverDirectSpawn)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1);

// 256 MiB of standard output: through the helper into the client's memory,
// against capturing the same producer straight into memory.
void BM_LargeOutputOverDirectCapture(benchmark::State& state) {
  BenchServer server;
  const auto tool = installTool(server, kProducer);
  auto proxy = server.connect();
  const std::string size = std::to_string(256 << 20);
  compareInterleaved(
      state,
      [&] {
        return proxy->run("big", tool, {"-c", size, "/dev/zero"}, std::nullopt, std::nullopt, {})
            ->standardOutput.size();
      },
      [&] {
        auto out = platform::makePipe();
        platform::SpawnOptions options;
        options.executable = kProducer;
        options.arguments = {"-c", size, "/dev/zero"};
        options.standardOutput = platform::Stdio::fromFd(out->writeEnd.get());
        auto child = platform::spawnProcess(options);
        out->writeEnd.reset();
        auto bytes = platform::readToEnd(out->readEnd.get());
        child->wait();
        return bytes->size();
      });
  state.counters["rate_vs_direct"] = 1.0 / state.counters["ratio"];
}
BENCHMARK(BM_LargeOutputOverDirectCapture)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Many runs at once: every one must reply. "errors" counts those that did
// not, or failed; "refused" those a connection turned away past its limit of
// runs in progress, which is their right answer.
void manyRuns(benchmark::State& state, int connections, int runsEach) {
  BenchServer server;
  const auto tool = installTool(server, "/bin/true");
  std::vector<std::shared_ptr<client::RemoteProxy>> proxies;
  for (int i = 0; i < connections; ++i) proxies.push_back(server.connect());
  std::atomic<int> errors = 0, refused = 0;
  for (auto _ : state) {
    std::vector<std::future<void>> done;
    for (auto& proxy : proxies) {
      for (int run = 0; run < runsEach; ++run) {
        auto promise = std::make_shared<std::promise<void>>();
        done.push_back(promise->get_future());
        proxy->runWithRunID("r" + std::to_string(run), tool, {}, std::nullopt, std::nullopt, {},
                            [promise, &errors, &refused](base::Bytes, base::Bytes err, int status) {
                              const bool turnedAway =
                                  err.view().find("runs in progress") != err.view().npos;
                              if (status != 0) ++(turnedAway ? refused : errors);
                              promise->set_value();
                            });
      }
    }
    for (auto& future : done) {
      if (future.wait_for(std::chrono::seconds(120)) != std::future_status::ready) ++errors;
    }
  }
  state.counters["errors"] = errors.load();
  state.counters["refused"] =
      benchmark::Counter(refused.load(), benchmark::Counter::kAvgIterations);
  state.counters["runs"] = connections * runsEach;
}
void BM_200RunsOnOneConnection(benchmark::State& state) {
  manyRuns(state, 1, 200);
}
BENCHMARK(BM_200RunsOnOneConnection)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
void BM_64ConnectionsWith8RunsEach(benchmark::State& state) {
  manyRuns(state, 64, 8);
}
BENCHMARK(BM_64ConnectionsWith8RunsEach)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
}  // namespace zefra::bench

BENCHMARK_MAIN();
