// The processes the helper starts: the handle that holds one, the process
// table, and what a start guarantees and contains (cgroups, confinement,
// orphans reaped).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/files/files.h"
#include "platform/files/pipe_io.h"
#include "platform/process/capture.h"
#include "platform/process/child_process.h"
#include "platform/process/landlock.h"
#include "platform/process/orphan_reaper.h"
#include "platform/process/pidfd.h"
#include "platform/process/private_temp_dir.h"
#include "platform/process/process_image.h"
#include "platform/process/process_table.h"
#include "platform/process/run_cgroup.h"
#include "platform/process/spawn.h"
#include "support/eventually.h"
#include "support/process_state.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace zefra::platform {
namespace {

using testing::eventually;
using testing::ourChildren;
using testing::procField;
using testing::TempDir;

int maskSignal(int how, int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  return pthread_sigmask(how, &set, nullptr);
}
// The orphan reaper hears SIGCHLD through a signal watch, which sees it only
// when every thread blocks it: block it before any thread starts.
const bool sigchldBlocked = maskSignal(SIG_BLOCK, SIGCHLD) == 0;

// In a cgroup and confined by a ruleset where given (-1: not).
SpawnOptions shell(const std::string& script, int cgroup = -1, int ruleset = -1) {
  SpawnOptions options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", script};
  options.cgroup = cgroup;
  options.landlockRuleset = ruleset;
  return options;
}

Captured run(SpawnOptions spawn) {
  CaptureOptions options;
  options.spawn = std::move(spawn);
  options.inputFromPipe = false;
  return captureProcess(options).value();
}

// A `cat` that runs until its input is closed.
struct HeldCat {
  Pipe input = makePipe().value(), output = makePipe().value();
  ChildProcess child = [this] {
    SpawnOptions options = shell("exec cat");
    options.standardInput = Stdio::fromFd(input.readEnd.get());
    options.standardOutput = Stdio::fromFd(output.writeEnd.get());
    auto started = spawnProcess(options).value();
    input.readEnd.reset();
    output.writeEnd.reset();
    return started;
  }();
};

// True once `pid` is no child of ours any more, zombie or not.
bool reaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
         errno == ECHILD;
}

TEST(ChildProcessTest, IsRunningTurnsFalseOnExitWithoutReaping) {
  HeldCat cat;
  EXPECT_FALSE(waitForPidfdExit(cat.child.handle().pidfd(), base::Deadline::after(0.02)));
  EXPECT_TRUE(cat.child.isRunning());
  cat.input.writeEnd.reset();
  ASSERT_TRUE(waitForPidfdExit(cat.child.handle().pidfd(), base::Deadline::after(30)));
  EXPECT_FALSE(cat.child.isRunning());
  EXPECT_EQ(cat.child.wait(), 0);
  EXPECT_TRUE(reaped(cat.child.pid()));
  // Its pid may be someone else's now; the handle does not follow it.
  EXPECT_EQ(cat.child.signal(SIGKILL).error().code, ESRCH);
}

// A helper started with 0-2 closed gets its pipes there: each source must
// survive the other's dup2 in the child.
TEST(ChildProcessTest, StdioSurvivesSourcesAmongZeroToTwo) {
  auto a = makePipe(), b = makePipe();
  UniqueFd savedOut(dup(STDOUT_FILENO)), savedErr(dup(STDERR_FILENO));
  dup2(a->writeEnd.get(), STDOUT_FILENO);
  dup2(b->writeEnd.get(), STDERR_FILENO);
  SpawnOptions swapped = shell("echo to-out; echo to-err >&2");
  swapped.standardOutput = Stdio::fromFd(STDERR_FILENO);
  swapped.standardError = Stdio::fromFd(STDOUT_FILENO);
  auto child = spawnProcess(swapped);
  dup2(savedOut.get(), STDOUT_FILENO);
  dup2(savedErr.get(), STDERR_FILENO);
  a->writeEnd.reset();
  b->writeEnd.reset();
  EXPECT_EQ(readToEnd(a->readEnd.get()).value(), "to-err\n");
  EXPECT_EQ(readToEnd(b->readEnd.get()).value(), "to-out\n");
  EXPECT_EQ(child.value().wait(), 0);
}

