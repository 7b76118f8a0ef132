// Soak: many clients, thousands of runs of stand-in tools that fork
// grandchildren, with random cancels and random disconnects, against the
// built helper. Checks that every run on a live connection is answered
// exactly once (and right), that a dropped connection answers each of its
// waiting runs once with an error, and that the helper's descriptors and
// threads come back and no tool process outlives its run.
//
//   soak [--clients N] [--runs N] [--seed N] [--rounds N] [--max-seconds N]
//              [--burst SECONDS]
//
// --rounds repeats the whole soak against the same helper, so that memory
// kept by the allocator shows apart from memory that grows. --burst instead
// has the clients connect and ping, each connection on its own, for that
// long, and checks that every connection is answered. This program is
// signed by the build, so the helper serves it; run a copy signed moments
// before to meet the helper's checks of a program changed just now. ctest
// runs it with the label "soak".
#include <condition_variable>
#include <cstdio>
#include <map>
#include <random>

#include "platform/process/process_image.h"
#include "support/helper_fixture.h"
#include "support/process_state.h"

namespace zefra::app::testing {
namespace {

using Clock = std::chrono::steady_clock;
using zefra::testing::poolThreads;
using zefra::testing::procNumber;

// The command line's options, each with its default.
std::map<std::string, int> options = {{"--clients", 64},      {"--runs", 10000}, {"--seed", 1},
                                      {"--max-seconds", 900}, {"--rounds", 1},   {"--burst", 0}};

// Echoes its input, forks a grandchild that writes to standard error after
// the delay and a subshell that waits for a grandchild of its own, and waits
// for them all. Each stream's content is fixed whatever the timing.
constexpr const char* kStandIn =
    "token=$1 delay=$2\n"
    "( sleep \"$delay\"; echo \"grandchild $token\" >&2 ) &\n"
    "( sleep \"$delay\" & wait ) &\n"
    "cat\n"
    "wait\n"
    "echo \"done $token\"";

struct ProcessFigures {
  long descriptors, threads, residentKiB;
};

ProcessFigures figuresOf(pid_t pid) {
  std::error_code ec;
  // Pidfds of live processes are the workspace's, kept on application bundles
  // running anywhere (other tests' helpers), which come and go as they like.
  long open = 0;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    open += procNumber(pid, "fdinfo/" + fd.path().filename().string(), "Pid:") <= 0;
  }
  return {ec ? -1 : open, procNumber(pid, "status", "Threads:"),
          procNumber(pid, "status", "VmRSS:")};
}

// Processes left behind: those carrying the tag (every tool process does,
// wherever it was reparented) and children of the helper, zombies included.
// A zombie's environment reads empty, so a zombie of a tool is counted
// through its parent, the helper or a tagged process.
int leftovers(const std::string& tag, pid_t helper) {
  int found = 0;
  const auto table = platform::snapshotProcessTable().value();
  for (const auto& [pid, parent] : table) {
    auto environment = platform::initialEnvironment(pid);
    found += parent == helper || (environment && std::ranges::count(*environment, tag) > 0);
  }
  return found;
}

// One connection. Its runs are answered by a reply each, or (once it
// closed) each waiting one by one error.
struct Link {
  std::shared_ptr<client::RemoteProxy> proxy;
  int runs = 0;
  std::atomic<int> replies{0}, errors{0};
  std::atomic<bool> dropped{false};  // closed by us on purpose
};

struct Totals {
  std::atomic<long> runs{0}, cancels{0}, disconnects{0}, droppedRuns{0}, failures{0};

  // False, for a caller that gives up.
  template <class... Parts>
  bool fail(const Parts&... parts) {
    ::testing::Message message;
    (message << ... << parts);
    if (failures++ < 20) ADD_FAILURE() << message;
    return false;
  }
};

// One client: up to two runs in flight, each cancelled or its connection
// dropped at random moments.
struct SoakClient {
  const int index, quota;
  std::mt19937 random;
  const ipc::ConnectOptions& connectOptions;
  const std::vector<std::string>& tools;
  const std::string& tag;
  Totals& totals;
  int issued = 0;
  std::shared_ptr<Link> link;
  std::vector<std::shared_ptr<Link>> links;
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<int> inFlight{0};

