// The built, signed client against the built helper: what a terminal user
// sees of a run and of each failure, the log, the service paths, a client
// facing a listener that is not the helper, the helper's memory whatever a
// tool writes or a client fails to read, and a client written from the
// protocol document alone.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <future>

#include "support/codesign_fixture.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "support/run_chunks.h"
#include "support/text.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::blockedOnPipe;
using zefra::testing::occurrences;
using zefra::testing::pidIn;
using zefra::testing::RunChunks;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantines inflate RSS
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kGroup = "group.com.ovak.zefra.helper";
constexpr const char* kTeam = "K4T9QZ2M7B.com.ovak.zefra.helper";

class EndToEndTest : public HelperFixture {
 protected:
  // A field of /proc/<pid>/`file` in KiB or bytes, as the file gives it.
  static long procField(pid_t pid, const char* file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    }
    return -1;
  }
  static double mib(long kib) { return static_cast<double>(kib) / 1024; }
};

// Each row: the client's arguments and input, its status, its output, and a
// part of its standard error (none at all when empty).
TEST_F(EndToEndTest, TheClientPassesRunsThroughAndTellsItsFailuresApart) {
  startHelper();
  const auto tool = freeTool();
  writeTool(tool, R"(case "$1" in
  sleep) exec sleep 600 ;;
  limit) printf 1234567890; printf ab >&2 ;;
  close-stdout)
    printf early; exec 1>&-
    i=0; while [ $i -lt 2000 ]; do echo "line $i" >&2; i=$((i+1)); done
    exit 4 ;;
  *) printf '%s:%s:' "$1" "$G"; pwd; printf 'in:'; cat; [ -z "$1" ] || exit 7 ;;
esac)");
  const auto doc = root_ + "/doc";
  fs::create_directories(doc + "/sub");
  std::ofstream(doc + "/notes.md") << "# notes";
  programDirectory_ = doc;
  std::ofstream(root_ + "/big");
  fs::resize_file(root_ + "/big", (64 << 20) + 1);
  struct Row {
    std::vector<std::string> arguments;
    std::optional<std::string> input;
    int status;
    std::string out, err;
  };
  const std::string here = "::" + doc + "\nin:", sub = "::" + doc + "/sub\nin:";
  const Row rows[] = {
      {{"run", "--cwd", root_, "--env", "G=hi", tool, "-x"}, {}, 7, "-x:hi:" + root_ + "\nin:", ""},
      {{"run", "--input", "-", tool}, "piped", 0, here + "piped", ""},
      {{"run", tool}, "dropped", 0, here, "add --input - to send it"},
      {{"run", "--cwd", "./sub/", "--input", "notes.md", tool}, {}, 0, sub + "# notes", ""},
      // Standard error is read to its end after standard output has closed.
      {{"run", tool, "close-stdout"}, {}, 4, "early", "line 1999\n"},
      {{"run", "--output-limit", "5", tool, "limit"}, {}, 0, "12345", "more than 5 bytes"},
      {{"run", "--timeout", "0.3", tool, "sleep"}, {}, 124, "", "ended after 0.3 s (--timeout)"},
      {{"run", tool, "caf\xe9"}, {}, 65, "", "argument 1 is not valid UTF-8"},
      {{"run", "--env", "A=\xff", tool}, {}, 65, "", "not valid UTF-8"},
      {{"run", "--input", root_ + "/big", tool}, {}, 66, "", "limit of 64 MiB"},
      {{"run", "--input", root_ + "/none", tool}, {}, 66, "", "cannot read"},
      {{"run", "--cwd", "a", "--helper-cwd", tool}, {}, 64, "", "exclude each other"},
      {{"run", "--timeout", "soon", tool}, {}, 64, "", "--timeout takes seconds"},
      {{"run", "--output-limit", "-1", tool}, {}, 64, "", "--output-limit takes a number"},
      {{"frobnicate"}, {}, 64, "", "unknown command"},
      {{"cancel", "no-such-run"}, {}, 0, "", ""},
      {{"cancel"}, {}, 64, "", "one run ID"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.back());
    auto outcome = client(row.arguments, row.input);
    EXPECT_EQ(outcome.status, row.status) << outcome.err;
    EXPECT_EQ(outcome.out, row.out);
    if (row.err.empty()) {
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_NE(outcome.err.find(row.err), std::string::npos) << outcome.err;
    }
  }
  // The built client with one byte added no longer carries a signature.
  fs::copy_file(ZEFRA_TEST_CLIENT, root_ + "/unsigned-client");
  std::ofstream(root_ + "/unsigned-client", std::ios::app) << '\n';
  auto refused = runProgram(root_ + "/unsigned-client", {"ping"});
  EXPECT_EQ(refused.status, 77);
  EXPECT_NE(refused.err.find("signed by the maker's team"), std::string::npos) << refused.err;
  // Without ZEFRA_VERBOSE the log keeps refusals and runs to itself.
  EXPECT_EQ(log().find("refused"), std::string::npos) << log();
  EXPECT_EQ(log().find("ended with status"), std::string::npos) << log();
  EXPECT_EQ(log().find("bound "), std::string::npos) << log();
}