TEST(ChildProcessTest, DroppingOrReplacingAnUnwaitedChildReapsItWithoutKillingIt) {
  auto exited = spawnProcess(shell("exit 0"));
  auto replacement = spawnProcess(shell("exit 5"));
  const pid_t exitedPid = exited.value().pid();
  ASSERT_TRUE(waitForPidfdExit(exited->handle().pidfd(), base::Deadline::after(30)));
  *exited = std::move(replacement.value());
  EXPECT_TRUE(reaped(exitedPid));
  EXPECT_EQ(exited->wait(), 5);

  HeldCat cat;
  const pid_t runningPid = cat.child.pid();
  { ChildProcess dropped = std::move(cat.child); }
  // Still alive to echo; reaped in the background once done.
  ASSERT_TRUE(writeAll(cat.input.writeEnd.get(), "ping"));
  cat.input.writeEnd.reset();
  EXPECT_EQ(readToEnd(cat.output.readEnd.get()).value(), "ping");
  EXPECT_TRUE(eventually([&] { return reaped(runningPid); }));
}

std::optional<pid_t> parentInTable(pid_t pid) {
  auto table = snapshotProcessTable().value();
  EXPECT_TRUE(std::ranges::is_sorted(table, {}, &ProcessEntry::pid));
  auto entry = std::ranges::find(table, pid, &ProcessEntry::pid);
  return entry == table.end() ? std::nullopt : std::optional(entry->ppid);
}

// The kernel's query of the mappings and the text older kernels give agree,
// a mapped file since removed and one with a newline in its name included.
TEST(ProcessImageTest, MappingsReadAlikeByQueryAndByText) {
  zefra::testing::TempDir dir;
  const std::string copy = dir.path() + "/co\nde";
  std::filesystem::copy_file("/bin/true", copy);
  base::UniqueFd file(::open(copy.c_str(), O_RDONLY | O_CLOEXEC));
  void* code = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, file.get(), 0);
  ASSERT_NE(code, MAP_FAILED);
  ASSERT_EQ(::unlink(copy.c_str()), 0);
  using Row = std::tuple<dev_t, ino_t, std::string>;
  auto rows = [](const std::vector<ExecutableMapping>& mappings) {
    std::vector<Row> out;
    for (const auto& m : mappings) out.emplace_back(m.device, m.inode, m.path);
    return out;
  };
  const auto queried = rows(executableMappings(::getpid()).value());
  EXPECT_EQ(queried, rows(executableMappingsFromText(::getpid()).value()));
  const FileIdentity removed = fileIdentity(file.get()).value();
  EXPECT_NE(std::ranges::find(
                queried, Row(removed.device, removed.inode, dir.path() + "/co\\012de (deleted)")),
            queried.end());
  ::munmap(code, 4096);
}

// The command name is the executable's file name; this one would mislead a
// parser that stops at the first ')' into reading parent 1.
TEST(ProcessTableTest, ListsParentsWhateverTheCommandName) {
  EXPECT_EQ(parentInTable(1), 0);

  // Listed until reaped, zombie or not; reaped as it goes.
  TempDir dir;
  SpawnOptions options = shell("exit 0");
  options.executable = dir.path() + "/x) R 1 (y z";
  ASSERT_EQ(symlink("/bin/sh", options.executable.c_str()), 0);
  EXPECT_EQ(parentInTable(spawnProcess(options).value().pid()), getpid());
}

TEST(ProcessTableTest, SignallingByPidRefusesProcessGroupsAndAll) {
  // kill() would read these as "my group" and "everyone".
  for (pid_t pid : {0, -1, -getpgrp()}) {
    EXPECT_FALSE(processExists(pid));
    EXPECT_EQ(signalProcess(pid, 0).error().code, EINVAL);
  }
}

