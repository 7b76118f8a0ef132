// The built, signed client against the built helper: what a terminal user
// sees of a run and of each failure, the log, the service paths, a client
// facing a listener that is not the helper, the helper's memory whatever a
// tool writes or a client fails to read, a client written from the protocol
// document alone; and runs that stream their output, own their whole tree,
// what left it included, and may be confined to the folders the caller names.
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "platform/log.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "support/process_state.h"
#include "support/run_chunks.h"
#include "support/text.h"

namespace zefra::app::testing {
namespace {

using namespace zefra::testing;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantines inflate RSS
#else
constexpr bool kSanitized = false;
#endif

using EndToEndTest = HelperFixture;

// Each row: the client's arguments and input, its status, its output, a
// part of its standard error (none at all when empty), and a shell
// redirection of its own input or output.
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
    std::string out, err, redirect = "";
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
      {{"run", "--input", "-", tool}, {}, 74, "", "cannot read standard input: Is a dir", "< /"},
      {{"run", tool, "hello"}, {}, 74, "", "No space left on device", "> /dev/full"},
      {{"ping"}, {}, 74, "", "No space left on device", "> /dev/full"},
      // Closed: the connection must not take its number.
      {{"ping"}, {}, 74, "", "Bad file descriptor", ">&-"},
      {{"run", "--cwd", "a", "--helper-cwd", tool}, {}, 64, "", "exclude each other"},
      {{"run", "--timeout", "soon", tool}, {}, 64, "", "--timeout takes seconds"},
      {{"run", "--output-limit", "-1", tool}, {}, 64, "", "--output-limit takes a number"},
      {{"frobnicate"}, {}, 64, "", "unknown command"},
      {{"cancel", "no-such-run"}, {}, 0, "", ""},
      {{"cancel"}, {}, 64, "", "one run ID"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.back() + row.redirect);
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" " + row.redirect,
                                      ZEFRA_TEST_CLIENT};
    shell.insert(shell.end(), row.arguments.begin(), row.arguments.end());
    auto outcome = runProgram("/bin/sh", shell, row.input);
    EXPECT_EQ(outcome.status, row.status) << outcome.err;
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_TRUE(row.err.empty() ? outcome.err.empty()
                                : outcome.err.find(row.err) != std::string::npos)
        << outcome.err;
  }
  // The built client with one byte added no longer carries a signature.
  fs::copy_file(ZEFRA_TEST_CLIENT, root_ + "/unsigned-client");
  std::ofstream(root_ + "/unsigned-client", std::ios::app) << '\n';
  auto refused = runProgram(root_ + "/unsigned-client", {"ping"});
  EXPECT_EQ(refused.status, 77);
  EXPECT_NE(refused.err.find("signed by the maker's team"), std::string::npos) << refused.err;
  // Without ZEFRA_VERBOSE the log keeps refusals and runs to itself.
  for (const char* kept : {"refused", "ended with status", "bound "}) {
    EXPECT_EQ(log().find(kept), std::string::npos) << log();
  }
}

// A cancel from another connection does not reach a run of the same ID.
TEST_F(EndToEndTest, EachConnectionHasItsOwnRuns) {
  startHelper();
  const auto tool = freeTool();
  const auto fifo = root_ + "/go";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "read line < '" + fifo + "'; echo finished");
  auto owner = connect().value(), other = connect().value();
  std::promise<int> status;
  owner->runWithRunID("shared-id", tool, {}, std::nullopt, std::nullopt, {},
                      [&](base::Bytes, base::Bytes, int code) { status.set_value(code); });
  ASSERT_TRUE(owner->ping());
  other->cancelWithRunID("shared-id");
  ASSERT_TRUE(other->ping());
  std::ofstream(fifo) << "go\n";
  EXPECT_EQ(status.get_future().get(), 0);
}