// A cancel from another connection does not reach a run of the same ID.
TEST_F(EndToEndTest, EachConnectionHasItsOwnRuns) {
  startHelper();
  const auto tool = freeTool();
  const auto fifo = root_ + "/go";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "read line < '" + fifo + "'; echo finished");
  auto owner = connect();
  auto other = connect();
  ASSERT_TRUE(owner && other);
  std::promise<int> status;
  (*owner)->runWithRunID("shared-id", tool, {}, std::nullopt, std::nullopt, {},
                         [&](base::Bytes, base::Bytes, int code) { status.set_value(code); });
  ASSERT_TRUE((*owner)->ping());
  (*other)->cancelWithRunID("shared-id");
  ASSERT_TRUE((*other)->ping());
  std::ofstream(fifo) << "go\n";
  EXPECT_EQ(status.get_future().get(), 0);
}

// Each way a service path can be taken: the helper says which and why, serves
// what it can, leaves when it can serve nothing, and removes its sockets as it
// ends; a second launch hands its reopen to the instance already serving.
TEST_F(EndToEndTest, ServicePathsTakenByOthersOrByAnotherInstance) {
  const std::string group = runtime_ + "/" + kGroup;
  const std::string team = runtime_ + "/" + kTeam;
  std::ofstream(group) << "not a socket";
  fs::create_symlink(root_ + "/nowhere", team);
  auto blocked = exitsWithin(start(), 60);
  ASSERT_TRUE(blocked) << "a helper that can serve nothing kept running";
  EXPECT_NE(*blocked, 0);
  EXPECT_EQ(occurrences(log(), std::string("cannot serve ") + kGroup + ": " + group), 1u) << log();
  EXPECT_EQ(occurrences(log(), std::string("cannot serve ") + kTeam + ": " + team), 1u) << log();
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));

  fs::remove(team);
  auto& serving = start();
  ASSERT_TRUE(eventually([&] {
    auto proxy = connect(kTeam);
    return proxy && (*proxy)->ping();
  }));
  EXPECT_EQ(occurrences(log(), std::string("cannot serve ") + kGroup + ": " + group), 2u) << log();
  ASSERT_TRUE(serving.signal(SIGTERM));
  EXPECT_EQ(serving.wait(), 0);
  EXPECT_FALSE(fs::exists(team));

  fs::remove(group);
  auto& running = startHelper();
  for (auto service : {kGroup, kTeam}) {
    EXPECT_EQ(client({"--service", service, "ping"}).out, "1.0.0\n") << service;
  }
  const std::string before = log();
  auto second = exitsWithin(start(), 60);
  ASSERT_TRUE(second) << "a second instance kept running";
  EXPECT_EQ(*second, 0);
  const std::string added = log().substr(before.size());
  EXPECT_EQ(occurrences(added, "\n"), 1u) << added;
  EXPECT_EQ(occurrences(added, "another instance already serves every service name"), 1u) << added;
  auto reopen = runProgram(ZEFRA_TEST_HELPER, {}, std::nullopt, {"ZEFRA_LAUNCH_EVENT=aevt:oapp"});
  EXPECT_EQ(reopen.status, 0);
  EXPECT_EQ(client({"ping"}).status, 0);

  // A killed helper leaves its socket files; the next one takes them over.
  ASSERT_TRUE(running.signal(SIGKILL));
  running.wait();
  EXPECT_TRUE(fs::exists(group));
  startHelper();
  EXPECT_EQ(client({"ping"}).status, 0);
}

// Ctrl-C or SIGTERM sends a cancel; when no reply ever comes (here nobody
// answers at all), the client still ends, as the signal would have ended it.
TEST_F(EndToEndTest, AnInterruptedClientEndsWithoutAReply) {
  auto unreachable = client({"ping"});
  EXPECT_EQ(unreachable.status, 69);
  EXPECT_EQ(std::count(unreachable.err.begin(), unreachable.err.end(), '\n'), 1) << unreachable.err;
  base::UniqueFd listener = zefra::testing::listenWithoutAccepting(runtime_ + "/" + kGroup);
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    platform::SpawnOptions options;
    options.executable = ZEFRA_TEST_CLIENT;
    options.arguments = {"run", freeTool()};
    options.environment = environment();
    auto client = platform::spawnProcess(options);
    ASSERT_TRUE(client) << client.error().message;
    // Connected: the call is on its way to a listener that never answers.
    base::UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(client->signal(signal));
    ASSERT_TRUE(platform::waitForPidfdExit(client->handle().pidfd(), base::Deadline::after(60)));
    const auto ended = client->waitForTermination();
    EXPECT_TRUE(ended.bySignal && ended.status == signal) << ended.status;
  }
}