// Root can always make cgroups below its own; anyone else only where one
// was delegated to them.
class RunCgroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (parent.available()) return;
    if (::geteuid() == 0) FAIL() << parent.unavailableReason();
    GTEST_SKIP() << parent.unavailableReason();
  }
  // What a test forces is put back even when it stops early.
  void TearDown() override {
    forceCgroupEntryForTesting(usualEntry);
    forceSignalKillForTesting(false);
  }
  // The cgroup path of a run cgroup, as /proc/<pid>/cgroup shows it.
  std::string cgroupPathOf(const RunCgroup& cgroup) const {
    return std::filesystem::path(ownCgroup) / std::filesystem::path(cgroup.path()).filename();
  }

  RunCgroupParent parent = RunCgroupParent::locate();
  std::string ownCgroup = procField(::getpid(), "cgroup", "0::");
  const CgroupEntry usualEntry = cgroupEntry();
  // A confinement to a folder of the test's own.
  TempDir writable;
  Result<LandlockRuleset> ruleset = makeLandlockRuleset({{writable.path()}, false});
};

// Each way: the plain spawn, in a cgroup (born inside or written in), or
// confined. Entering the cgroup and confining are separate steps in the
// child, so a row doing both would take no path these rows do not.
TEST_F(RunCgroupTest, EveryWayOfStartingKeepsTheSpawnGuarantees) {
  ASSERT_TRUE(ruleset) << ruleset.error().message;
  // What the helper does to itself that no tool may inherit (SIGCHLD is
  // blocked, as the helper blocks it, from this program's start).
  auto pipeDisposition = ::signal(SIGPIPE, SIG_IGN);
  UniqueFd inheritable(::open("/dev/null", O_RDONLY));

  const struct {
    const char* name;
    bool inCgroup;
    CgroupEntry entry;
    bool confined;
  } rows[] = {
      {"plain", false, CgroupEntry::kBornInside, false},
      {"born in its cgroup", true, CgroupEntry::kBornInside, false},
      {"writing itself into its cgroup", true, CgroupEntry::kWritesProcs, false},
      {"confined", false, CgroupEntry::kBornInside, true},
  };
  for (const auto& row : rows) {
    forceCgroupEntryForTesting(row.entry);
    std::optional<RunCgroup> cgroup;
    if (row.inCgroup) cgroup.emplace(parent.makeRunCgroup().value());
    // Not through a shell, which clears the signal mask it was given.
    SpawnOptions options =
        shell("", cgroup ? cgroup->fd() : -1, row.confined ? ruleset->fd.get() : -1);
    options.executable = "/bin/grep";
    options.arguments = {"-hE", "^(SigBlk|SigIgn|NoNewPrivs|0::)", "/proc/self/status",
                         "/proc/self/cgroup", "/proc/self/fd/" + std::to_string(inheritable.get())};
    const Captured outcome = run(options);
    EXPECT_EQ(outcome.standardOutput.view(),
              std::string("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") +
                  "NoNewPrivs:\t" + (row.confined ? "1" : "0") +
                  "\n0::" + (cgroup ? cgroupPathOf(*cgroup) : ownCgroup) + "\n")
        << row.name;
    // Status 2, a file it could not read: the descriptor was not inherited.
    EXPECT_EQ(outcome.status, 2) << row.name << ": " << outcome.standardError.view();
  }
  // The child's confinement is its own.
  EXPECT_NE(testing::fileText("/proc/self/status").find("NoNewPrivs:\t0\n"), std::string::npos);
  ::signal(SIGPIPE, pipeDisposition);
}