// Each way a service path can be taken: the helper says which and why, serves
// what it can, leaves when it can serve nothing, and removes its sockets as it
// ends; a second launch hands its reopen to the instance already serving.
TEST_F(EndToEndTest, ServicePathsTakenByOthersOrByAnotherInstance) {
  const std::string group = runtime_ + "/" + kGroup, team = runtime_ + "/" + kTeam;
  const std::string groupTaken = std::string("cannot serve ") + kGroup + ": " + group;
  std::ofstream(group) << "not a socket";
  fs::create_symlink(root_ + "/nowhere", team);
  EXPECT_NE(exitsWithin(start(), 60).value_or(0), 0) << "serving nothing, it must fail and leave";
  EXPECT_EQ(occurrences(log(), groupTaken), 1u) << log();
  EXPECT_EQ(occurrences(log(), std::string("cannot serve ") + kTeam + ": " + team), 1u) << log();
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));

  fs::remove(team);
  auto& serving = start();
  ASSERT_TRUE(eventually([&] { return client({"--service", kTeam, "ping"}).status == 0; }));
  // Names that failed are logged once every name was tried, maybe after the team's serves.
  EXPECT_TRUE(eventually([&] { return occurrences(log(), groupTaken) == 2; })) << log();
  stop(serving);
  EXPECT_FALSE(fs::exists(team));

  fs::remove(group);
  auto& running = startHelper();  // serving kGroup, and kTeam a moment later
  EXPECT_TRUE(eventually([&] { return client({"--service", kTeam, "ping"}).out == "1.0.0\n"; }));
  const std::string before = log();
  EXPECT_EQ(exitsWithin(start(), 60), 0) << "a second instance kept running";
  EXPECT_EQ(log().substr(before.size()),
            platform::logLine("another instance already serves every service name") + "\n");
  auto reopen = runProgram("/usr/bin/env", {"ZEFRA_LAUNCH_EVENT=aevt:oapp", ZEFRA_TEST_HELPER});
  EXPECT_EQ(reopen.status, 0);
  EXPECT_EQ(client({"ping"}).status, 0);

  // A killed helper leaves its socket files; the next one takes them over.
  stop(running, SIGKILL);
  EXPECT_TRUE(fs::exists(group));
  startHelper();
}

// Ctrl-C or SIGTERM sends a cancel; when no reply ever comes (here nobody
// answers at all), the client still ends, as the signal would have ended it,
// even when its standard error is a pipe that nobody reads.
TEST_F(EndToEndTest, AnInterruptedClientEndsWithoutAReply) {
  auto unreachable = client({"ping"});
  EXPECT_EQ(unreachable.status, 69);
  EXPECT_EQ(occurrences(unreachable.err, "\n"), 1u) << unreachable.err;
  base::UniqueFd listener = listenWithoutAccepting(runtime_ + "/" + kGroup);
  auto unread = platform::makePipe();  // full, and writes wait
  const std::string filler(::fcntl(unread->writeEnd.get(), F_GETPIPE_SZ), 'x');
  ASSERT_TRUE(platform::writeAll(unread->writeEnd.get(), filler));
  // The last row starts as a job whose SIGINT is ignored: it must stay so,
  // not be blocked and queued for the client's watch.
  const std::string ignoringInt = "trap '' INT; exec \"$0\" run \"$1\"";
  for (auto [signal, error, intIgnored] : {std::tuple{SIGINT, -1, false},
                                           {SIGINT, int(unread->writeEnd.get()), false},
                                           {SIGTERM, -1, true}}) {
    SCOPED_TRACE(signal);
    auto client =
        (intIgnored ? spawn("/bin/sh", {"-c", ignoringInt, ZEFRA_TEST_CLIENT, freeTool()}, -1)
                    : spawn(ZEFRA_TEST_CLIENT, {"run", freeTool()}, -1, error))
            .value();
    // Connected: the call is on its way to a listener that never answers.
    base::UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    // Looked at until the client no longer blocks every signal for a moment,
    // as it does to start a thread.
    const auto blocks = [&](int which) {
      const std::string mask = procField(client.pid(), "status", "SigBlk:");
      return ((std::stoul(mask, nullptr, 16) >> (which - 1)) & 1) != 0;
    };
    EXPECT_TRUE(eventually([&] { return blocks(SIGTERM) && blocks(SIGINT) != intIgnored; }));
    ASSERT_TRUE(client.signal(signal));
    ASSERT_TRUE(platform::waitForPidfdExit(client.handle().pidfd(), base::Deadline::after(60)));
    const auto ended = client.waitForTermination();
    EXPECT_TRUE(ended.bySignal && ended.status == signal) << ended.status;
  }
}

