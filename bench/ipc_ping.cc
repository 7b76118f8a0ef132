// Ping round trips through the helper's transport (listener, server
// connection, exported object) against a raw Unix-socket echo of the same
// frames, measured in the same run; 64 clients pinging at once; and a 256 MiB
// run reply against a raw 256 MiB frame. The servers run in a child process,
// as the helper does; ratios are printed at the end.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "client/remote_proxy.h"
#include "ipc/listener.h"
#include "wire/frame.h"
#include "wire/message.h"
#include "xpc/acceptance/peer_validation.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace {

using namespace zefra;
using base::Bytes;
using base::UniqueFd;
using wire::IpcValue;

constexpr std::size_t kLargeReply = 256u << 20;

// Answers ping with "1.0" and runs with a prepared 256 MiB output.
class PingHelper : public xpc::ZefraHelperProtocol {
 public:
  void pingWithReply(xpc::PingReply reply) override { reply("1.0"); }
  void toolInventoryWithReply(xpc::InventoryReply reply) override { reply({}); }
  void runWithRunID(std::string, std::string, std::vector<std::string>, std::optional<Bytes>,
                    std::optional<std::string>, xpc::Environment, xpc::RunReply reply) override {
    reply(output(), Bytes(), 0);
  }
  bool offers(xpc::Selector selector) const override {
    return selector != xpc::Selector::kRunWithOptions;
  }
  void runWithOptions(std::string, std::string, std::vector<std::string>, std::optional<Bytes>,
                      std::optional<std::string>, xpc::Environment, xpc::RunOptions, xpc::RunOutput,
                      xpc::RunOutcomeReply) override {}
  void cancelWithRunID(std::string) override {}
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override { reply(true); }
  void installUpdateFromZipAt(std::string, xpc::InstallReply reply) override { reply(false, ""); }

  static const Bytes& output() {
    static const Bytes bytes(std::string(kLargeReply, 'o'));
    return bytes;
  }
};

std::string flatten(const wire::EncodedFrame& frame) {
  std::string out;
  for (const iovec& chunk : frame.chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one frame's body into `body`.
bool readFrame(int fd, std::string& body) {
  unsigned char header[4];
  if (!readAll(fd, reinterpret_cast<char*>(header), 4)) return false;
  const std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                             (std::size_t{header[2]} << 8) | header[3];
  body.resize(length);
  return readAll(fd, body.data(), length);
}

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// The frames the clients send and the one the raw echo answers with.
struct Frames {
  Frames() {
    ping = flatten(wire::encodeFrame(wire::makeCallMessage(1, "pingWithReply:", {})).value());
    run = flatten(
        wire::encodeFrame(
            wire::makeCallMessage(1, xpc::selectorName(xpc::Selector::kRun),
                                  {IpcValue::string("r"), IpcValue::string("pandoc"),
                                   IpcValue::array({}), IpcValue(), IpcValue(), IpcValue::map({})}))
            .value());
    reply =
        flatten(wire::encodeFrame(wire::makeReplyMessage(1, {IpcValue::string("1.0")})).value());
  }
  std::string ping, run, reply;
};

const Frames& frames() {
  static const Frames instance;
  return instance;
}

std::string& root() {
  static std::string path;
  return path;
}

UniqueFd listenAt(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 128) != 0) {
    std::abort();
  }
  return fd;
}

// Accepts peers on `listener` and serves each on a thread of its own.
template <class Serve>
void servePeers(UniqueFd listener, Serve serve) {
  std::thread([listener = std::move(listener), serve] {
    for (;;) {
      const int peer = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (peer < 0) return;
      std::thread([serve, peer] { serve(UniqueFd(peer)); }).detach();
    }
  }).detach();
}