TEST_F(RunCgroupTest, AFailedStepBeforeExecIsNamedAndLeavesNoChild) {
  auto live = parent.makeRunCgroup().value();
  auto gone = parent.makeRunCgroup().value();
  std::filesystem::remove(gone.path());
  auto notARuleset = makePipe().value();
  // Unconfined and outside any cgroup, the tool is started another way; a
  // missing directory in a cgroup of its own is tool_service_test's
  // RunTest.TheOutcomeSaysWhatHappenedAndThePlainStatusFoldsIt.
  const struct {
    CgroupEntry entry;
    const char *directory, *executable;
    int cgroup, ruleset;
    const char* says;
  } rows[] = {
      {CgroupEntry::kBornInside, "/nonexistent/place", "/bin/sh", -1, -1, "working directory"},
      {CgroupEntry::kBornInside, nullptr, "/etc/passwd", -1, -1, "launch \u201c/etc/passwd\u201d"},
      {CgroupEntry::kWritesProcs, "/nonexistent/place", "/bin/sh", -1, ruleset->fd.get(),
       "working directory"},
      {CgroupEntry::kBornInside, nullptr, "/nonexistent/tool", live.fd(), ruleset->fd.get(),
       "launch \u201c/nonexistent/tool\u201d"},
      {CgroupEntry::kBornInside, nullptr, "/bin/sh", gone.fd(), -1,
       "launch \u201c/bin/sh\u201d in its cgroup"},
      {CgroupEntry::kWritesProcs, nullptr, "/bin/sh", gone.fd(), -1,
       "place \u201c/bin/sh\u201d in its cgroup"},
      {CgroupEntry::kBornInside, nullptr, "/bin/sh", -1, notARuleset.readEnd.get(), "confine"},
  };
  for (const auto& row : rows) {
    forceCgroupEntryForTesting(row.entry);
    SpawnOptions options = shell("exit 0", row.cgroup, row.ruleset);
    options.executable = row.executable;
    if (row.directory) options.workingDirectory = row.directory;
    auto failed = spawnProcess(options);
    ASSERT_FALSE(failed) << row.says;
    EXPECT_NE(failed.error().message.find(row.says), std::string::npos) << failed.error().message;
    siginfo_t info{};
    EXPECT_TRUE(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
        << "a failed child was left unreaped: " << row.says;
  }
}

// Checked by trying; that a run then goes without one is tool_service_test's
// RunTest.ADeadlineACancelOrTheConnectionsEndEndsTheWholeTree.
TEST_F(RunCgroupTest, WhereNoCgroupCanBeMadeNoneIsOffered) {
  auto full = parent.makeRunCgroup().value();
  std::ofstream(full.path() + "/cgroup.max.descendants") << "0";
  auto none = RunCgroupParent::at(full.path());
  EXPECT_FALSE(none.available());
  EXPECT_NE(none.unavailableReason().find(full.path()), std::string::npos);
}

// What a killed helper left: the next helper removes it once that helper's
// pid is gone, and steps over its names while the pid is alive again.
TEST_F(RunCgroupTest, RunCgroupsLeftByAKilledHelperAreRemovedOrSteppedOver) {
  // No process has a pid above 2^22, the largest pid_max.
  const std::string dead = parent.path() + "/zefra-run-99999999-7";
  ASSERT_EQ(::mkdir(dead.c_str(), 0755), 0);
  EXPECT_TRUE(RunCgroupParent::at(parent.path()).available());
  EXPECT_FALSE(std::filesystem::exists(dead));

  const std::string probe = parent.makeRunCgroup().value().path();
  const std::string stem = probe.substr(0, probe.rfind('-') + 1);
  const unsigned next = std::stoul(probe.substr(stem.size())) + 1;
  for (unsigned i = next; i < next + 3; ++i)
    ASSERT_EQ(::mkdir((stem + std::to_string(i)).c_str(), 0755), 0);
  auto made = parent.makeRunCgroup();
  for (unsigned i = next; i < next + 3; ++i) ::rmdir((stem + std::to_string(i)).c_str());
  ASSERT_TRUE(made) << made.error().message;
  EXPECT_EQ(made->path(), stem + std::to_string(next + 3));
}

// A tool that leaves a daemon behind (setsid after a double fork) that
// ignores SIGTERM, optionally moved into a cgroup made inside the run's; the
// tool itself exits or sleeps on. The plain daemon's normal end and cancel
// are end_to_end_test's
// RunContainmentTest.AnEndedRunTakesWhatLeftItsTreeAndANormalEndLeavesIt.
std::pair<ChildProcess, pid_t> startLeaver(bool toolSleeps, int cgroup = -1,
                                           const std::string& nestBelow = "") {
  const std::string nest = nestBelow.empty() ? ""
                                             : "mkdir " + nestBelow + "/own && echo $$ > " +
                                                   nestBelow + "/own/cgroup.procs && ";
  SpawnOptions options = shell(
      "( setsid sh -c '" + nest + "trap \"\" TERM; echo $$; exec sleep 600 >/dev/null 2>&1' & ); " +
          (toolSleeps ? "exec sleep 600 >/dev/null" : "exit 0"),
      cgroup);
  auto output = makePipe().value();
  options.standardOutput = Stdio::fromFd(output.writeEnd.get());
  auto tool = spawnProcess(options).value();
  output.writeEnd.reset();
  return {std::move(tool), std::stoi(readToEnd(output.readEnd.get()).value())};
}

TEST_F(RunCgroupTest, ARunCgroupEndsWhatLeftTheTreeOnlyWhenTheRunIsEndedEarly) {
  const struct {
    const char* name;
    bool cancelled, withoutKillFile, nested;
  } rows[] = {
      {"ended normally, the daemon in a cgroup of its own", false, false, true},
      {"cancelled without cgroup.kill", true, true, false},
      {"cancelled, the daemon in a cgroup of its own", true, false, true},
  };
  for (const auto& row : rows) {
    forceSignalKillForTesting(row.withoutKillFile);
    auto cgroup = parent.makeRunCgroup().value();
    auto [tool, daemonPid] =
        startLeaver(row.cancelled, cgroup.fd(), row.nested ? cgroup.path() : "");
    UniqueFd daemon = openPidfd(daemonPid).value();
    if (row.cancelled) {
      EXPECT_TRUE(eventually([&] {
        return std::ranges::is_permutation(cgroup.processes(), std::vector{tool.pid(), daemonPid});
      })) << row.name;
      ASSERT_TRUE(cgroup.terminate());
      EXPECT_EQ(tool.wait(), SIGTERM) << row.name;
      ASSERT_TRUE(cgroup.kill());
    } else {
      EXPECT_EQ(tool.wait(), 0) << row.name;
    }
    ASSERT_TRUE(cgroup.remove()) << row.name;
    EXPECT_EQ(pidfdIsRunning(daemon.get()), !row.cancelled) << row.name;
    if (!row.cancelled) {
      EXPECT_EQ(procField(daemonPid, "cgroup", "0::"), ownCgroup) << row.name;
      (void)signalPidfd(daemon.get(), SIGKILL);
    }
  }
}

// Writing beneath the named folder and being refused beside it, through the
// built client, are end_to_end_test's RunContainmentTest; here, the ways
// round that a tool may try, with the rights of this kernel's ABI and of the
// first, which still confine. A kernel short of what was asked is
// tool_service_test's RunTest.AConfinementThatCannotBeHadRefusesTheRun.
TEST(ContainmentTest, AConfinedToolWritesOnlyWhereItMay) {
  TempDir allowed, elsewhere;
  const std::string a = allowed.path(), e = elsewhere.path();
  std::ofstream(e + "/kept") << "kept";
  const PrivateTempDir tmp = PrivateTempDir::make().value();
  EXPECT_EQ(std::filesystem::status(tmp.path()).permissions(), std::filesystem::perms::owner_all);
  const struct {
    std::string script;
    bool allowed, movesAcrossFolders;
  } rows[] = {
      {"echo x > " + a + "/f && mkdir " + a + "/d && ln " + a + "/f " + a + "/d/g && rm -r " + a +
           "/d " + a + "/f",
       true, true},
      {"mkdir -p \"$TMPDIR/d\" && ln -sf t \"$TMPDIR/d/l\"", true, false},
      {": > /dev/null && : > /dev/zero && : > /dev/full && echo x > /dev/stdout", true, false},
      {"cat " + e + "/kept", true, false},
      {"mkdir " + e + "/d", false, false},
      {"rm " + e + "/kept", false, false},
      // A file made beside by a move; made by a write, it is end_to_end_test's.
      {"echo x > " + a + "/f && mv " + a + "/f " + e + "/f", false, false},
  };
  for (int abi : {-1, 1}) {
    overrideLandlockAbiForTesting(abi);
    auto ruleset = makeLandlockRuleset({{a, tmp.path()}, false});
    ASSERT_TRUE(ruleset) << ruleset.error().message;
    for (const auto& row : rows) {
      // The first ABI refuses every link or move from one folder to another.
      if (abi == 1 && row.movesAcrossFolders) continue;
      SpawnOptions options = shell(row.script, -1, ruleset->fd.get());
      options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "TMPDIR=" + tmp.path()};
      const Captured outcome = run(options);
      const std::string_view err = outcome.standardError.view();
      EXPECT_EQ(outcome.status == 0, row.allowed) << abi << row.script << ": " << err;
      EXPECT_EQ(err.find("Permission denied") == std::string::npos, row.allowed) << abi << err;
    }
    EXPECT_FALSE(std::filesystem::exists(e + "/f")) << "a refused move left a copy";
  }
  overrideLandlockAbiForTesting(-1);
}