  void operator()(Clock::time_point deadline) {
    struct Due {
      Clock::time_point at;
      std::shared_ptr<Link> link;
      std::string runId;  // empty: a disconnect
    };
    std::vector<Due> due;
    while (issued < quota || inFlight > 0) {
      const auto now = Clock::now();
      if (now > deadline) {
        totals.fail("client ", index, " ran out of time with ", inFlight.load(), " runs waiting");
        break;
      }
      std::erase_if(due, [&](const Due& it) {
        if (it.at > now) return false;
        if (!it.runId.empty()) {
          // A closed connection would answer the cancel with an error.
          if (!it.link->dropped) it.link->proxy->cancelWithRunID(it.runId);
        } else if (!it.link->dropped.exchange(true)) {
          ++totals.disconnects;
          it.link->proxy->invalidate();
          if (link == it.link) link.reset();
        }
        return true;
      });
      if (issued < quota && inFlight < 2) {
        if (!link && !connect()) break;
        const auto chance = random() % 100;
        const auto at = now + std::chrono::milliseconds(random() % 300);
        const std::string id = issue(/*cancelled=*/chance < 15);
        totals.cancels += chance < 15;
        if (chance < 18) due.push_back({at, link, chance < 15 ? id : ""});
        continue;
      }
      // Bounded, so a reply that came before the wait costs at most that.
      std::unique_lock lock(mu);
      cv.wait_for(lock, 20ms);
    }
    for (auto& link : links) check(*link);
  }

  void settled() {
    --inFlight;
    cv.notify_one();
  }

  bool connect() {
    auto next = std::make_shared<Link>();
    auto proxy = client::RemoteProxy::connect(
        kGroup,
        [this, weak = std::weak_ptr(next)](const base::Error&) {
          if (auto link = weak.lock()) ++link->errors;
          settled();
        },
        connectOptions);
    if (!proxy) return totals.fail("client ", index, " cannot connect: ", proxy.error().message);
    next->proxy = *proxy;
    links.push_back(link = next);
    return true;
  }

  std::string issue(bool cancelled) {
    const std::string token = std::to_string(index) + "." + std::to_string(issued++);
    const std::string id = "soak-" + token;
    std::string input(random() % (16 * 1024), '\0');
    for (char& c : input) c = static_cast<char>('a' + random() % 26);
    const std::string delay = "0." + std::to_string(2 + random() % 38);  // 0.02..0.39 s
    const std::string& tool = tools[random() % tools.size()];
    ++inFlight;
    ++link->runs;
    ++totals.runs;
    // The reply keeps the connection alive; it is dropped once the reply ran.
    auto replies = std::make_shared<std::atomic<int>>(0);
    link->proxy->runWithRunID(
        id, tool, {token, delay}, base::Bytes(input), std::nullopt, {{"ZEFRA_SOAK_TAG", tag}},
        [this, id, token, input, cancelled, replies, link = link](base::Bytes out, base::Bytes err,
                                                                  std::int32_t status) mutable {
          const std::string expected = input + "done " + token + "\n";
          const bool first = (*replies)++ == 0;
          link->replies += first;
          if (!first) totals.fail("run ", id, " was answered twice");
          if (first && !cancelled &&
              (status != 0 || out.view() != expected ||
               err.view() != "grandchild " + token + "\n")) {
            totals.fail("run ", id, ": status ", status, ", ", out.view().size(),
                        " bytes out (expected ", expected.size(), "), stderr \"",
                        err.view().substr(0, 200), "\"");
          }
          link.reset();
          settled();
        });
    return id;
  }

