// Hostile programs of the same user against the built helper and client,
// each with the figures that show what it costs the helper: resident memory
// (over the helper's own idle figure in the same run), threads, how long a
// ping waits, what stays behind. It uses only what an untouched build also
// has, so the same program measures before and after a change.
//
//   bench_hostile [frame] [output] [runs] [cancels] [update] [defaults]
//                 [interrupt] [identity]          (all of them without one)
//
// This program is signed by the build, so the helper serves it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/remote_proxy.h"
#include "platform/environment.h"
#include "platform/process/child_process.h"
#include "platform/process/process_signals.h"
#include "platform/socket/unix_address.h"
#include "tools/catalogue.h"
#include "update/zip_archive.h"

namespace zefra::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kService[] = "group.com.ovak.zefra.helper";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A catalogue name that no system directory provides.
std::string freeTool(int skip = 0) {
  for (auto name : tools::allowedTools) {
    std::string tool(name);
    bool taken = false;
    for (const char* dir : {"/usr/local/bin", "/usr/bin", "/bin", "/opt/homebrew/bin"}) {
      taken = taken || access((std::string(dir) + "/" + tool).c_str(), F_OK) == 0;
    }
    if (!taken && skip-- == 0) return tool;
  }
  return "";
}

struct Helper {
  explicit Helper(const std::function<void(const std::string& root)>& prepare = {}) {
    char pattern[] = "/tmp/zefra-hostile-XXXXXX";
    root = mkdtemp(pattern);
    for (const char* dir :
         {"/runtime", "/home/.local/bin", "/config/com.ovak.zefra.helper", "/tmp"}) {
      fs::create_directories(root + dir);
    }
    fs::permissions(root + "/runtime", fs::perms::owner_all);
    if (prepare) prepare(root);
    auto env = platform::processEnvironment();
    env["ZEFRA_RUNTIME_DIR"] = root + "/runtime";
    env["XDG_CONFIG_HOME"] = root + "/config";
    env["HOME"] = root + "/home";
    env["TMPDIR"] = root + "/tmp";
    env.erase("ZEFRA_LAUNCH_EVENT");
    env.erase("DISPLAY");
    env.erase("WAYLAND_DISPLAY");
    env.erase("DBUS_SESSION_BUS_ADDRESS");
    platform::SpawnOptions options;
    options.executable = ZEFRA_BENCH_HELPER;
    options.environment = platform::environmentEntries(env);
    options.standardInput = platform::Stdio::nullDevice();
    logFile.reset(::open((root + "/helper.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    options.standardError = platform::Stdio::fromFd(logFile.get());
    process.emplace(std::move(platform::spawnProcess(options).value()));
    for (auto deadline = Clock::now() + 30s; !connect() && Clock::now() < deadline;) {
      std::this_thread::sleep_for(5ms);
    }
  }
  ~Helper() {
    for (pid_t child : children()) ::kill(child, SIGKILL);
    (void)process->signal(SIGKILL);
    process->wait();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Without a first ping, which could wait for ever.
  std::shared_ptr<client::RemoteProxy> connectOnly() const {
    ipc::ConnectOptions options;
    options.runtimeDirectory = root + "/runtime";
    auto proxy = client::RemoteProxy::connect(kService, nullptr, options);
    return proxy ? *proxy : nullptr;
  }
  std::shared_ptr<client::RemoteProxy> connect() const {
    auto proxy = connectOnly();
    return proxy && proxy->ping() ? proxy : nullptr;
  }
  std::string tool(const std::string& name, const std::string& script) const {
    const std::string path = root + "/home/.local/bin/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return name;
  }

  long status(const char* field) const {
    std::ifstream file("/proc/" + std::to_string(process->pid()) + "/status");
    for (std::string line; std::getline(file, line);) {
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
  }
  double rssMiB() const { return static_cast<double>(status("VmRSS:")) / 1024.0; }
  double peakMiB() const { return static_cast<double>(status("VmHWM:")) / 1024.0; }
  void resetPeak() const {
    std::ofstream("/proc/" + std::to_string(process->pid()) + "/clear_refs") << "5";
  }
  long descriptors() const {
    long count = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(process->pid()) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
      ++count;
    }
    return count;
  }
  std::vector<pid_t> children() const {
    std::vector<pid_t> found;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(process->pid()) + "/task";
    for (auto it = fs::directory_iterator(tasks, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::ifstream file(it->path() / "children");
      for (pid_t pid; file >> pid;) found.push_back(pid);
    }
    return found;
  }

  std::string root;
  base::UniqueFd logFile;
  std::optional<platform::ChildProcess> process;
};

// A ping's wait on `proxy`, or -1 when none came within `patience`.
double pingWait(const std::shared_ptr<client::RemoteProxy>& proxy, std::chrono::seconds patience) {
  auto answered = std::make_shared<std::promise<void>>();
  auto future = answered->get_future();
  const auto start = Clock::now();
  proxy->pingWithReply([answered](std::string) { answered->set_value(); });
  if (future.wait_for(patience) != std::future_status::ready) return -1;
  return secondsSince(start);
}

int connectRaw(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = platform::unixAddress(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  // A helper that opens with a nonce ([2, 16 bytes], 24 bytes framed) reads
  // nothing until it comes back; an older one sends nothing.
  char opening[24];
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, 500) == 1 &&
      ::recv(fd, opening, sizeof opening, MSG_WAITALL) == static_cast<ssize_t>(sizeof opening)) {
    (void)::send(fd, opening, sizeof opening, MSG_NOSIGNAL);
  }
  return fd;
}

std::string frameOf(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

std::string count32(std::uint32_t n) {
  return std::string{'\xDD', char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}

// 6: one call frame of `size` bytes whose argument is 64 arrays of one-byte
// integers, while another connection pings.
void frame(std::size_t size) {
  Helper helper;
  auto pinger = helper.connect();
  const double idle = helper.rssMiB();
  const std::uint32_t inner = static_cast<std::uint32_t>((size - 15) / 64 - 5);
  std::string body = std::string(
                         "\x94\x00\x01\xA5"
                         "echo:",
                         9) +
                     count32(64);
  for (int i = 0; i < 64; ++i) body += count32(inner) + std::string(inner, '\x01');
  const std::string bytes = frameOf(body);
  helper.resetPeak();
  std::atomic<bool> done{false};
  double closedAfter = -1;
  std::thread attacker([&] {
    const int fd = connectRaw(helper.root + "/runtime/" + kService);
    const auto start = Clock::now();
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    char byte;
    while (::recv(fd, &byte, 1, 0) > 0) {
    }
    closedAfter = secondsSince(start);
    ::close(fd);
    done = true;
  });
  double worst = 0;
  int unanswered = 0;
  while (!done) {
    const double wait = pingWait(pinger, 120s);
    if (wait < 0) ++unanswered;
    worst = std::max(worst, wait);
    std::this_thread::sleep_for(10ms);
  }
  attacker.join();
  std::printf(
      "frame %zu MiB: helper peak RSS %.0f MiB (%.1fx idle %.1f MiB), "
      "refused after %.2f s, slowest concurrent ping %.3f s, unanswered %d\n",
      size >> 20, helper.peakMiB(), helper.peakMiB() / idle, idle, closedAfter, worst, unanswered);
}

// 7: a tool that writes without end, its client gone.
void output() {
  Helper helper;
  const auto tool = helper.tool(freeTool(), "exec cat /dev/zero");
  const double idle = helper.rssMiB();
  {
    auto proxy = helper.connect();
    proxy->runWithRunID("endless", tool, {}, std::nullopt, std::nullopt, {},
                        [](base::Bytes, base::Bytes, int) {});
    for (auto deadline = Clock::now() + 10s;
         helper.children().empty() && Clock::now() < deadline;) {
      std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(500ms);
    proxy->invalidate();
  }
  const double atClose = helper.rssMiB();
  std::printf("output: RSS at the client's end %.0f MiB", atClose);
  for (int second = 1; second <= 4; ++second) {
    std::this_thread::sleep_for(1s);
    if (second != 3) std::printf(", +%d s %.0f MiB", second, helper.rssMiB());
  }
  std::printf(" (idle %.1f MiB; %.1fx idle after 4 s)\n", idle, helper.rssMiB() / idle);
}

// 8: 1,100 runs on one connection; pings on it and on another.
void runs() {
  Helper helper;
  const std::string gate = helper.root + "/gate";
  const int held = ::open(gate.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ::flock(held, LOCK_EX);
  const auto tool = helper.tool(freeTool(), "flock -s '" + gate + "' true");
  auto proxy = helper.connect();
  auto other = helper.connect();
  const long idleThreads = helper.status("Threads:"), idleFds = helper.descriptors();
  std::vector<std::future<int>> replies;
  for (int i = 0; i < 1100; ++i) {
    auto status = std::make_shared<std::promise<int>>();
    replies.push_back(status->get_future());
    proxy->runWithRunID("r" + std::to_string(i), tool, {}, std::nullopt, std::nullopt, {},
                        [status](base::Bytes, base::Bytes, int code) { status->set_value(code); });
  }
  long threads = 0, fds = 0;
  for (auto until = Clock::now() + 3s; Clock::now() < until; std::this_thread::sleep_for(50ms)) {
    threads = std::max(threads, helper.status("Threads:"));
    fds = std::max(fds, helper.descriptors());
  }
  const double same = pingWait(proxy, 10s), another = pingWait(other, 10s);
  const double fresh = pingWait(helper.connectOnly(), 10s);
  ::close(held);
  int refused = 0, ran = 0;
  for (auto& reply : replies) {
    if (reply.wait_for(120s) != std::future_status::ready) continue;
    (reply.get() == 126 ? refused : ran)++;
  }
  std::printf(
      "runs: 1100 on one connection: threads %ld (idle %ld), descriptors %ld (idle %ld); "
      "ping on it %.3f s, on another %.3f s, on a new one %.3f s (-1: none in 10 s); "
      "ran %d, refused %d\n",
      threads, idleThreads, fds, idleFds, same, another, fresh, ran, refused);
}

// 8: 40 cancels naming unknown run IDs of 50 MiB each.
void cancels() {
  Helper helper;
  auto proxy = helper.connect();
  const double idle = helper.rssMiB();
  helper.resetPeak();
  for (int i = 0; i < 40; ++i) {
    proxy->cancelWithRunID(std::string(50u << 20, static_cast<char>('a' + i % 26)) +
                           std::to_string(i));
  }
  pingWait(proxy, 120s);
  std::this_thread::sleep_for(300ms);
  std::printf(
      "cancels: 40 of 50 MiB unknown run IDs: RSS %.0f MiB with the connection open "
      "(%.1fx idle %.1f MiB), peak %.0f MiB\n",
      helper.rssMiB(), helper.rssMiB() / idle, idle, helper.peakMiB());
}

std::uintmax_t treeBytes(const std::string& path) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}

// 10: refused updates and what they leave in the temporary folder.
void update() {
  Helper helper;
  const std::string big = helper.root + "/big.zip", midway = helper.root + "/midway.zip";
  {
    auto writer = update::ZipWriter::create(big).value();
    (void)writer.addFile("Zefra Helper.app/Contents/Info.json", R"({"CFBundleExecutable": "x"})");
    (void)writer.addFile("Zefra Helper.app/Contents/Resources/padding",
                         std::string(500u << 20, '\0'));
    (void)writer.finish();
    auto refused = update::ZipWriter::create(midway).value();
    (void)refused.addFile("padding", std::string(300u << 20, '\0'));
    (void)refused.addFile("../outside", "x");
    (void)refused.finish();
  }
  auto proxy = helper.connect();
  for (int call = 1; call <= 4; ++call) {
    auto reply = proxy->installUpdate(big);
    std::printf(
        "update: %zu KB archive of 500 MiB, call %d: \"%s\", temporary folder holds "
        "%.0f MiB\n",
        static_cast<std::size_t>(fs::file_size(big) >> 10), call,
        reply ? reply->second.c_str() : reply.error().message.c_str(),
        static_cast<double>(treeBytes(helper.root + "/tmp")) / (1 << 20));
  }
  auto reply = proxy->installUpdate(midway);
  std::printf("update: archive refused after 300 MiB: \"%s\", temporary folder holds %.0f MiB\n",
              reply ? reply->second.c_str() : reply.error().message.c_str(),
              static_cast<double>(treeBytes(helper.root + "/tmp")) / (1 << 20));
}

// 9: a FIFO where the defaults file belongs.
void defaults() {
  Helper helper([](const std::string& root) {
    ::mkfifo((root + "/config/com.ovak.zefra.helper/defaults.json").c_str(), 0600);
  });
  auto proxy = helper.connect();
  if (!proxy) {
    std::printf("defaults: FIFO at defaults.json: the helper never answered a ping\n");
    return;
  }
  auto status = std::make_shared<std::promise<int>>();
  auto future = status->get_future();
  const auto start = Clock::now();
  proxy->runWithRunID("cache", freeTool(2), {}, std::nullopt, std::nullopt, {},
                      [status](base::Bytes, base::Bytes, int code) { status->set_value(code); });
  const bool answered = future.wait_for(10s) == std::future_status::ready;
  const double runTook = secondsSince(start);
  (void)helper.process->signal(SIGTERM);
  const auto asked = Clock::now();
  bool ended = false;
  while (!ended && secondsSince(asked) < 10) {
    ended = !helper.process->isRunning();
    std::this_thread::sleep_for(10ms);
  }
  std::printf("defaults: FIFO at defaults.json: a run needing the cache %s; SIGTERM %s\n",
              answered ? ("answered " + std::to_string(future.get()) + " after " +
                          std::to_string(runTook) + " s")
                             .c_str()
                       : "unanswered after 10 s",
              ended
                  ? ("ended the helper after " + std::to_string(secondsSince(asked)) + " s").c_str()
                  : "did not end the helper in 10 s");
}

// 9: the client interrupted while nothing ever answers.
void interrupt() {
  char pattern[] = "/tmp/zefra-hostile-XXXXXX";
  const std::string root = mkdtemp(pattern);
  const std::string path = root + "/" + kService;
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = platform::unixAddress(path);
  ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::listen(listener, 4);
  for (int signal : {SIGINT, SIGTERM}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("ZEFRA_RUNTIME_DIR", root.c_str(), 1);
      ::execl(ZEFRA_BENCH_CLIENT, ZEFRA_BENCH_CLIENT, "run", "pandoc", nullptr);
      ::_exit(127);
    }
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::kill(pid, signal);
    const auto sent = Clock::now();
    int status = 0;
    bool ended = false;
    while (!ended && secondsSince(sent) < 15) {
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) std::this_thread::sleep_for(10ms);
    }
    const double took = secondsSince(sent);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    std::printf("interrupt: client sent %s with no reply coming: %s\n", strsignal(signal),
                ended ? ("ended after " + std::to_string(took) + " s, " +
                         (WIFSIGNALED(status) ? "by " + std::string(strsignal(WTERMSIG(status)))
                                              : "exit " + std::to_string(WEXITSTATUS(status))))
                            .c_str()
                      : "still running after 15 s");
    ::close(peer);
  }
  ::close(listener);
  fs::remove_all(root);
}

// 11: a cached path to a script of another name; a listener of another user.
void identity() {
  const std::string tool = freeTool(1);
  Helper helper([&](const std::string& root) {
    const std::string script = root + "/planted";
    std::ofstream(script) << "#!/bin/sh\n: > '" << root << "/planted-ran'\n";
    fs::permissions(script, fs::perms::owner_all);
    std::ofstream(root + "/config/com.ovak.zefra.helper/defaults.json")
        << R"({"ResolvedToolPaths": {")" << tool << R"(": ")" << script << R"("}})";
  });
  auto ran = helper.connect()->run("planted", tool, {}, std::nullopt, std::nullopt, {});
  std::printf(
      "identity: cached \"%s\" pointing at a script named otherwise: status %d, the "
      "script %s\n",
      tool.c_str(), ran ? ran->status : -1,
      fs::exists(helper.root + "/planted-ran") ? "ran" : "did not run");

  if (::geteuid() != 0) {
    std::printf("identity: another user's listener needs root to set up; skipped\n");
    return;
  }
  char pattern[] = "/tmp/zefra-hostile-XXXXXX";
  const std::string root = mkdtemp(pattern), other = root + "/other";
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directories(root + "/runtime");
  fs::permissions(root + "/runtime", fs::perms::owner_all);
  fs::create_directories(other);
  ::chown(other.c_str(), 65534, 65534);
  int report[2];
  ::pipe(report);
  const pid_t server = ::fork();
  if (server == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = platform::unixAddress(other + "/socket");
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd, 4);
    (void)!::write(report[1], "l", 1);
    const int peer = ::accept(fd, nullptr, nullptr);
    char buffer[4096];
    const ssize_t got = ::read(peer, buffer, sizeof buffer);
    (void)!::write(report[1], got > 0 ? "y" : "n", 1);
    ::_exit(0);
  }
  char byte = 0;
  (void)!::read(report[0], &byte, 1);
  fs::create_symlink(other + "/socket", root + "/runtime/" + kService);
  const pid_t client = ::fork();
  if (client == 0) {
    ::setenv("ZEFRA_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    ::execl(ZEFRA_BENCH_CLIENT, ZEFRA_BENCH_CLIENT, "run", "--env", "SECRET=1", "pandoc", nullptr);
    ::_exit(127);
  }
  (void)!::read(report[0], &byte, 1);
  int status = 0;
  bool ended = false;
  for (auto deadline = Clock::now() + 5s; !ended && Clock::now() < deadline;) {
    ended = ::waitpid(client, &status, WNOHANG) == client;
    if (!ended) std::this_thread::sleep_for(10ms);
  }
  if (!ended) {
    ::kill(client, SIGKILL);
    ::waitpid(client, &status, 0);
  }
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  std::printf(
      "identity: a listener of user 65534 at the service path %s from the client, "
      "which %s\n",
      byte == 'y' ? "received bytes" : "received nothing",
      WIFEXITED(status) ? ("exited " + std::to_string(WEXITSTATUS(status))).c_str()
                        : "was still waiting for a reply");
  fs::remove_all(root);
}

}  // namespace
}  // namespace zefra::bench

int main(int argc, char** argv) {
  using namespace zefra::bench;
  zefra::platform::ignoreSigpipe();
  std::set<std::string> wanted(argv + 1, argv + argc);
  auto want = [&](const char* name) { return wanted.empty() || wanted.count(name) > 0; };
  if (want("frame")) {
    frame(16u << 20);
    frame(64u << 20);
  }
  if (want("output")) output();
  if (want("runs")) runs();
  if (want("cancels")) cancels();
  if (want("update")) update();
  if (want("defaults")) defaults();
  if (want("interrupt")) interrupt();
  if (want("identity")) identity();
  return 0;
}