// Whatever listens at the service path must run as our user before the
// client sends it anything. Only root can make a listener of another user.
TEST_F(EndToEndTest, TheClientSendsNothingToAnotherUsersListener) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  constexpr uid_t kNobody = 65534;
  zefra::testing::TempDir elsewhere;
  ASSERT_EQ(::chown(elsewhere.path().c_str(), kNobody, kNobody), 0);
  const std::string socketPath = elsewhere.path() + "/socket";
  auto sent = platform::makePipe();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    const zefra::testing::Listener listener(socketPath);
    (void)!::write(sent->writeEnd.get(), "l", 1);
    const base::UniqueFd peer = listener.accept();
    char byte;
    // Tells whether the client wrote anything before it left.
    (void)!::write(sent->writeEnd.get(), ::read(peer.get(), &byte, 1) > 0 ? "y" : "n", 1);
    ::_exit(0);
  }
  sent->writeEnd.reset();
  char byte = 0;
  ASSERT_EQ(::read(sent->readEnd.get(), &byte, 1), 1);
  fs::create_symlink(socketPath, runtime_ + "/group.com.ovak.zefra.helper");
  auto ping = client({"ping"});
  EXPECT_EQ(ping.status, 77);
  EXPECT_NE(ping.err.find("is served by user 65534"), std::string::npos) << ping.err;
  ASSERT_EQ(::read(sent->readEnd.get(), &byte, 1), 1);
  EXPECT_EQ(byte, 'n') << "the client sent something";
  ::waitpid(child, nullptr, 0);
}

// Output past the limit is read and dropped, never held: a tool writing
// 1 GiB leaves the helper at its idle size. A client that stops reading
// holds back the helper, which stops reading the tool: the tool blocks on its
// full pipe and the helper's memory stays bounded; both go on when the
// client reads again.
TEST_F(EndToEndTest, TheHelpersMemoryStaysFlatWhateverAToolWritesOrAClientReads) {
  const pid_t helper = startHelper().pid();
  const auto tool = freeTool();
  writeTool(tool, "echo $$ > \"$2\"; exec head -c \"$1\" /dev/zero");
  auto proxy = connect();
  ASSERT_TRUE(proxy);
  const long idle = procField(helper, "status", "VmRSS:");
  std::ofstream("/proc/" + std::to_string(helper) + "/clear_refs") << "5";  // resets VmHWM
  xpc::RunOptions limited;
  limited.outputLimit = 65536;
  auto outcome = (*proxy)->run("big", tool, {"1073741824", root_ + "/big"}, std::nullopt,
                               std::nullopt, {}, limited);
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->exitStatus, 0);
  EXPECT_EQ(outcome->standardOutput.size(), 65536u);
  EXPECT_TRUE(outcome->standardOutputTruncated);
  const long peak = procField(helper, "status", "VmHWM:");
  if (!kSanitized) {
    EXPECT_LT(mib(peak - idle), 4.0) << "idle " << idle << " KiB, peak " << peak;
  }

  constexpr long kTotal = 256L << 20;
  auto chunks = std::make_shared<RunChunks>();
  chunks->hold(true);
  xpc::RunOptions streamed;
  streamed.stream = true;
  std::promise<xpc::RunOutcome> done;
  (*proxy)->runWithOptions("slow", tool, {std::to_string(kTotal), root_ + "/slow"}, std::nullopt,
                           std::nullopt, {}, streamed, chunks->output(),
                           [&](xpc::RunOutcome outcome) { done.set_value(std::move(outcome)); });
  const pid_t toolPid = pidIn(root_ + "/slow");
  // Past what the client queues for its handler, the tool blocks on a pipe
  // that nobody empties.
  const std::string pipe = "/proc/" + std::to_string(toolPid) + "/fd/1";
  ASSERT_TRUE(eventually([&] {
    base::UniqueFd fd(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int queued = 0;
    return blockedOnPipe(toolPid) && fd && ::ioctl(fd.get(), FIONREAD, &queued) == 0 &&
           queued >= ::fcntl(fd.get(), F_GETPIPE_SZ) / 2 &&
           procField(toolPid, "io", "wchar: ") > long{ipc::kProgressDeliveryBacklog};
  }));
  const long written = procField(toolPid, "io", "wchar: ");
  const long held = procField(helper, "status", "VmRSS:");
  EXPECT_LT(written, 32L << 20) << "the tool was not held back";
  if (!kSanitized) {
    EXPECT_LT(mib(held - idle), 16.0) << "idle " << idle << " KiB, held " << held;
  }
  chunks->hold(false);
  auto streamedOutcome = done.get_future().get();
  EXPECT_EQ(streamedOutcome.exitStatus, 0);
  EXPECT_EQ(chunks->out().size(), static_cast<std::size_t>(kTotal));
}

// A client in another language, written from docs/protocol.md alone: it
// answers the nonce, frames and encodes its calls itself, and streams a run.
TEST_F(EndToEndTest, AClientWrittenFromTheProtocolDocument) {
  if (std::string(ZEFRA_TEST_PYTHON).empty()) GTEST_SKIP() << "no system python3";
  startHelper();
  const auto tool = freeTool();
  writeTool(tool, "echo one; echo two >&2; printf '%s' \"$1\"; exit 3");
  auto outcome = runProgram(ZEFRA_TEST_PYTHON, {"-I", ZEFRA_TEST_PROTOCOL_CLIENT, runtime_, tool});
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, "ok\n") << outcome.err;
}

}  // namespace
}  // namespace zefra::app::testing