// Landlock lets a confined tool open a cgroup's folder for reading, and
// clone3's CLONE_INTO_CGROUP would start a child there, outside the marked
// cgroup of its run: confined, clone3 fails as if unknown, and libc falls
// back to clone (glibc tries clone3 first for a thread). A null clone3
// shows which without starting anything.
TEST(ContainmentTest, AConfinedToolCannotStartAChildInAnotherCgroup) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3";
  const PrivateTempDir tmp = PrivateTempDir::make().value();
  auto ruleset = makeLandlockRuleset({{tmp.path()}, false});
  ASSERT_TRUE(ruleset) << ruleset.error().message;
  SpawnOptions options = shell(
      "/usr/bin/python3 -Bc 'import ctypes, errno, threading; "
      "libc = ctypes.CDLL(None, use_errno=True); libc.syscall(435, None, 0); "
      "print(errno.errorcode[ctypes.get_errno()], flush=True); "
      "t = threading.Thread(target=print, args=(\"threads\",)); t.start(); t.join()'");
  EXPECT_EQ(run(options).standardOutput.view(), "EINVAL\nthreads\n");
  options.landlockRuleset = ruleset->fd.get();
  EXPECT_EQ(run(options).standardOutput.view(), "ENOSYS\nthreads\n");
}

// waitid shows the first exited child in the kernel's list, where an
// unreaped tool of ours stands in front of a daemon adopted after it: the
// reaper must neither take the tool's status nor leave the daemon a zombie.
TEST(ContainmentTest, TheOrphanReaperTakesOrphansAndNeverARunsChild) {
  {
    std::binary_semaphore unblocked(0), done(0);
    std::thread letsItThrough([&] {
      maskSignal(SIG_UNBLOCK, SIGCHLD);
      unblocked.release();
      done.acquire();
    });
    unblocked.acquire();
    auto deaf = OrphanReaper::start();
    done.release();
    letsItThrough.join();
    // Refused for that thread alone: the start below, once it is gone, succeeds.
    ASSERT_FALSE(deaf);
    int subreaper = -1;
    ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
    EXPECT_EQ(subreaper, 0);
  }
  auto reaper = OrphanReaper::start();
  ASSERT_TRUE(reaper) << reaper.error().message;
  auto tool = spawnProcess(shell("exit 7")).value();
  ASSERT_TRUE(waitForPidfdExit(tool.handle().pidfd(), base::Deadline::after(30)));

  auto [leaver, daemonPid] = startLeaver(false);
  EXPECT_EQ(leaver.wait(), 0);
  ASSERT_TRUE(eventually([&] { return ourChildren(tool.pid()) == std::vector<pid_t>{daemonPid}; }))
      << "the daemon should have become our child";
  // Our child now, its pid is no one else's until we reap it.
  ASSERT_TRUE(signalProcess(daemonPid, SIGKILL));
  ASSERT_TRUE(eventually([&] { return testing::processEnded(daemonPid); }));
  // A pass while both have exited, unreaped: one that took the tool fails
  // its wait, and one that left the daemon a zombie fails the last check.
  (void)OrphanReaper::reapOrphans();

  EXPECT_EQ(tool.wait(), 7);
  EXPECT_TRUE(eventually([] { return ourChildren().empty(); })) << "a zombie was left";

  // A captured tool that has exited while a background process holds its
  // output is reaped at once, not when the output closes: no orphan behind
  // it waits on that process.
  TempDir temp;
  const std::string held = temp.path() + "/held";
  std::promise<ProcessHandle> started;
  CaptureOptions options;
  options.spawn = shell("sleep 600 & echo $! > " + held);
  options.launched = [&](const std::shared_ptr<ChildProcess>& child) {
    started.set_value(child->handle());
    return true;
  };
  auto capture = std::async(std::launch::async, [&] { return captureProcess(options); });
  ASSERT_TRUE(waitForPidfdExit(started.get_future().get().pidfd(), base::Deadline::after(30)));
  auto [orphanLeaver, orphan] = startLeaver(false);
  EXPECT_EQ(orphanLeaver.wait(), 0);
  ASSERT_TRUE(signalProcess(orphan, SIGKILL));
  EXPECT_TRUE(eventually([&] { return reaped(orphan); })) << "held back by the exited tool";
  ASSERT_TRUE(signalProcess(testing::pidIn(held), SIGKILL));
  EXPECT_EQ(capture.get().value().status, 0);
}

