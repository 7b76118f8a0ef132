// Signed ping latency while unsigned programs keep connecting: the helper's
// listener checks each connecting peer, and the refusals must not crowd out
// the peers it serves. A copy of this program with its signature block cut
// off connects about 1,000 times a second and writes a ping each time; this
// (signed) program pings meanwhile. The baseline is the same flood against a
// raw socket that only accepts and closes, so the wake-ups of a busy machine
// are in both. Prints the median and 99th percentile of the signed pings,
// quiet, during the raw flood and during the flood of the helper, the
// ratios, and the most threads the pool held during the helper's flood.
//
//   bench_peer_flood [--rate N] [--pings N] [--parallel N] [--padded] [--touch]
//
// --rate 0 connects as fast as refusals come back, so the connects a second
// against the raw socket over those against the helper are the cost of one
// unsigned connect against a bare accept. --parallel keeps that many
// connections open at once; --padded floods with a 64 MiB copy ending in
// this program's signature block; --touch changes the flooder's timestamps
// before every connect, so no refusal is ever answered from the cache.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/remote_proxy.h"
#include "codesign/signature_block.h"
#include "ipc/listener.h"
#include "platform/dispatch/queue.h"
#include "platform/process/process_signals.h"
#include "support/ping_only_helper.h"
#include "xpc/acceptance/peer_validation.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

using namespace zefra;
using Clock = std::chrono::steady_clock;