// The server process: the helper's listener, a raw echo of the ping frames
// and a raw streamer of 256 MiB frames. Runs until the parent goes away.
[[noreturn]] void runServers(int parentPipe) {
  auto helper = std::make_shared<PingHelper>();
  auto listener =
      ipc::Listener::open("bench",
                          [helper](ipc::ServerConnection& connection) {
                            connection.setExportedInterface(xpc::makeHelperInterface());
                            connection.setExportedObject(xpc::makeExportedObject(helper));
                            return true;
                          },
                          {root()});
  if (!listener) std::abort();
  // The same service with every frame's sender checked (this program is
  // signed, so its pings pass).
  std::vector<std::unique_ptr<ipc::Listener>> checked;
  for (auto [name, identity] : {std::pair{"checked", ipc::SenderIdentity::kCredentials},
                                std::pair{"checked-pidfd", ipc::SenderIdentity::kPidfd}}) {
    ipc::ListenerOptions options(root());
    options.admission = xpc::admitPeer;
    options.senderIdentity = identity;
    auto opened = ipc::Listener::open(
        name,
        [helper](ipc::ServerConnection& connection) {
          connection.setExportedInterface(xpc::makeHelperInterface());
          connection.setExportedObject(xpc::makeExportedObject(helper));
          return true;
        },
        options);
    if (!opened) std::abort();
    checked.push_back(std::move(opened).value());
  }
  servePeers(listenAt(root() + "/echo"), [](UniqueFd fd) {
    std::string body;
    while (readFrame(fd.get(), body)) {
      if (!writeAll(fd.get(), frames().reply.data(), frames().reply.size())) return;
    }
  });
  servePeers(listenAt(root() + "/large"), [](UniqueFd fd) {
    const Bytes& output = PingHelper::output();
    const unsigned char header[4] = {static_cast<unsigned char>(kLargeReply >> 24), 0, 0, 0};
    char request;
    while (::read(fd.get(), &request, 1) == 1) {
      if (!writeAll(fd.get(), reinterpret_cast<const char*>(header), 4) ||
          !writeAll(fd.get(), output.data(), output.size())) {
        return;
      }
    }
  });
  ::write(parentPipe, "r", 1);
  char ignored;
  while (::read(parentPipe, &ignored, 1) > 0) {
  }
  std::exit(0);
}

// The helper's connections open with a nonce that the client sends back;
// the raw echo has none.
bool answerNonce(int fd) {
  std::string body;
  if (!readFrame(fd, body)) return false;
  const unsigned char header[4] = {0, 0, 0, static_cast<unsigned char>(body.size())};
  return writeAll(fd, reinterpret_cast<const char*>(header), 4) &&
         writeAll(fd, body.data(), body.size());
}

void pingOver(benchmark::State& state, const std::string& path, bool opens = true) {
  UniqueFd fd = connectTo(path);
  if (!fd || (opens && !answerNonce(fd.get()))) return state.SkipWithError("cannot connect");
  const std::string& frame = frames().ping;
  std::string body;
  for (auto _ : state) {
    if (!writeAll(fd.get(), frame.data(), frame.size()) || !readFrame(fd.get(), body)) {
      return state.SkipWithError("connection failed");
    }
  }
  if (body.find("1.0") == std::string::npos) state.SkipWithError("unexpected reply");
}

void BM_PingRawEcho(benchmark::State& state) {
  pingOver(state, root() + "/echo", false);
}
BENCHMARK(BM_PingRawEcho)->UseRealTime();

void BM_PingHelper(benchmark::State& state) {
  pingOver(state, root() + "/bench");
}
BENCHMARK(BM_PingHelper)->UseRealTime();

void BM_PingCheckedSenders(benchmark::State& state) {
  pingOver(state, root() + "/checked");
}
BENCHMARK(BM_PingCheckedSenders)->UseRealTime();

void BM_PingCheckedSendersPidfd(benchmark::State& state) {
  pingOver(state, root() + "/checked-pidfd");
}
BENCHMARK(BM_PingCheckedSendersPidfd)->UseRealTime();

void BM_PingRemoteProxy(benchmark::State& state) {
  auto proxy = client::RemoteProxy::connect("bench", nullptr, {root()});
  if (!proxy) return state.SkipWithError("cannot connect");
  for (auto _ : state) {
    if (!(*proxy)->ping()) return state.SkipWithError("ping failed");
  }
}
BENCHMARK(BM_PingRemoteProxy)->UseRealTime();

