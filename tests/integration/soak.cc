// Soak: many clients, thousands of runs of stand-in tools that fork
// grandchildren, with random cancels and random disconnects, against the
// built helper. Checks that every run on a live connection is answered
// exactly once (and right), that a dropped connection answers each of its
// waiting runs once with an error, and that the helper's descriptors,
// threads and memory come back and no tool process outlives its run.
//
//   soak [--clients N] [--runs N] [--seed N] [--rounds N] [--max-seconds N]
//              [--burst SECONDS]
//
// --rounds repeats the whole soak against the same helper, so that memory
// kept by the allocator shows apart from memory that grows. --burst instead
// has the clients connect and ping, each connection on its own, for that
// long, and checks that every connection is answered. Exit status 0 when
// every check holds. This program is signed by the build, so the helper
// serves it; run a copy signed moments before to meet the helper's checks
// of a program changed just now. ctest runs it with the label "soak".
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/remote_proxy.h"
#include "platform/environment.h"
#include "platform/process/child_process.h"
#include "platform/process/process_signals.h"
#include "tools/catalogue.h"

namespace zefra::soak {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kService = "group.com.ovak.zefra.helper";
constexpr int kRunsInFlightPerClient = 2;

struct Options {
  int clients = 64;
  int runs = 10000;
  unsigned seed = 1;
  int maxSeconds = 900;
  int rounds = 1;
  int burstSeconds = 0;
};

// Every tool process carries this variable, so survivors are found by it
// wherever they were reparented.
std::string tagOf(const std::string& root) {
  return "ZEFRA_SOAK_TAG=" + root;
}

// Echoes its input, forks a grandchild that writes to standard error after
// the delay and a subshell that waits for a grandchild of its own, and waits
// for them all. Each stream's content is fixed whatever the timing.
constexpr const char* kStandIn =
    "#!/bin/sh\n"
    "token=$1 delay=$2\n"
    "( sleep \"$delay\"; echo \"grandchild $token\" >&2 ) &\n"
    "( sleep \"$delay\" & wait ) &\n"
    "cat\n"
    "wait\n"
    "echo \"done $token\"\n";

struct Sandbox {
  Sandbox() {
    char pattern[] = "/tmp/zefra-soak-XXXXXX";
    root = mkdtemp(pattern);
    fs::create_directories(root + "/runtime");
    fs::permissions(root + "/runtime", fs::perms::owner_all);
    fs::create_directories(root + "/config");
    fs::create_directories(root + "/home/.local/bin");
  }
  ~Sandbox() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  std::string root;
};

// Catalogue names that no system directory provides, so the stand-ins in
// ~/.local/bin are what the helper resolves.
std::vector<std::string> freeTools() {
  std::vector<std::string> names;
  for (auto name : tools::allowedTools) {
    bool taken = false;
    for (const char* dir : {"/opt/homebrew/bin", "/usr/local/bin", "/opt/local/bin",
                            "/Library/TeX/texbin", "/Applications/quarto/bin", "/usr/bin"}) {
      taken = taken || access((std::string(dir) + "/" + std::string(name)).c_str(), F_OK) == 0;
    }
    if (!taken) names.emplace_back(name);
  }
  return names;
}

struct ProcessFigures {
  long descriptors = -1;
  long threads = -1;
  long residentKiB = -1;
};

long countEntries(const std::string& dir) {
  long count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++count;
  }
  return ec ? -1 : count;
}

ProcessFigures figuresOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessFigures figures;
  figures.descriptors = countEntries(proc + "/fd");
  figures.threads = countEntries(proc + "/task");
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) figures.residentKiB = std::stol(line.substr(6));
  }
  return figures;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Leftovers {
  int processes = 0;       // carrying the tag, zombies included
  int zombies = 0;         // carrying the tag
  int helperZombies = 0;   // any zombie child of the helper
  int helperChildren = 0;  // any live child of the helper
};