// A standard output that another program made non-blocking, full for a
// moment, is waited on rather than taken for a failed write.
TEST_F(EndToEndTest, AFullNonBlockingStandardOutputIsWaitedOn) {
  startHelper();
  auto out = platform::makePipe();
  const std::string held(::fcntl(out->writeEnd.get(), F_GETPIPE_SZ), 'x');
  ASSERT_TRUE(platform::writeAll(out->writeEnd.get(), held));
  ASSERT_EQ(::fcntl(out->writeEnd.get(), F_SETFL, O_NONBLOCK), 0);
  auto ping = spawn(ZEFRA_TEST_CLIENT, {"ping"}, out->writeEnd.get(), STDERR_FILENO).value();
  out->writeEnd.reset();
  // Drained only once the client waits to write (or has wrongly given up).
  ASSERT_TRUE(eventually([&] {
    return processEnded(ping.pid()) ||
           procField(ping.pid(), "wchan", "").find("poll") != std::string::npos;
  }));
  EXPECT_EQ(platform::readToEnd(out->readEnd.get()).value().substr(held.size()), "1.0.0\n");
  EXPECT_EQ(ping.wait(), 0);
  // A full standard error that is never read holds the reply's message; a
  // signal still ends the client.
  auto err = platform::makePipe();  // as large, full, and writes wait
  ASSERT_TRUE(platform::writeAll(err->writeEnd.get(), held));
  auto stuck = spawn(ZEFRA_TEST_CLIENT, {"run", freeTool()}, -1, err->writeEnd.get()).value();
  ASSERT_TRUE(eventually(
      [&] { return procField(stuck.pid(), "wchan", "").find("pipe_write") != std::string::npos; }));
  ASSERT_TRUE(stuck.signal(SIGTERM));
  const bool ended = platform::waitForPidfdExit(stuck.handle().pidfd(), base::Deadline::after(60));
  if (!ended) (void)stuck.signal(SIGKILL);
  const auto end = stuck.waitForTermination();
  EXPECT_TRUE(ended && end.bySignal && end.status == SIGTERM) << end.status;
}

// Whatever listens at the service path must run as our user before the
// client sends it anything. Only root can make a listener of another user.
TEST_F(EndToEndTest, TheClientSendsNothingToAnotherUsersListener) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  constexpr uid_t kNobody = 65534;
  TempDir elsewhere;
  ASSERT_EQ(::chown(elsewhere.path().c_str(), kNobody, kNobody), 0);
  const std::string socketPath = elsewhere.path() + "/socket";
  // A listener is of the user whose effective ID called listen().
  ASSERT_EQ(::seteuid(kNobody), 0);
  const base::UniqueFd listener = listenWithoutAccepting(socketPath);
  ASSERT_EQ(::seteuid(0), 0);
  fs::create_symlink(socketPath, runtime_ + "/" + kGroup);
  auto ping = client({"ping"});
  EXPECT_EQ(ping.status, 77);
  EXPECT_NE(ping.err.find("is served by user 65534"), std::string::npos) << ping.err;
  // The client's connection waits, unaccepted, with whatever it wrote.
  const base::UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  EXPECT_EQ(platform::readToEnd(peer.get()).value(), "") << "the client sent something";
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
  auto proxy = connect().value();
  const long idle = procNumber(helper, "status", "VmRSS:");
  std::ofstream("/proc/" + std::to_string(helper) + "/clear_refs") << "5";  // resets VmHWM
  xpc::RunOptions options;
  options.outputLimit = 65536;
  auto outcome = proxy->run("big", tool, {"1073741824", root_ + "/big"}, std::nullopt, std::nullopt,
                            {}, options);
  EXPECT_EQ(outcome.value().exitStatus, 0);
  const long peak = procNumber(helper, "status", "VmHWM:");
  EXPECT_TRUE(kSanitized || peak - idle < 4 * 1024) << "KiB: idle " << idle << ", peak " << peak;

  constexpr long kTotal = 256L << 20;
  auto chunks = std::make_shared<RunChunks>();
  chunks->hold(true);
  options = {};
  options.stream = true;
  std::promise<xpc::RunOutcome> done;
  proxy->runWithOptions("slow", tool, {std::to_string(kTotal), root_ + "/slow"}, std::nullopt,
                        std::nullopt, {}, options, chunks->output(),
                        [&](xpc::RunOutcome outcome) { done.set_value(std::move(outcome)); });
  const pid_t toolPid = pidIn(root_ + "/slow");
  // Past what the client queues for its handler, the tool blocks on a pipe
  // that nobody empties.
  const std::string pipe = "/proc/" + std::to_string(toolPid) + "/fd/1";
  ASSERT_TRUE(eventually([&] {
    base::UniqueFd fd(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int queued = 0;
    return procField(toolPid, "wchan", "").find("pipe_write") != std::string::npos && fd &&
           ::ioctl(fd.get(), FIONREAD, &queued) == 0 &&
           queued >= ::fcntl(fd.get(), F_GETPIPE_SZ) / 2 &&
           procNumber(toolPid, "io", "wchar: ") > long{ipc::kProgressDeliveryBacklog};
  }));
  EXPECT_LT(procNumber(toolPid, "io", "wchar: "), 32L << 20) << "the tool was not held back";
  const long held = procNumber(helper, "status", "VmRSS:");
  EXPECT_TRUE(kSanitized || held - idle < 16 * 1024) << "KiB: idle " << idle << ", held " << held;
  chunks->hold(false);
  EXPECT_EQ(done.get_future().get().exitStatus, 0);
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
  EXPECT_EQ(outcome.out, "ok\n") << outcome.err;  // printed last, when every answer was right
}