void BM_Ping64Clients(benchmark::State& state) {
  auto proxy = client::RemoteProxy::connect("bench", nullptr, {root()});
  if (!proxy) return state.SkipWithError("cannot connect");
  std::int64_t errors = 0;
  for (auto _ : state) {
    if (!(*proxy)->ping()) ++errors;
  }
  state.counters["errors"] =
      benchmark::Counter(static_cast<double>(errors), benchmark::Counter::kAvgThreads);
  if (errors > 0) state.SkipWithError("a ping failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ping64Clients)->Threads(64)->UseRealTime();

void BM_LargeRawFrame(benchmark::State& state) {
  UniqueFd fd = connectTo(root() + "/large");
  if (!fd) return state.SkipWithError("cannot connect");
  auto buffer = std::make_unique_for_overwrite<char[]>(kLargeReply);
  for (auto _ : state) {
    unsigned char header[4];
    if (::write(fd.get(), "r", 1) != 1 || !readAll(fd.get(), reinterpret_cast<char*>(header), 4) ||
        !readAll(fd.get(), buffer.get(), kLargeReply)) {
      return state.SkipWithError("connection failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLargeReply));
}
BENCHMARK(BM_LargeRawFrame)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LargeRunReply(benchmark::State& state) {
  UniqueFd fd = connectTo(root() + "/bench");
  if (!fd || !answerNonce(fd.get())) return state.SkipWithError("cannot connect");
  const std::string& frame = frames().run;
  std::string body;
  for (auto _ : state) {
    if (!writeAll(fd.get(), frame.data(), frame.size()) || !readFrame(fd.get(), body)) {
      return state.SkipWithError("connection failed");
    }
  }
  if (body.size() < kLargeReply) state.SkipWithError("short reply");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLargeReply));
}
BENCHMARK(BM_LargeRunReply)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LargeRunReplyRemoteProxy(benchmark::State& state) {
  auto proxy = client::RemoteProxy::connect("bench", nullptr, {root()});
  if (!proxy) return state.SkipWithError("cannot connect");
  for (auto _ : state) {
    auto run = (*proxy)->run("r", "pandoc", {}, std::nullopt, std::nullopt, {});
    if (!run || run->standardOutput.size() != kLargeReply) return state.SkipWithError("run failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLargeReply));
}
BENCHMARK(BM_LargeRunReplyRemoteProxy)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints what it is given and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  root() = (std::filesystem::temp_directory_path() / "zefra-bench-XXXXXX").string();
  if (!::mkdtemp(root().data())) return 1;
  frames();
  PingHelper::output();
  int link[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) return 1;
  const pid_t server = ::fork();
  if (server == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(link[0]);
    runServers(link[1]);
  }
  ::close(link[1]);
  char ready;
  if (::read(link[0], &ready, 1) != 1) return 1;

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* name, const char* baseline) {
    auto a = reporter.times.find(name), b = reporter.times.find(baseline);
    if (a != reporter.times.end() && b != reporter.times.end() && b->second > 0) {
      std::printf("%s / %s = %.2f\n", name, baseline, a->second / b->second);
    }
  };
  ratio("BM_PingHelper/real_time", "BM_PingRawEcho/real_time");
  ratio("BM_PingCheckedSenders/real_time", "BM_PingRawEcho/real_time");
  ratio("BM_PingCheckedSendersPidfd/real_time", "BM_PingRawEcho/real_time");
  ratio("BM_PingRemoteProxy/real_time", "BM_PingRawEcho/real_time");
  ratio("BM_LargeRunReply/real_time", "BM_LargeRawFrame/real_time");
  ratio("BM_LargeRunReplyRemoteProxy/real_time", "BM_LargeRawFrame/real_time");
  benchmark::Shutdown();

  ::close(link[0]);
  ::waitpid(server, nullptr, 0);
  std::filesystem::remove_all(root());
  return 0;
}