  // A live connection answers every run with a reply; a dropped one each
  // waiting run with one error.
  void check(const Link& link) {
    const int errors = link.dropped ? link.errors.load() : 0;
    if (link.dropped) totals.droppedRuns += link.runs - link.replies;
    if ((!link.dropped && link.errors > 0) || link.replies + errors != link.runs) {
      totals.fail(link.dropped ? "a dropped" : "a live", " connection of client ", index, " had ",
                  link.runs, " runs, ", link.replies.load(), " replies, ", link.errors.load(),
                  " errors");
    }
  }
};

using Soak = HelperFixture;

TEST_F(Soak, EveryRunAnsweredOnceAndNothingLeft) {
  // Two catalogue names no system directory provides: the stand-ins in
  // ~/.local/bin are what the helper resolves.
  const std::vector<std::string> tools = {freeTool(0), freeTool(1)};
  for (const auto& tool : tools) writeTool(tool, kStandIn);
  const pid_t helper = startHelper().pid();
  const ipc::ConnectOptions connectOptions(runtime_);
  // A fresh connection, answered.
  const auto pings = [this] {
    auto proxy = connect();
    return proxy && (*proxy)->ping().ok();
  };
  if (options["--burst"] > 0) {
    // Each client connects, pings and closes, again and again; a connection
    // never answered holds its thread, and ctest's time-out fails the test.
    std::atomic<long> connections{0}, answered{0};
    const auto until = Clock::now() + std::chrono::seconds(options["--burst"]);
    std::vector<std::jthread> threads;
    for (int i = 0; i < options["--clients"]; ++i) {
      threads.emplace_back([&] {
        for (; Clock::now() < until; ++connections) answered += pings();
      });
    }
    threads.clear();  // joins them
    std::printf("burst: %d clients for %d s: %ld connections, %ld answered\n", options["--clients"],
                options["--burst"], connections.load(), answered.load());
    EXPECT_EQ(answered.load(), connections.load());
    return;
  }
  // Warm up: resolve every stand-in once (startHelper has connected, so a
  // connect succeeds), then let idle pool threads leave.
  for (const auto& tool : tools)
    (void)connect().value()->run("warm-" + tool, tool, {"w", "0"}, std::nullopt, {}, {});
  ASSERT_TRUE(eventually([&] { return poolThreads(helper) == 0; }, 30s))
      << "the pool's threads did not leave after the warm-up";
  const ProcessFigures start = figuresOf(helper);
  std::printf("soak: %d clients, %d runs, seed %d, tools %s %s\n", options["--clients"],
              options["--runs"], options["--seed"], tools[0].c_str(), tools[1].c_str());
  for (int round = 1; round <= options["--rounds"]; ++round) {
    Totals totals;
    const auto began = Clock::now();
    const auto deadline = began + std::chrono::seconds(options["--max-seconds"]);
    {
      std::vector<std::unique_ptr<SoakClient>> clients;
      std::vector<std::jthread> threads;  // joined as they go
      for (int i = 0; i < options["--clients"]; ++i) {
        const int quota = options["--runs"] / options["--clients"] +
                          (i < options["--runs"] % options["--clients"]);
        const unsigned seed = (options["--seed"] + round * 7919u) * 1000003u + i;
        clients.push_back(std::make_unique<SoakClient>(i, quota, std::mt19937(seed), connectOptions,
                                                       tools, root_, totals));
        threads.emplace_back([&client = *clients.back(), deadline] { client(deadline); });
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    // The runs' own time: the longest delay, and the SIGKILL pass of a cancel.
    int left = 0;
    EXPECT_TRUE(
        eventually([&] { return (left = leftovers("ZEFRA_SOAK_TAG=" + root_, helper)) == 0; }, 10s))
        << left << " tool processes or helper children outlived their runs";
    // Idle pool threads leave after 2 s; the bound leaves room for a loaded machine.
    ProcessFigures end{};
    EXPECT_TRUE(eventually(
        [&] {
          end = figuresOf(helper);
          return end.descriptors <= start.descriptors && end.threads <= start.threads;
        },
        30s))
        << "descriptors or threads did not come back";
    EXPECT_TRUE(pings()) << "the helper stopped answering";

    std::printf(
        "round %d of %d: fds %ld, threads %ld, rss %.1f MiB (at the start %ld, %ld, %.1f)\n", round,
        options["--rounds"], end.descriptors, end.threads, end.residentKiB / 1024.0,
        start.descriptors, start.threads, start.residentKiB / 1024.0);
    std::printf(
        "runs %ld in %.1f s (%.0f runs/s): %ld cancelled, %ld connections dropped with %ld "
        "runs waiting\n",
        totals.runs.load(), seconds, static_cast<double>(totals.runs) / seconds,
        totals.cancels.load(), totals.disconnects.load(), totals.droppedRuns.load());
  }
}

}  // namespace
}  // namespace zefra::app::testing

int main(int argc, char** argv) {
  auto& options = zefra::app::testing::options;
  for (int i = 1; i < argc; i += 2) {
    const auto option = options.find(argv[i]);
    if (i + 1 == argc || option == options.end() || std::atoi(argv[i + 1]) <= 0) {
      std::fprintf(stderr,
                   "usage: soak [--clients|--runs|--seed|--rounds|--max-seconds|--burst N]...\n");
      return 2;
    }
    option->second = std::atoi(argv[i + 1]);
  }
  int none = 1;
  ::testing::InitGoogleTest(&none, argv);
  return RUN_ALL_TESTS();
}