// Makes `times` folders: a sweep that wins every time may leave it none to
// make, and EAGAIN is all it may answer then.
void makeFolders(int times) {
  for (int i = 0; i < times; ++i) {
    auto folder = PrivateTempDir::make();
    if (!folder && folder.error().code != EAGAIN) {
      ADD_FAILURE() << "after " << i << ": " << folder.error().message;
      return;
    }
  }
}

// Any program of the user can take or hold a run's folder as soon as it
// appears, as a sweep of another helper does: making one neither fails for
// the taking nor waits on the holding.
TEST(PrivateTempDirTest, MakingOutlastsASweepAndNeverWaitsOnAHolder) {
  TempDir base;
  std::optional<std::string> saved;
  if (const char* previous = ::getenv("TMPDIR")) saved = previous;
  ::setenv("TMPDIR", base.path().c_str(), 1);
  {
    std::atomic<bool> made{false};
    std::jthread sweeper([&] {
      while (!made) PrivateTempDir::removeLeftBehind();
    });
    makeFolders(20000);
    made = true;
  }
  // Locks each new folder it sees and never lets go.
  UniqueFd watch(::inotify_init1(IN_CLOEXEC));
  const int watched = ::inotify_add_watch(watch.get(), base.path().c_str(), IN_CREATE | IN_ONLYDIR);
  ASSERT_GE(watched, 0);
  std::jthread holder([&, dir = base.path()] {
    std::vector<UniqueFd> held;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch.get(), events, sizeof events)) > 0;) {
      for (char* at = events; at < events + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len == 0) return;  // the test is done
        UniqueFd folder(::open((dir + "/" + event->name).c_str(), O_RDONLY | O_DIRECTORY));
        if (folder && ::flock(folder.get(), LOCK_EX | LOCK_NB) == 0)
          held.push_back(std::move(folder));
        at += sizeof(inotify_event) + event->len;
      }
    }
  });
  auto making = std::async(std::launch::async, makeFolders, 40);
  EXPECT_EQ(making.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "making a folder waits on the holder's lock";
  ::inotify_rm_watch(watch.get(), watched);  // its event, with no name, ends the holder
  holder.join();
  saved ? ::setenv("TMPDIR", saved->c_str(), 1) : ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace zefra::platform