namespace {

// The flooder: connects, writes a few bytes and waits for the refusal, at
// `rate` connects a second (0: at once), with up to `parallel` connections
// open, until its parent goes away. Reports how many it made a second on
// `report` when stdin closes.
int flood(const char* path, int rate, int parallel, bool touch, int report) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  ::write(report, "r", 1);
  const auto step = std::chrono::nanoseconds(rate > 0 ? 1'000'000'000 / rate : 0);
  auto next = Clock::now();
  long connects = 0;
  std::vector<pollfd> open{{0, POLLIN, 0}};  // the parent's pipe first
  const auto start = Clock::now();
  for (;;) {
    // Whatever the helper closed goes; a full set waits for a close.
    if (::poll(open.data(), open.size(), static_cast<int>(open.size()) > parallel ? 1000 : 0) > 0) {
      if (open[0].revents) break;
      for (std::size_t i = open.size() - 1; i > 0; --i) {
        char byte;
        if (open[i].revents && ::read(open[i].fd, &byte, 1) <= 0) {
          ::close(open[i].fd);
          open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
    if (static_cast<int>(open.size()) > parallel) continue;
    if (rate > 0) {
      next += step;
      std::this_thread::sleep_until(next);
    }
    if (touch) {
      const timespec times[2] = {{0, UTIME_OMIT}, {connects, 0}};
      ::utimensat(AT_FDCWD, "/proc/self/exe", times, 0);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      continue;
    }
    ++connects;
    const char ping[8] = {0, 0, 0, 4, 'p', 'i', 'n', 'g'};
    (void)::send(fd, ping, sizeof ping, MSG_NOSIGNAL);
    open.push_back({fd, POLLIN, 0});
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::string line = std::to_string(static_cast<long>(connects / seconds));
  ::write(report, line.data(), line.size());
  return 0;
}

struct Latency {
  double median = 0, p99 = 0;
};

Latency pings(client::RemoteProxy& proxy, int count) {
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!proxy.ping()) {
      std::fprintf(stderr, "a signed ping failed\n");
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[times.size() * 99 / 100]};
}

// This program without its signature block; with `padded`, grown to 64 MiB
// and ending in that block (a signature that is not its own).
std::string unsignedCopy(const std::string& dir, bool padded) {
  base::UniqueFd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  auto block = codesign::locateBlock(self.get());
  if (!block || !*block) return "";
  const std::string path = dir + "/unsigned-flooder";
  std::filesystem::copy_file("/proc/self/exe", path);
  const auto codeLength = static_cast<off_t>((*block)->codeLength);
  if (::truncate(path.c_str(), codeLength) != 0) return "";
  if (padded) {
    const std::size_t size = (*block)->payloadLength + (*block)->cmsLength + codesign::kTrailerSize;
    std::string tail(size, '\0');
    base::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (::pread(self.get(), tail.data(), size, codeLength) != static_cast<ssize_t>(size) ||
        ::pwrite(out.get(), tail.data(), size, (off_t{64} << 20) - static_cast<off_t>(size)) !=
            static_cast<ssize_t>(size)) {
      return "";
    }
  }
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--flood") == 0) {
    return flood(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]) != 0,
                 std::atoi(argv[6]));
  }
  int rate = 1000, count = 5000, parallel = 1;
  bool padded = false, touch = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--padded") {
      padded = true;
    } else if (flag == "--touch") {
      touch = true;
    } else if (i + 1 < argc && flag == "--rate") {
      rate = std::atoi(argv[++i]);
    } else if (i + 1 < argc && flag == "--pings") {
      count = std::atoi(argv[++i]);
    } else if (i + 1 < argc && flag == "--parallel") {
      parallel = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: bench_peer_flood [--rate N] [--pings N] [--parallel N] [--padded] "
                   "[--touch]\n");
      return 2;
    }
  }
  platform::ignoreSigpipe();
  std::string root = (std::filesystem::temp_directory_path() / "zefra-flood-XXXXXX").string();
  if (!::mkdtemp(root.data())) return 1;
  const std::string flooder = unsignedCopy(root, padded);
  if (flooder.empty()) {
    std::fprintf(stderr, "this program is not signed\n");
    return 1;
  }

  auto helper = std::make_shared<testing::PingOnlyHelper>();
  ipc::ListenerOptions options(root);
  options.admission = xpc::admitPeer;
  auto listener = ipc::Listener::open(
      "svc",
      [helper](ipc::ServerConnection& connection) {
        connection.setExportedInterface(xpc::makeHelperInterface());
        connection.setExportedObject(xpc::makeExportedObject(helper));
        return true;
      },
      options);
  if (!listener) return 1;
  auto proxy = client::RemoteProxy::connect("svc", nullptr, {root});
  if (!proxy) return 1;

  pings(**proxy, count / 10);  // warm up
  const Latency quiet = pings(**proxy, count);

  const std::string raw = root + "/raw";
  base::UniqueFd rawListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un rawAddress{};
  rawAddress.sun_family = AF_UNIX;
  std::strncpy(rawAddress.sun_path, raw.c_str(), sizeof rawAddress.sun_path - 1);
  if (::bind(rawListener.get(), reinterpret_cast<sockaddr*>(&rawAddress), sizeof rawAddress) != 0 ||
      ::listen(rawListener.get(), 128) != 0) {
    return 1;
  }
  std::thread([fd = rawListener.get()] {
    for (;;) {
      const int peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer < 0) return;
      ::close(peer);
    }
  }).detach();

  // Pings while the unsigned copy floods `socket`; the connects/s it made.
  std::size_t peakThreads = 0;
  auto during = [&](const std::string& socket, Latency& latency) -> std::string {
    int control[2], report[2];
    if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(report, 0) != 0) std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(control[0], 0);
      const std::string reportFd = std::to_string(report[1]), rateText = std::to_string(rate),
                        parallelText = std::to_string(parallel);
      ::execl(flooder.c_str(), flooder.c_str(), "--flood", socket.c_str(), rateText.c_str(),
              parallelText.c_str(), touch ? "1" : "0", reportFd.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(control[0]);
    ::close(report[1]);
    char ready;
    if (::read(report[0], &ready, 1) != 1) std::exit(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the flood settle
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
      while (sampling) {
        peakThreads = std::max(peakThreads, platform::poolStats().threads);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    latency = pings(**proxy, count);
    sampling = false;
    sampler.join();
    ::close(control[1]);
    char achieved[32] = {};
    (void)::read(report[0], achieved, sizeof achieved - 1);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    return achieved;
  };
  Latency rawFlood, flooded;
  const std::string rawRate = during(raw, rawFlood);
  peakThreads = 0;
  const std::string helperRate = during(listener.value()->path(), flooded);

  std::printf("flooder: %s%s, %d open at once\n",
              padded ? "64 MiB, a signature not its own" : "unsigned",
              touch ? ", timestamps changed before every connect" : "", parallel);
  std::printf("unsigned connects/s: raw %s, helper %s (asked %s)\n", rawRate.c_str(),
              helperRate.c_str(), rate > 0 ? std::to_string(rate).c_str() : "as many as answered");
  if (rate == 0 && std::atol(helperRate.c_str()) > 0) {
    std::printf("time per unsigned connect, helper / raw: %.2f\n",
                std::atof(rawRate.c_str()) / std::atof(helperRate.c_str()));
  }
  std::printf("pool threads during the helper flood: peak %zu\n", peakThreads);
  std::printf("signed ping quiet:         median %.1f us, p99 %.1f us\n", quiet.median, quiet.p99);
  std::printf("signed ping, raw flood:    median %.1f us, p99 %.1f us\n", rawFlood.median,
              rawFlood.p99);
  std::printf("signed ping, helper flood: median %.1f us, p99 %.1f us\n", flooded.median,
              flooded.p99);
  std::printf("helper flood / raw flood: median %.2f, p99 %.2f\n", flooded.median / rawFlood.median,
              flooded.p99 / rawFlood.p99);
  proxy->reset();
  listener->reset();
  std::filesystem::remove_all(root);
  return 0;
}