using RunContainmentTest = HelperFixture;

// A tool that writes a line, leaves a daemon (setsid after a double fork,
// deaf to SIGTERM, its outputs closed) and then sleeps or ends. The client
// shows the line as the tool writes it. Ctrl-C cancels the run and SIGKILL,
// which leaves the client no moment to cancel, ends its connection: either
// way the daemon ends too. A normal end is answered as the tool ends and
// leaves the daemon running, moved out of the run's cgroup. The tool waits
// for the daemon to have left its process group before it goes on.
TEST_F(RunContainmentTest, AnEndedRunTakesWhatLeftItsTreeAndANormalEndLeavesIt) {
  auto& helperProcess = startHelper();
  const pid_t helper = helperProcess.pid();
  auto unifiedCgroupOf = [](pid_t pid) { return procField(pid, "cgroup", "0::"); };
  const auto tool = freeTool();
  writeTool(tool,
            "echo begun; ( setsid sh -c 'trap \"\" TERM; echo $$ > \"$0\"; exec sleep 600' \"$1\" "
            "</dev/null >/dev/null 2>&1 & ); until [ -s \"$1\" ]; do sleep 0.01; done; "
            "[ \"$2\" = sleep ] && exec sleep 600; exit 0");
  const struct {
    const char* name;
    int signal;  // sent to the client once the daemon runs
    int status;
  } rows[] = {{"cancel", SIGINT, 15}, {"client killed", SIGKILL, SIGKILL}, {"normal end", 0, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string daemonFile = root_ + "/daemon-" + std::to_string(&row - rows);
    auto out = platform::makePipe();
    // Its standard error is the test's, to be seen when a row fails.
    auto client = spawn(ZEFRA_TEST_CLIENT, {"run", tool, daemonFile, row.signal ? "sleep" : "end"},
                        out->writeEnd.get(), STDERR_FILENO)
                      .value();
    out->writeEnd.reset();
    const pid_t daemon = pidIn(daemonFile);
    ASSERT_GT(daemon, 0);
    if (row.signal) {
      // The line comes while the tool still runs: readable before the signal.
      pollfd readable{out->readEnd.get(), POLLIN, 0};
      ASSERT_EQ(::poll(&readable, 1, 60'000), 1);
      ASSERT_TRUE(client.signal(row.signal));
    }
    EXPECT_EQ(platform::readToEnd(out->readEnd.get()).value(), "begun\n");
    EXPECT_EQ(client.wait(), row.status);
    if (row.status) {
      EXPECT_TRUE(eventually([&] { return processEnded(daemon); }));
    } else {
      EXPECT_TRUE(eventually([&] { return unifiedCgroupOf(daemon) == unifiedCgroupOf(helper); }));
      EXPECT_FALSE(processEnded(daemon));
      ::kill(daemon, SIGKILL);
    }
  }
  // The cgroup made ahead for the next run goes with the helper.
  // cgroup2 beside v1 on a hybrid layout.
  const std::string mount = fs::exists("/sys/fs/cgroup/unified/cgroup.procs")
                                ? "/sys/fs/cgroup/unified"
                                : "/sys/fs/cgroup";
  const std::string cgroups = mount + unifiedCgroupOf(helper);
  EXPECT_TRUE(fs::exists(cgroups + "/cgroup.procs")) << cgroups;
  const std::string ours = "zefra-run-" + std::to_string(helper) + "-";
  stop(helperProcess);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(cgroups, error)) {
    EXPECT_NE(entry.path().filename().string().rfind(ours, 0), 0u) << entry.path();
  }
}

// The same tool unconfined and confined: confined, it writes beneath the
// named folder and a TMPDIR of its own inside the helper's, is refused
// elsewhere, and cannot connect to a loopback listener. Each confined run's
// TMPDIR is gone after its reply; the one made for the next goes with the
// helper, however it ends, and is not used once a link takes its place.
TEST_F(RunContainmentTest, AConfinedRunWritesOnlyWhereItMayAndStaysOffTheNetwork) {
  const std::string helperTemp = root_ + "/helper-tmp";
  fs::create_directories(helperTemp);
  auto& helper = startHelper({{"TMPDIR", helperTemp}});
  const auto tool = freeTool();
  writeTool(tool,
            "echo in > \"$1/in\" && echo inside\n"
            "( exec 2>&1; echo out > \"$2/out\" ) | grep -o 'Permission denied'\n"
            "[ -e \"$2/out\" ] && echo outside\n"
            "case \"$TMPDIR\" in \"$4\"/*) echo \"$TMPDIR\" > \"$1/tmpdir\" && "
            "echo t > \"$TMPDIR/t\" && echo tmp ;; esac\n"
            "bash -c \"exec 3<>/dev/tcp/127.0.0.1/$3\" 2>/dev/null && echo connected\n"
            "ZEFRA_RUNTIME_DIR=\"$5\" \"$6\" ping >/dev/null 2>&1 && echo served\n"
            "[ -z \"$6\" ] || { sleep 1000 </dev/null >/dev/null 2>&1 & echo $! > \"$1/left\"; }\n"
            "exit 0\n");
  const auto listener = listenOnLoopback();
  const std::string inside = root_ + "/inside", outside = root_ + "/outside";
  // Through the signed client, a confined tool would ask for runs free of
  // its confinement; what it leaves running would, after it.
  const std::vector<std::string> confined = {
      "run",         "--confine", inside,   "--no-network",   tool, inside, outside,
      listener.port, helperTemp,  runtime_, ZEFRA_TEST_CLIENT};
  const std::string confinedOut = "inside\nPermission denied\ntmp\n";
  const auto entries = [&] {
    return std::distance(fs::directory_iterator(helperTemp), fs::directory_iterator());
  };
  // Runs `arguments` in fresh folders; what the tool left running outlives
  // an unconfined run only. A confined run's TMPDIR (returned) is gone after
  // its reply, and one spare made for the next.
  const auto run = [&](const std::vector<std::string>& arguments, const std::string& out) {
    for (const auto& dir : {inside, outside}) {
      fs::remove_all(dir);
      fs::create_directories(dir);
    }
    auto outcome = client(arguments);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, out);
    const pid_t left = pidIn(inside + "/left");
    const bool isConfined = arguments[1] == "--confine";
    EXPECT_TRUE(eventually([&] { return platform::processExists(left) != isConfined; }))
        << "what a run left is running: " << platform::processExists(left);
    if (!isConfined) (void)platform::signalProcess(left, SIGKILL);
    const auto used = platform::readSmallFile(inside + "/tmpdir");
    const std::string folder = used ? used->substr(0, used->size() - 1) : "";
    EXPECT_TRUE(!isConfined ||
                (used && eventually([&] { return !fs::exists(folder) && entries() == 1; })))
        << folder << " outlived its run, or no spare was made";
    return folder;
  };
  run({"run", tool, inside, outside, listener.port, helperTemp, runtime_, ZEFRA_TEST_CLIENT},
      "inside\noutside\nconnected\nserved\n");
  const std::string first = run(confined, confinedOut);
  EXPECT_NE(run(confined, confinedOut), first);
  stop(helper);
  EXPECT_TRUE(fs::is_empty(helperTemp)) << "the helper left a temporary folder behind";

  // Ended at once for an update, the helper removes it too.
  auto& second = startHelper({{"TMPDIR", helperTemp}});
  EXPECT_EQ(client(confined).out, confinedOut);
  EXPECT_EQ(client({"prepare-for-update"}).out, "YES\n");
  EXPECT_EQ(exitsWithin(second, 30), 0);
  EXPECT_TRUE(fs::is_empty(helperTemp)) << "a helper ended for an update left one behind";

  // Killed, it leaves its spare; the next helper removes it after its first
  // run, but not a folder with something in it or one still held.
  auto& killed = startHelper({{"TMPDIR", helperTemp}});
  run(confined, confinedOut);
  ASSERT_EQ(entries(), 1);
  // Any program of the user may put a link in the spare's place: the next
  // run writes in a folder of its own, never through the link.
  const std::string spare = fs::directory_iterator(helperTemp)->path(), victim = root_ + "/victim";
  fs::create_directories(victim);
  fs::rename(spare, root_ + "/moved");
  fs::create_directory_symlink(victim, spare);
  run(confined, confinedOut);
  EXPECT_TRUE(fs::is_empty(victim)) << "a run wrote through the link put for its folder";
  stop(killed, SIGKILL);
  const std::string kept = helperTemp + "/zefra-run-kept", held = helperTemp + "/zefra-run-held";
  fs::create_directories(kept + "/aux");
  fs::create_directories(held);
  base::UniqueFd lock(::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
  startHelper({{"TMPDIR", helperTemp}});
  EXPECT_EQ(client({"run", tool, inside, outside, listener.port, helperTemp}).status, 0);
  EXPECT_TRUE(eventually([&] { return entries() == 2; })) << "the killed helper's spare is left";
  EXPECT_TRUE(fs::exists(kept) && fs::exists(held));
}

// Real document tools do their work confined to the output folder, each
// where installed.
TEST_F(RunContainmentTest, DocumentToolsWorkConfinedToTheOutputFolder) {
  startHelper();
  const std::string out = root_ + "/out";
  fs::create_directories(out);
  std::ofstream(root_ + "/doc.md") << "# Title\n\nSome *text*.\n";
  std::ofstream(root_ + "/doc.tex")
      << "\\documentclass{article}\\begin{document}Some text.\\end{document}\n";
  // What each tool makes, and its command line.
  const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
      {"doc.html", {"pandoc", root_ + "/doc.md", "-s", "-o", out + "/doc.html"}},
      {"doc.pdf",
       {"pdflatex", "-interaction=nonstopmode", "-output-directory", out, root_ + "/doc.tex"}},
  };
  int ran = 0;
  for (const auto& [product, command] : rows) {
    if (::access(("/usr/bin/" + command[0]).c_str(), X_OK) != 0) continue;
    ++ran;
    std::vector<std::string> arguments = {"run", "--confine", out, "--cwd", out};
    arguments.insert(arguments.end(), command.begin(), command.end());
    auto outcome = client(arguments);
    EXPECT_EQ(outcome.status, 0) << command[0] << ": " << outcome.out << outcome.err;
    EXPECT_TRUE(fs::exists(out + "/" + product)) << command[0];
  }
  if (ran == 0) GTEST_SKIP() << "neither pandoc nor pdflatex is installed";
}

}  // namespace
}  // namespace zefra::app::testing