Leftovers leftovers(const std::string& tag, pid_t helper) {
  Leftovers found;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string proc = "/proc/" + name;
    const std::string stat = readWhole(proc + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    const char state = stat[close + 2];
    const long parent = std::strtol(stat.c_str() + close + 4, nullptr, 10);
    if (parent == helper) {
      if (state == 'Z') {
        ++found.helperZombies;
      } else {
        ++found.helperChildren;
      }
    }
    // A zombie's environment is gone; its tag is read from nothing, so a
    // zombie of a tool is counted through its parent's tag or the helper.
    const std::string environ = readWhole(proc + "/environ");
    bool tagged = false;
    for (std::size_t at = 0; at < environ.size();) {
      const auto end = environ.find('\0', at);
      if (environ.compare(at, (end == std::string::npos ? environ.size() : end) - at, tag) == 0) {
        tagged = true;
        break;
      }
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (tagged) {
      ++found.processes;
      if (state == 'Z') ++found.zombies;
    }
  }
  closedir(dir);
  return found;
}

// One run as the client sees it.
struct Run {
  std::string id;
  std::string token;
  std::string input;
  bool cancelled = false;
  std::atomic<int> replies{0};
  std::atomic<bool> wrong{false};
};

// One connection. Runs on it are answered by a reply, or (once it closed)
// by one error each.
struct Link {
  std::shared_ptr<client::RemoteProxy> proxy;
  std::atomic<int> errors{0};
  std::atomic<bool> dropped{false};  // closed by us on purpose
  std::vector<std::shared_ptr<Run>> runs;
};

struct Totals {
  std::atomic<long> runs{0};
  std::atomic<long> cancels{0};
  std::atomic<long> disconnects{0};
  std::atomic<long> droppedRuns{0};
  std::atomic<long> failures{0};
  std::mutex mu;
  std::vector<std::string> messages;

  void fail(const std::string& message) {
    if (failures++ < 20) {
      std::lock_guard lock(mu);
      messages.push_back(message);
    }
  }
};

class SoakClient {
 public:
  SoakClient(int index, int quota, unsigned seed, const std::string& runtime,
             const std::vector<std::string>& tools, const std::string& tag, Totals& totals)
      : index_(index),
        quota_(quota),
        random_(seed),
        runtime_(runtime),
        tools_(tools),
        tag_(tag),
        totals_(totals) {}

  void operator()(Clock::time_point deadline) {
    struct Due {
      Clock::time_point at;
      std::shared_ptr<Link> link;
      std::shared_ptr<Run> run;  // null: a disconnect
    };
    std::vector<Due> due;
    while (issued_ < quota_ || inFlight() > 0) {
      if (Clock::now() > deadline) {
        totals_.fail("client " + std::to_string(index_) + " ran out of time with " +
                     std::to_string(inFlight()) + " runs waiting");
        break;
      }
      const auto now = Clock::now();
      for (auto it = due.begin(); it != due.end();) {
        if (it->at > now) {
          ++it;
          continue;
        }
        if (it->run) {
          // A closed connection would answer the cancel with an error.
          if (!it->link->dropped) it->link->proxy->cancelWithRunID(it->run->id);
        } else if (!it->link->dropped.exchange(true)) {
          ++totals_.disconnects;
          it->link->proxy->invalidate();
          if (link_ == it->link) link_.reset();
        }
        it = due.erase(it);
      }
      if (issued_ < quota_ && inFlight() < kRunsInFlightPerClient) {
        if (!link_ && !connect()) break;
        const auto chance = random_() % 100;
        auto run = issue(/*cancelled=*/chance < 15);
        if (chance < 15) {
          ++totals_.cancels;
          due.push_back({now + std::chrono::milliseconds(random_() % 300), link_, run});
        } else if (chance < 18) {
          due.push_back({now + std::chrono::milliseconds(random_() % 300), link_, nullptr});
        }
        continue;
      }
      std::unique_lock lock(mu_);
      cv_.wait_for(lock, 20ms);
    }
    for (auto& link : links_) check(*link);
  }

 private:
  int inFlight() {
    std::lock_guard lock(mu_);
    return inFlight_;
  }
  void settled() {
    {
      std::lock_guard lock(mu_);
      --inFlight_;
    }
    cv_.notify_one();
  }

  bool connect() {
    auto link = std::make_shared<Link>();
    std::weak_ptr<Link> weak = link;
    ipc::ConnectOptions options;
    options.runtimeDirectory = runtime_;
    auto proxy = client::RemoteProxy::connect(
        kService,
        [this, weak](const base::Error&) {
          if (auto link = weak.lock()) ++link->errors;
          settled();
        },
        options);
    if (!proxy) {
      totals_.fail("client " + std::to_string(index_) +
                   " cannot connect: " + proxy.error().message);
      return false;
    }
    link->proxy = *proxy;
    link_ = link;
    links_.push_back(link);
    return true;
  }

  std::shared_ptr<Run> issue(bool cancelled) {
    auto run = std::make_shared<Run>();
    run->cancelled = cancelled;
    const int n = issued_++;
    run->id = "soak-" + std::to_string(index_) + "-" + std::to_string(n);
    run->token = std::to_string(index_) + "." + std::to_string(n);
    run->input.resize(random_() % (16 * 1024));
    for (char& c : run->input) c = static_cast<char>('a' + random_() % 26);
    const std::string delay = "0." + std::to_string(2 + random_() % 38);  // 0.02..0.39 s
    const std::string& tool = tools_[random_() % tools_.size()];
    {
      std::lock_guard lock(mu_);
      ++inFlight_;
    }
    link_->runs.push_back(run);
    ++totals_.runs;
    // The reply keeps the proxy alive; it is dropped once the reply ran.
    auto proxy = link_->proxy;
    proxy->runWithRunID(
        run->id, tool, {run->token, delay}, base::Bytes(run->input), std::nullopt,
        {{"ZEFRA_SOAK_TAG", tag_.substr(tag_.find('=') + 1)}},
        [this, run, proxy](base::Bytes out, base::Bytes err, std::int32_t status) mutable {
          proxy.reset();
          if (run->replies++ == 0 && !run->cancelled) {
            const std::string expected = run->input + "done " + run->token + "\n";
            if (status != 0 || out.view() != expected ||
                err.view() != "grandchild " + run->token + "\n") {
              run->wrong = true;
              totals_.fail("run " + run->id + ": status " + std::to_string(status) + ", " +
                           std::to_string(out.view().size()) + " bytes out (expected " +
                           std::to_string(expected.size()) + "), stderr \"" +
                           std::string(err.view().substr(0, 200)) + "\"");
            }
          }
          settled();
        });
    return run;
  }

  void check(const Link& link) {
    int replies = 0;
    for (const auto& run : link.runs) {
      if (run->replies > 1) totals_.fail("run " + run->id + " was answered twice");
      replies += run->replies;
    }
    if (!link.dropped) {
      if (link.errors > 0 || replies != static_cast<int>(link.runs.size())) {
        totals_.fail("a live connection of client " + std::to_string(index_) + " had " +
                     std::to_string(link.runs.size()) + " runs, " + std::to_string(replies) +
                     " replies, " + std::to_string(link.errors) + " errors");
      }
      return;
    }
    totals_.droppedRuns += static_cast<long>(link.runs.size()) - replies;
    if (replies + link.errors != static_cast<int>(link.runs.size())) {
      totals_.fail("a dropped connection of client " + std::to_string(index_) + " had " +
                   std::to_string(link.runs.size()) + " runs, " + std::to_string(replies) +
                   " replies, " + std::to_string(link.errors.load()) + " errors");
    }
  }

  const int index_;
  const int quota_;
  std::mt19937 random_;
  const std::string runtime_;
  const std::vector<std::string>& tools_;
  const std::string tag_;
  Totals& totals_;
  int issued_ = 0;
  std::shared_ptr<Link> link_;
  std::vector<std::shared_ptr<Link>> links_;
  std::mutex mu_;
  std::condition_variable cv_;
  int inFlight_ = 0;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (value <= 0) return std::nullopt;
    if (flag == "--clients") {
      options.clients = value;
    } else if (flag == "--runs") {
      options.runs = value;
    } else if (flag == "--seed") {
      options.seed = static_cast<unsigned>(value);
    } else if (flag == "--rounds") {
      options.rounds = value;
    } else if (flag == "--max-seconds") {
      options.maxSeconds = value;
    } else if (flag == "--burst") {
      options.burstSeconds = value;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0) return std::nullopt;
  return options;
}

void print(const char* label, const ProcessFigures& f) {
  std::printf("%-22s fds %4ld  threads %4ld  rss %7.1f MiB\n", label, f.descriptors, f.threads,
              static_cast<double>(f.residentKiB) / 1024.0);
}

// Polls until `done` or the time is up; true when done.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::seconds limit) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// Each of `clients` threads connects, pings and closes, again and again for
// `seconds`; a connection whose ping has no answer within 10 s is counted
// unanswered. True when every connection was answered.
bool burst(const ipc::ConnectOptions& connect, int clients, int seconds) {
  std::atomic<long> connections{0}, answered{0}, refused{0}, unanswered{0};
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (Clock::now() < until) {
        struct Outcome {
          std::promise<bool> answered;
          std::atomic<bool> known{false};
          void set(bool value) {
            if (!known.exchange(true)) answered.set_value(value);
          }
        };
        auto outcome = std::make_shared<Outcome>();
        auto proxy = client::RemoteProxy::connect(
            kService, [outcome](const base::Error&) { outcome->set(false); }, connect);
        ++connections;
        if (!proxy) {
          ++refused;
          continue;
        }
        (*proxy)->pingWithReply([outcome](std::string) { outcome->set(true); });
        auto future = outcome->answered.get_future();
        if (future.wait_for(10s) != std::future_status::ready) {
          ++unanswered;
        } else if (future.get()) {
          ++answered;
        } else {
          ++refused;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::printf(
      "burst: %d clients for %d s: %ld connections, %ld answered, %ld refused, %ld "
      "unanswered\n",
      clients, seconds, connections.load(), answered.load(), refused.load(), unanswered.load());
  return answered == connections;
}

int soak(const Options& options) {
  platform::ignoreSigpipe();
  Sandbox sandbox;
  const std::string tag = tagOf(sandbox.root);
  const auto tools = freeTools();
  if (tools.empty()) {
    std::fprintf(stderr, "soak: every catalogue name is installed system-wide\n");
    return 2;
  }
  for (const auto& tool : tools) {
    const std::string path = sandbox.root + "/home/.local/bin/" + tool;
    std::ofstream(path) << kStandIn;
    chmod(path.c_str(), 0755);
  }

  auto env = platform::processEnvironment();
  env["ZEFRA_RUNTIME_DIR"] = sandbox.root + "/runtime";
  env["XDG_CONFIG_HOME"] = sandbox.root + "/config";
  env["HOME"] = sandbox.root + "/home";
  env.erase("ZEFRA_LAUNCH_EVENT");
  env.erase("XDG_RUNTIME_DIR");
  platform::SpawnOptions spawn;
  spawn.executable = ZEFRA_SOAK_HELPER;
  spawn.environment = platform::environmentEntries(env);
  spawn.standardInput = platform::Stdio::nullDevice();
  spawn.standardError = platform::Stdio::nullDevice();
  auto helper = platform::spawnProcess(spawn);
  if (!helper) {
    std::fprintf(stderr, "soak: cannot start the helper: %s\n", helper.error().message.c_str());
    return 2;
  }
  const pid_t pid = helper->pid();
  ipc::ConnectOptions connect;
  connect.runtimeDirectory = sandbox.root + "/runtime";
  const bool up = waitFor(
      [&] {
        auto proxy = client::RemoteProxy::connect(kService, nullptr, connect);
        return proxy && (*proxy)->ping().ok();
      },
      30s);
  if (!up) {
    std::fprintf(stderr, "soak: the helper did not answer within 30 s\n");
    return 2;
  }
  if (options.burstSeconds > 0) {
    const bool ok = burst(connect, options.clients, options.burstSeconds);
    (void)helper->signal(SIGTERM);
    helper->wait();
    std::printf("%s\n", ok ? "burst: PASS" : "burst: FAIL");
    return ok ? 0 : 1;
  }

  // Warm up: resolve every stand-in once, then let idle pool threads leave.
  {
    auto proxy = client::RemoteProxy::connect(kService, nullptr, connect);
    for (const auto& tool : tools) {
      if (proxy) (void)(*proxy)->run("warm-" + tool, tool, {"w", "0"}, std::nullopt, {}, {});
    }
  }
  std::this_thread::sleep_for(12s);
  const ProcessFigures start = figuresOf(pid);

  std::printf("soak: %d clients, %d runs, seed %u, tools:", options.clients, options.runs,
              options.seed);
  for (const auto& tool : tools) std::printf(" %s", tool.c_str());
  std::printf("\n");
  print("start", start);

  bool ok = true;
  for (int round = 1; round <= options.rounds; ++round) {
    Totals totals;
    std::atomic<bool> sampling{true};
    ProcessFigures peak = start;
    std::thread sampler([&] {
      while (sampling) {
        const ProcessFigures now = figuresOf(pid);
        peak.descriptors = std::max(peak.descriptors, now.descriptors);
        peak.threads = std::max(peak.threads, now.threads);
        peak.residentKiB = std::max(peak.residentKiB, now.residentKiB);
        std::this_thread::sleep_for(50ms);
      }
    });
    const auto began = Clock::now();
    const auto deadline = began + std::chrono::seconds(options.maxSeconds);
    {
      std::vector<std::unique_ptr<SoakClient>> clients;
      std::vector<std::thread> threads;
      for (int i = 0; i < options.clients; ++i) {
        const int quota = options.runs / options.clients + (i < options.runs % options.clients);
        clients.push_back(
            std::make_unique<SoakClient>(i, quota, (options.seed + round * 7919u) * 1000003u + i,
                                         sandbox.root + "/runtime", tools, tag, totals));
        threads.emplace_back([&client = *clients.back(), deadline] { client(deadline); });
      }
      for (auto& thread : threads) thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    sampling = false;
    sampler.join();

    // The runs' own time: the longest delay, and the SIGKILL pass of a cancel.
    Leftovers left;
    const bool toolsGone = waitFor(
        [&] {
          left = leftovers(tag, pid);
          return left.processes == 0 && left.helperZombies == 0 && left.helperChildren == 0;
        },
        10s);
    // Idle pool threads leave after 10 s.
    ProcessFigures end;
    const bool settledBack = waitFor(
        [&] {
          end = figuresOf(pid);
          return end.descriptors <= start.descriptors && end.threads <= start.threads;
        },
        30s);
    const bool alive = [&] {
      auto proxy = client::RemoteProxy::connect(kService, nullptr, connect);
      return proxy && (*proxy)->ping().ok();
    }();

    std::printf("round %d of %d\n", round, options.rounds);
    print("peak", peak);
    print("end", end);
    std::printf(
        "runs %ld in %.1f s (%.0f runs/s): %ld cancelled, %ld connections dropped with %ld "
        "runs waiting\n",
        totals.runs.load(), seconds, static_cast<double>(totals.runs) / seconds,
        totals.cancels.load(), totals.disconnects.load(), totals.droppedRuns.load());
    std::printf(
        "left after the runs: %d tool processes (%d zombies), helper children %d, helper "
        "zombies %d\n",
        left.processes, left.zombies, left.helperChildren, left.helperZombies);
    std::printf("resident memory end/start: %.2f\n",
                static_cast<double>(end.residentKiB) / static_cast<double>(start.residentKiB));
    if (totals.failures > 0) std::printf("FAIL %ld checks failed:\n", totals.failures.load());
    for (const auto& message : totals.messages) std::printf("FAIL %s\n", message.c_str());
    ok = ok && totals.failures == 0;
    if (!toolsGone) std::printf("FAIL tool processes outlived their runs\n"), ok = false;
    if (!settledBack) std::printf("FAIL descriptors or threads did not come back\n"), ok = false;
    if (!alive) std::printf("FAIL the helper stopped answering\n"), ok = false;
  }
  (void)helper->signal(SIGTERM);
  helper->wait();
  std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace zefra::soak

int main(int argc, char** argv) {
  auto options = zefra::soak::parseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: soak [--clients N] [--runs N] [--seed N] [--rounds N] [--max-seconds N] "
                 "[--burst SECONDS]\n");
    return 2;
  }
  return zefra::soak::soak(*options);
}
