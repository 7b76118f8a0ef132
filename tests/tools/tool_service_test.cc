// The tool service against stand-in tools in a temporary home: finding a
// tool (the search directories, the login shell and the caches of its
// answers), what the helper says of itself and of the tools it finds, and
// running them: the plain run's status, the run with options' outcome and
// limits, cancels and deadlines, and the ending of a whole process tree;
// and the installs of updates that the end of the process waits for.
#include "tools/tool_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "codesign/signing.h"
#include "platform/desktop/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "platform/process/child_process.h"
#include "platform/process/landlock.h"
#include "platform/process/process_signals.h"
#include "support/codesign_fixture.h"
#include "support/eventually.h"
#include "support/process_state.h"
#include "support/run_chunks.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "tools/catalogue.h"
#include "tools/helper_version.h"
#include "tools/made_ahead.h"
#include "tools/process_tree.h"
#include "tools/run_containment.h"
#include "update/zip_archive.h"

namespace zefra::tools::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Json = nlohmann::json;
using namespace zefra::testing;

// What a run hands its tool besides the name.
struct Request {
  std::vector<std::string> arguments = {};
  std::optional<xpc::Bytes> input = {};
  std::optional<std::string> cwd = {};
  xpc::Environment environment = {};
};

struct RunResult {
  std::string out, err;
  int status = -1;
  friend bool operator==(const RunResult&, const RunResult&) = default;
};

// A reply handler and the future it fulfils.
template <class T>
std::pair<std::future<T>, std::function<void(T)>> promised() {
  auto promise = std::make_shared<std::promise<T>>();
  return {promise->get_future(), [promise](T value) { promise->set_value(std::move(value)); }};
}

// A temporary home whose ~/.local/bin holds stand-in tools, its own defaults
// file and a stand-in login shell that counts its calls.
class ToolFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ignoreSigpipe();  // as the helper does before anything else
    fs::create_directories(bin());
    defaults_ = std::make_unique<platform::UserDefaults>(home_ + "/defaults.json");
    setShellAnswer("");
  }

  // What the defaults file holds under `key`; null when absent.
  nlohmann::json stored(const char* key) const { return defaults_->snapshot().get(key); }

  std::string bin() const { return home_ + "/.local/bin"; }

  // A stand-in tool in ~/.local/bin running `script`; its name.
  std::string writeTool(const std::string& name, const std::string& script) {
    writeFile(bin() + "/" + name, "#!/bin/sh\n" + script + "\n");
    return name;
  }
  std::string writeFreeTool(const std::string& script) { return writeTool(freeTool(), script); }
  // How many lines `path` holds; 0 when it is absent.
  int lines(const std::string& path) { return static_cast<int>(occurrences(fileText(path), "\n")); }

  // The stand-in login shell prints this answer to "command -v".
  void setShellAnswer(const std::string& answer) {
    std::ofstream(home_ + "/shell-answer") << answer;
    writeFile(home_ + "/login-shell", "#!/bin/sh\necho \"$HOME\" \"$@\" >> '" + home_ +
                                          "/shell-calls'\ncat '" + home_ + "/shell-answer'\n");
  }
  int shellCalls() { return lines(home_ + "/shell-calls"); }

  // Holds a tool at `flock -s gate()` until the test lets go of the lock.
  base::UniqueFd holdGate() {
    base::UniqueFd fd(::open(gate().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_EQ(::flock(fd.get(), LOCK_EX), 0);
    return fd;
  }
  std::string gate() const { return home_ + "/gate"; }

  ToolServiceSettings settings() const {
    return {.homeDirectory = home_,
            .defaults = defaults_.get(),
            .loginShell = home_ + "/login-shell",
            .versionProbeTimeout = probeTimeout_,
            .loginShellTimeout = shellTimeout_};
  }
  ToolService& service() {
    if (!service_) service_ = ToolService::create(settings());
    return *service_;
  }
  // What a new connection would resolve with: fresh in-memory caches.
  std::unique_ptr<ToolResolver> newResolver() { return std::make_unique<ToolResolver>(settings()); }
  ToolResolver& resolver() {
    if (!resolver_) resolver_ = newResolver();
    return *resolver_;
  }

  std::future<RunResult> startRun(const std::string& runID, const std::string& tool,
                                  Request request = {}) {
    auto [future, reply] = promised<RunResult>();
    service().runWithRunID(runID, tool, std::move(request.arguments), std::move(request.input),
                           std::move(request.cwd), std::move(request.environment),
                           [reply](xpc::Bytes out, xpc::Bytes err, int status) {
                             reply({out.str(), err.str(), status});
                           });
    return std::move(future);
  }
  RunResult run(const std::string& tool, Request request = {}) {
    return startRun("run", tool, std::move(request)).get();
  }
  // A run with options, under the run ID "r".
  std::future<xpc::RunOutcome> start(const std::string& tool, xpc::RunOptions options,
                                     Request request = {}, xpc::RunOutput output = {}) {
    auto [future, reply] = promised<xpc::RunOutcome>();
    service().runWithOptions("r", tool, std::move(request.arguments), std::move(request.input),
                             std::move(request.cwd), std::move(request.environment), options,
                             std::move(output), std::move(reply));
    return std::move(future);
  }

  TempDir temp_;
  const std::string home_ = temp_.path();
  std::unique_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<ToolService> service_;
  std::unique_ptr<ToolResolver> resolver_;
  double probeTimeout_ = 10.0;
  double shellTimeout_ = 10.0;
};

class ResolutionTest : public ToolFixture {
 protected:
  // A tool outside every search directory, for the shell to find.
  std::string elsewhere(const std::string& name) {
    fs::create_directories(home_ + "/elsewhere");
    return writeFile(home_ + "/elsewhere/" + name, "#!/bin/sh\n");
  }
  std::atomic<double> now_{1'000'000.0};
  base::ScopedClockOverride clock_{[this] { return now_.load(); }};
};

// The catalogue is matched exactly, whatever a search directory holds: not
// a name of another case, nor a path ending in a catalogue name. The search
// directories are looked in, in order, before the shell, and anew each time.
TEST_F(ResolutionTest, OnlyCatalogueNamesAreLookedUpSearchDirectoriesFirstAndUncached) {
  writeTool("Typst", "");
  for (const char* name : {"Typst", "../bin/typst"}) EXPECT_FALSE(resolver().resolveToolPath(name));
  const auto tool = freeTool();
  const auto later = home_ + "/.claude/local";
  fs::create_directories(later);
  fs::create_symlink(elsewhere(tool), later + "/" + tool);  // a link to a program is a hit
  EXPECT_EQ(resolver().resolveToolPath(tool), later + "/" + tool);
  writeTool(tool, "");
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  // A cached shell answer does not outrank a search directory.
  resolver().storeShellPath(tool, elsewhere(tool));
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  EXPECT_EQ(shellCalls(), 0);
  // A file that is not executable is no hit.
  fs::permissions(bin() + "/" + tool, fs::perms::owner_read);
  EXPECT_EQ(resolver().resolveToolPath(tool), later + "/" + tool);
}

// The shell's answer is trimmed; profile noise around the path, a function
// or alias name, a relative path that exists from our working directory or a
// program of another name is no path, and persisted as none found. What is
// persisted is a file any program of the user can write: none found is taken
// for less than 900 s after its store, a path only while it is an executable
// file of the tool's name, and one value of the wrong type voids the whole
// dictionary, which the shell's answer then replaces.
TEST_F(ResolutionTest, TheShellIsAskedUnlessAUsableAnswerIsPersisted) {
  const auto tool = freeTool();
  const auto path = elsewhere(tool);
  const auto relative = fs::relative(path).string();
  ASSERT_TRUE(fs::exists(relative));
  const auto folder = home_ + "/folder/" + tool;
  fs::create_directories(folder);
  const double now = now_;
  const struct {
    Json paths, times;   // persisted
    std::string answer;  // the shell's
    bool asksShell;
    std::optional<std::string> found;
  } rows[] = {
      {nullptr, nullptr, "  " + path + " \n\n", true, path},
      {nullptr, nullptr, "Welcome!\n" + path + "\n", true, {}},
      {nullptr, nullptr, relative, true, {}},
      {nullptr, nullptr, elsewhere("script"), true, {}},
      {Json{{tool, ""}}, Json{{tool, now - 899}}, path, false, {}},
      {Json{{tool, ""}}, Json{{tool, now - 900}}, path, true, path},
      {Json{{tool, ""}}, Json{{tool, now + 3600}}, path, true, path},
      {Json{{tool, ""}}, nullptr, path, true, path},
      {Json{{tool, path}}, nullptr, "", false, path},
      {Json{{tool, elsewhere("script")}}, nullptr, path, true, path},
      {Json{{tool, folder}}, nullptr, path, true, path},
      {Json{{tool, path}, {"other", 3}}, nullptr, path, true, path},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.paths.dump() + " " + row.times.dump() + " " + row.answer);
    ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", row.paths));
    ASSERT_TRUE(defaults_->setObject("ResolvedToolPathsAt", row.times));
    setShellAnswer(row.answer);
    const int calls = shellCalls();
    EXPECT_EQ(newResolver()->resolveToolPath(tool), row.found);
    EXPECT_EQ(shellCalls(), calls + row.asksShell);
    if (row.asksShell) {
      EXPECT_EQ(stored("ResolvedToolPaths"), (Json{{tool, row.found.value_or("")}}));
      EXPECT_EQ(stored("ResolvedToolPathsAt")[tool], now);
    }
  }
  // Asked in the helper's own environment.
  EXPECT_TRUE(fileText(home_ + "/shell-calls")
                  .starts_with(std::string(getenv("HOME")) + " -lc command -v " + tool + "\n"));
  // A connection keeps what it learnt for its whole life, however old.
  ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", nullptr));
  setShellAnswer("");
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  now_ = now_ + 900.0;
  setShellAnswer(path);
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
}

// A shell that cannot start, or a profile that leaves a process holding the
// shell's output after the shell exits, or one that prints without end (cut
// off at the deadline with all it started): nothing is cached, in memory or
// persisted, so the next lookup asks again.
TEST_F(ResolutionTest, ShellThatCannotStartOrDoesNotEndCachesNothing) {
  shellTimeout_ = 2;  // room for a loaded machine to start the shell
  const auto tool = freeTool();
  const auto path = elsewhere(tool);
  fs::remove(home_ + "/login-shell");
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  const auto started = home_ + "/started";
  for (const std::string& profile :
       {"(exec sleep 1000) &\necho $! > '" + started + "'\necho " + path,
        "yes " + path + " &\necho $! > '" + started + "'\nwait"}) {
    writeFile(home_ + "/login-shell", "#!/bin/sh\n" + profile + "\n");
    EXPECT_FALSE(resolver().resolveToolPath(tool)) << profile;
    const pid_t pid = pidIn(started);
    ASSERT_GT(pid, 0) << profile;
    EXPECT_TRUE(eventually([&] { return processEnded(pid); })) << profile;
    EXPECT_EQ(stored("ResolvedToolPaths"), nullptr) << profile;
    fs::remove(started);
  }
  setShellAnswer(path);
  EXPECT_EQ(resolver().resolveToolPath(tool), path);
}

TEST(HelperVersion, PingAnswersTheShortVersionStringOrOnePointZero) {
  for (const Json& info :
       {Json{{"CFBundleVersion", "7"}}, Json{{"CFBundleShortVersionString", 2}}, Json::array()})
    EXPECT_EQ(versionFromInfoDictionary(info), "1.0") << info;
  EXPECT_EQ(versionFromInfoDictionary(Json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");
}

class InventoryTest : public ToolFixture {
 protected:
  std::future<xpc::Inventory> askInventory() {
    auto [future, reply] = promised<xpc::Inventory>();
    service().toolInventoryWithReply(std::move(reply));
    return std::move(future);
  }
  // A stand-in that counts its probes, then runs `script`.
  std::string writeProbedTool(const std::string& name, const std::string& script) {
    return writeTool(name, "echo >> '" + home_ + "/probes-" + name + "'\n" + script);
  }
  int probes(const std::string& name) { return lines(home_ + "/probes-" + name); }
  std::string versionOf(const std::string& name) {
    const auto entry = askInventory().get().at(name);
    EXPECT_EQ(entry.at("path"), bin() + "/" + name);
    return entry.at("version");
  }
};

// The first non-empty line, as it is, whatever the status; the probe runs in
// the helper's environment, output that is not UTF-8 is no version, and a
// line past the probe's output limit is none either.
TEST_F(InventoryTest, VersionIsTheFirstNonEmptyLine) {
  const struct {
    std::string script, version;
  } rows[] = {
      {"printf '\\n\\n  v 2.0  \\nsecond line\\n'", "  v 2.0  "},
      {"printf 'crlf 1.0\\r\\nnext\\r\\n'", "crlf 1.0"},
      {"echo failing 3.1; exit 4", "failing 3.1"},
      {"printf '\\n\\n'", ""},
      {"printf 'bad \\377\\376 version\\n'", ""},
      {"echo \"$HOME\"", getenv("HOME")},
      {"printf '%0100000d\\nv 1\\n' 0", ""},
  };
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    writeProbedTool(freeTool(i), rows[i].script);
    EXPECT_EQ(versionOf(freeTool(i)), rows[i].version) << rows[i].script;
  }
}

// The cache is keyed by path and modification time, shared by connections;
// a malformed one misses everywhere and is replaced.
TEST_F(InventoryTest, ProbesAgainOnlyWhenTheFileChanges) {
  const auto tool = writeProbedTool(freeTool(), "echo one");
  const auto path = bin() + "/" + tool;
  const auto entry = [](const char* version) {
    return Json{{"mtime", 1'700'000'000.5}, {"version", version}};
  };
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(newResolver()->toolVersion(path), "one");
  struct timeval times[2] = {{1'700'000'000, 0}, {1'700'000'000, 500'000}};
  writeProbedTool(tool, "echo two");
  utimes(path.c_str(), times);
  EXPECT_EQ(versionOf(tool), "two");

  ASSERT_TRUE(defaults_->setObject("ToolVersions", Json{{path, entry("stale")}, {"/other", 1}}));
  EXPECT_EQ(newResolver()->toolVersion(path), "two");
  EXPECT_EQ(probes(tool), 3);  // one probe for each version seen, none for the shared cache
  EXPECT_EQ(stored("ToolVersions"), (Json{{path, entry("two")}}));
}

// A probe that does not end, or that exits while what it started in the
// background holds its output, is cut off, leaves nothing running and is not
// cached, nor is one that could not start; the other probes are not cut off.
TEST_F(InventoryTest, AProbeThatDoesNotEndIsCutOffLeavesNothingRunningAndIsNotCached) {
  probeTimeout_ = 2;  // room for a loaded machine to start every probe
  const auto hanging = writeProbedTool(freeTool(), "exec sleep 600");
  const auto outlived = writeProbedTool(freeTool(1), "sleep 600 & echo $! > \"$0.held\"; echo v 1");
  const auto fine = writeProbedTool(freeTool(2), "echo fine 1");
  const auto unstartable = writeFile(bin() + "/" + freeTool(3), "#!/nonexistent/sh\n");
  auto listed = askInventory().get();
  EXPECT_EQ(listed.at(hanging).at("version"), "");
  EXPECT_EQ(listed.at(outlived).at("version"), "");
  EXPECT_EQ(listed.at(fine).at("version"), "fine 1");
  EXPECT_FALSE(stored("ToolVersions").contains(unstartable));
  const pid_t holder = pidIn(bin() + "/" + outlived + ".held");
  ASSERT_GT(holder, 0);
  EXPECT_TRUE(eventually([&] { return processEnded(holder); })) << "the probe's child runs on";
  (void)platform::signalProcess(holder, SIGKILL);
  askInventory().get();
  EXPECT_EQ(probes(hanging), 2);
}

// Inventories asked for while one is in progress share it rather than each
// taking a thread per tool; past kMaxInventoryWaiters they answer at once,
// empty.
TEST_F(InventoryTest, InventoriesAskedMeanwhileShareOneWithinABound) {
  const auto tool = writeProbedTool(freeTool(), "flock -s '" + gate() + "' echo slow 1");
  base::UniqueFd held = holdGate();
  std::vector<std::future<xpc::Inventory>> replies;
  replies.push_back(askInventory());
  ASSERT_TRUE(eventually([&] { return probes(tool) > 0; }));
  // The bound's worth of waiters, and one more.
  for (std::size_t i = 0; i < kMaxInventoryWaiters; ++i) replies.push_back(askInventory());
  EXPECT_TRUE(replies.back().get().empty()) << "one past the bound was kept waiting";
  held.reset();
  for (std::size_t i = 0; i < kMaxInventoryWaiters; ++i)
    EXPECT_EQ(replies[i].get().at(tool).at("version"), "slow 1") << i;
  EXPECT_EQ(probes(tool), 1);
}

using RunTest = ToolFixture;

// The search directories lead PATH; the rest is the caller's (even empty),
// else the helper's, else the system's default.
TEST_F(RunTest, PathIsLedByTheSearchDirectories) {
  const auto tool = writeFreeTool(R"(printf %s "$PATH")");
  std::string leading;
  for (const auto& directory : makeSearchDirectories(home_)) leading += directory + ":";
  const std::string path = getenv("PATH");
  EXPECT_EQ(run(tool, {{}, {}, {}, {{"PATH", "/caller/bin"}}}).out, leading + "/caller/bin");
  EXPECT_EQ(run(tool, {{}, {}, {}, {{"PATH", ""}}}).out, leading);
  EXPECT_EQ(run(tool).out, leading + path);
  unsetenv("PATH");
  const auto neither = run(tool).out;
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(neither, leading + "/usr/bin:/bin");
}

// The reply waits for the whole output, however large, on both streams at
// once, and whoever writes it: a background process left holding the pipe
// included. The whole input reaches the tool. Once the client was killed,
// the run goes on to its end, as before, but what the tool writes from then
// on is read and dropped, and what was kept goes.
TEST_F(RunTest, TheWholeOutputAndInputArriveWhileTheConnectionLasts) {
  const auto tool = writeFreeTool(R"(case "$1" in
    both) head -c 8388608 /dev/zero & head -c 8388608 /dev/zero >&2; wait;;
    background) echo early; (flock -s "$2" echo late) & echo $$ > "$3";;
    echo) cat;;
    ignore) exit 0;;
    gone) head -c 4194304 /dev/zero; flock -s "$2" head -c 4194304 /dev/zero
      head -c 65536 /dev/zero >&2;;
  esac)");
  const std::string zeros(8388608, '\0');
  EXPECT_TRUE(run(tool, {{"both"}}) == (RunResult{zeros, zeros, 0})) << "output was lost";
  base::UniqueFd held = holdGate();
  auto background = startRun("bg", tool, {{"background", gate(), home_ + "/bg-pid"}});
  // Let go only once the tool itself has ended, its child alone on the pipe.
  const pid_t shell = pidIn(home_ + "/bg-pid");
  EXPECT_TRUE(eventually([&] { return processEnded(shell); }));
  held.reset();
  EXPECT_EQ(background.get(), (RunResult{"early\nlate\n", "", 0}));
  // Sizes at and one past the first growth step of the output's storage (and
  // a pipe's default size), and 3 MiB of every byte, past the pipe's widening.
  for (std::size_t size : {65536u, 65537u, 3145728u}) {
    std::string input(size, 'y');
    for (std::size_t i = 0; i < size; i += 4099) input[i] = static_cast<char>(i);
    EXPECT_TRUE(run(tool, {{"echo"}, xpc::Bytes(input)}).out == input) << size;
  }
  // The tool leaves without reading: the write fails, the helper carries on.
  EXPECT_EQ(run(tool, {{"ignore"}, xpc::Bytes(std::string(3 << 20, 'x'))}).status, 0);
  held = holdGate();
  auto reply = startRun("gone", tool, {{"gone", gate()}});
  service().connectionInvalidated();
  held.reset();
  // Status 0: the tool ran to its end, its last write read, not cut short.
  EXPECT_EQ(reply.get(), (RunResult{"", "", 0})) << "it failed, was cut short or kept something";
}

// A cancel of a run that has not started ends it when it comes, before its
// input, once. One connection cannot hold memory without end: such cancels
// are forgotten oldest first, a run ID beyond the bytes alone is not kept at
// all (the log says so once), and past the bytes that runs in progress may
// hold a run is refused at once, saying why.
TEST_F(RunTest, CancelsBeforeLaunchAndRequestsAreBounded) {
  // The runs given "big" leave their input unread.
  const auto tool = writeFreeTool("[ \"$1\" = wait ] && flock -s '" + gate() +
                                  "' true; [ -z \"$2\" ] && cat > \"$0.input\"; exit 0");
  base::UniqueFd held = holdGate();
  platform::ScopedLogCapture log;
  const std::string huge(kMaxRememberedCancelBytes + 1, 'h');
  service().cancelWithRunID(huge);
  for (std::size_t i = 0; i <= kMaxRememberedCancels; ++i)
    service().cancelWithRunID("c" + std::to_string(i));
  const std::string newest = "c" + std::to_string(kMaxRememberedCancels);
  service().cancelWithRunID(newest);  // a set: the second changes nothing
  EXPECT_EQ(startRun(huge, tool).get().status, 0);
  EXPECT_EQ(startRun("c0", tool).get().status, 0);
  EXPECT_EQ(startRun(newest, tool, {{"wait"}, xpc::Bytes("input")}).get().status, 15);
  EXPECT_EQ(startRun(newest, tool, {{}, xpc::Bytes("x")}).get().status, 0) << "used up";
  EXPECT_EQ(fileText(bin() + "/" + tool + ".input"), "x");
  EXPECT_EQ(log.lines().size(), 1u);

  // The input is reserved address space, never touched.
  const std::size_t large = kMaxRunRequestBytes / 2 + 1;
  void* space = mmap(nullptr, large, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  xpc::Bytes reserved(std::shared_ptr<void>(space, [large](void* p) { munmap(p, large); }),
                      static_cast<const char*>(space), large);
  auto first = startRun("big1", tool, {{"wait", "big"}, reserved});
  const auto second = startRun("big2", tool, {{"wait", "big"}, reserved}).get();
  EXPECT_EQ(second.status, 126);
  EXPECT_TRUE(second.err.ends_with("this one would take them past 256 MiB; nothing was run."))
      << second.err;
  held.reset();
  EXPECT_EQ(first.get().status, 0);
}

TEST_F(RunTest, TwoRunsUnderOneIdStayCancellable) {
  const auto tool = writeFreeTool(R"(echo $$ > "$0.$1"; if [ "$1" = first ]; then flock -s ')" +
                                  gate() + R"(' true; else exec sleep 600; fi)");
  base::UniqueFd held = holdGate();
  // One after the other, so the second registration replaces the first.
  auto first = startRun("same", tool, {{"first"}});
  ASSERT_GT(pidIn(bin() + "/" + tool + ".first"), 0);
  auto second = startRun("same", tool, {{"second"}});
  ASSERT_GT(pidIn(bin() + "/" + tool + ".second"), 0);
  held.reset();
  EXPECT_EQ(first.get().status, 0);
  // The first run's end must not take the second out of reach of a cancel.
  service().cancelWithRunID("same");
  EXPECT_EQ(second.get().status, 15);
}

// An outcome holds exactly one of an exit status, a signal and a failure;
// the plain run folds it into its status, 127 for a tool not to be had and
// 126 for any other failure. exec takes C strings: a request it would change
// (an argument cut at its NUL, a second PATH entry) is refused, the tool not
// run, as no exit status says.
TEST_F(RunTest, TheOutcomeSaysWhatHappenedAndThePlainStatusFoldsIt) {
  const auto tool = writeFreeTool(
      R"(case $1 in exit) echo bad >&2; exit 3;; kill) kill -9 $$;; wc) wc -c;; esac)");
  using F = xpc::RunFailure;
  const struct {
    std::string tool;
    Request request;
    int status;
    std::optional<int> exitStatus, signal;
    std::optional<xpc::RunFailure> failure;
    std::string said;  // in the failure's message, else what the tool wrote
  } rows[] = {
      {tool, {{"exit"}}, 3, 3, {}, {}, "bad\n"},
      {tool, {{"kill"}}, 9, {}, 9, {}, ""},
      // Absent and empty input both end at once.
      {tool, {{"wc"}}, 0, 0, {}, {}, "0\n"},
      {tool, {{"wc"}, xpc::Bytes()}, 0, 0, {}, {}, "0\n"},
      {freeTool(1), {}, 127, {}, {}, F::kNotAvailable, "'" + freeTool(1) + "' is not installed"},
      {tool, {{"ok", "a\0b"s}}, 126, {}, {}, F::kRefused, "argument 2 contains a NUL byte"},
      {tool, {{}, {}, home_ + "\0/x"s}, 126, {}, {}, F::kRefused, "the working directory contains"},
      {tool, {{}, {}, home_ + "/nowhere"}, 126, {}, {}, F::kLaunchFailed, "Could not change to"},
      {tool, {{}, {}, {}, {{"X", "1\0 2"s}}}, 126, {}, {}, F::kRefused, "the value of the environ"},
      {tool, {{}, {}, {}, {{"PATH=/x", "1"}}}, 126, {}, {}, F::kRefused, "'PATH=/x' contains '='"},
      {tool, {{}, {}, {}, {{"", "1"}}}, 126, {}, {}, F::kRefused, "has an empty name"},
      {tool, {{}, {}, {}, {{"A\0B"s, "1"}}}, 126, {}, {}, F::kRefused, "'A\\0B' contains a NUL"},
      // What exec passes on unchanged runs.
      {tool, {{"a b"}, {}, {}, {{"X", "="}}}, 0, 0, {}, {}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.said);
    auto outcome = start(row.tool, {}, row.request).get();
    EXPECT_EQ(std::tuple(outcome.exitStatus, outcome.signal, outcome.failure),
              std::tuple(row.exitStatus, row.signal, row.failure));
    const std::string out = outcome.standardOutput.str(), err = outcome.standardError.str();
    EXPECT_TRUE(row.failure ? outcome.message.find(row.said) != std::string::npos
                            : out + err == row.said)
        << outcome.message << out + err;
    EXPECT_EQ(run(row.tool, row.request),
              (RunResult{out, row.failure ? "Zefra Helper: " + outcome.message : err, row.status}));
  }
}

// Past the limit, bytes are read and dropped: the tool runs to its end.
// Streamed output reaches the caller only, never the reply.
TEST_F(RunTest, AnOutputLimitKeepsOnlyItsShare) {
  const auto tool = writeFreeTool("head -c 3000000 /dev/zero; printf tail >&2");
  for (bool stream : {false, true}) {
    for (std::uint64_t limit : {0u, 4u, 1000000u}) {
      auto chunks = std::make_shared<RunChunks>();
      xpc::RunOptions options{.stream = stream, .outputLimit = limit, .confine = {}};
      auto outcome = start(tool, options, {}, chunks->output()).get();
      const std::string out = stream ? chunks->out() : outcome.standardOutput.str();
      const std::string err = stream ? chunks->out(2) : outcome.standardError.str();
      EXPECT_EQ(out, std::string(limit, '\0')) << stream << " " << limit;
      EXPECT_EQ(err, std::string("tail").substr(0, limit));
      EXPECT_TRUE(outcome.standardOutputTruncated);
      EXPECT_EQ(outcome.standardErrorTruncated, limit < 4);
      EXPECT_TRUE(!stream || outcome.standardOutput.size() + outcome.standardError.size() == 0)
          << "streamed output was kept for the reply too";
    }
  }
}

// Every thread of the pool busy, and the pool capped at them, until it goes.
class PoolHeld {
 public:
  // `busy`: the threads the caller's own work holds. What an earlier case
  // still does (a run's cleanup after its reply) ends first, or the thread it
  // frees would be free for anyone.
  explicit PoolHeld(std::size_t busy) {
    EXPECT_TRUE(eventually([busy] {
      const auto stats = platform::poolStats();
      return stats.threads - stats.idle == busy;
    }));
    const std::size_t cap = std::max<std::size_t>(platform::poolStats().threads, 1);
    platform::setPoolThreadCapForTesting(cap);
    // Each holder starts: on an idle thread, or on a new one while a thread
    // that left keeps the pool below its cap.
    for (auto stats = platform::poolStats(); stats.idle > 0 || stats.threads < cap;
         stats = platform::poolStats()) {
      // Its own handle on the release: the holder may go while it wakes.
      platform::globalQueue().async([this, released = released_] {
        started_.release();
        released.wait();
      });
      started_.acquire();
    }
  }
  ~PoolHeld() {
    release_.set_value();
    platform::setPoolThreadCapForTesting(0);
  }

 private:
  std::counting_semaphore<> started_{0};
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
};

// A deadline, a cancel, or the end of the connection for a run that asked
// for it ends the tool's whole tree: SIGTERM, and SIGKILL 2 s later for what
// ignores it, even when every pool thread is busy; through the run's cgroup,
// or else by the walk of parent links. A run launched after the end is ended
// at once.
TEST_F(RunTest, ADeadlineACancelOrTheConnectionsEndEndsTheWholeTree) {
  const auto tool = writeFreeTool(
      "[ \"$2\" = stubborn ] && trap '' TERM; ( sh -c 'echo $$ > \"$0\"; exec sleep 600' "
      "\"$1\" & wait ) & exec sleep 600");
  // A stubborn tool's deadline is met with every pool thread busy, the
  // harder case of the SIGKILL pass; or when no timer thread can start for
  // it, as a tool that exhausts the pids limit leaves the helper: at once.
  enum End { kDeadline, kStubbornPoolFull, kStubbornNoThread, kCancel, kDisconnect };
  xpc::RunOptions options{.outputLimit = {}, .cancelOnDisconnect = true, .confine = {}};
  int runs = 0;
  for (bool withCgroup : {true, false}) {
    if (withCgroup && !runCgroupParent().available()) continue;
    SCOPED_TRACE(withCgroup ? "in a cgroup" : "without one");
    if (!withCgroup) useRunCgroupParentForTesting(platform::RunCgroupParent::at(home_));
    service_.reset();
    // The connection's end last: nothing runs on it after that.
    for (End end : {kDeadline, kStubbornPoolFull, kStubbornNoThread, kCancel, kDisconnect}) {
      const std::string file = home_ + "/grandchild" + std::to_string(++runs);
      const bool stubborn = end == kStubbornPoolFull || end == kStubbornNoThread;
      const bool deadline = end == kDeadline || stubborn;
      options.timeout = deadline ? 2 : 0;  // room for the tree to start under load
      if (end == kStubbornNoThread) {
        // The earlier runs' SIGKILL passes gone, the deadline's is the next.
        ASSERT_TRUE(eventually([] { return !platform::poolStats().timerThread; }));
        platform::failNextTimerThreadStartForTesting();
      }
      auto reply = start(tool, options, {{file, stubborn ? "stubborn" : ""}});
      const pid_t grandchild = pidIn(file);
      ASSERT_GT(grandchild, 0);
      if (end == kCancel) service().cancelWithRunID("r");
      if (end == kDisconnect) service().connectionInvalidated();
      if (end == kStubbornPoolFull) {
        PoolHeld held(1);  // the run's
        EXPECT_EQ(reply.wait_for(20s), std::future_status::ready)
            << "the SIGKILL pass waited for a pool thread";
      }
      auto outcome = reply.get();
      EXPECT_EQ(outcome.timedOut, deadline) << end;
      EXPECT_EQ(outcome.cancelled, !deadline) << end;
      EXPECT_EQ(outcome.signal, stubborn ? 9 : 15) << end;
      EXPECT_TRUE(eventually([&] { return processEnded(grandchild); })) << end;
    }
    options.timeout = 0;
    EXPECT_TRUE(start(tool, options, {{home_ + "/late"}}).get().cancelled);
  }
  useRunCgroupParentForTesting(platform::RunCgroupParent::locate());
}

// A tool that is not confined may move itself out of its run's cgroup,
// into the cgroup above: the end still reaches it, through its pidfd. A
// child that moves out holding the tool's output is not reached, and holds
// the reply no longer than the outputs' grace, whether the tool waits for
// it or has exited, leaving nothing of the run to signal.
TEST_F(RunTest, AnEndReachesAToolThatLeftItsCgroup) {
  if (!runCgroupParent().available()) GTEST_SKIP() << "no cgroup";
  const std::string leaves = "echo $$ > \"$2/cgroup.procs\" && echo $$ > \"$1\" && exec sleep 600";
  const std::string child = "sh -c '" + leaves + "' sh \"$@\" & ";
  const std::string gone = "echo $$ > \"$1.tool\"; " + child + "until [ -s \"$1\" ]; do :; done";
  for (const std::string& script : {leaves, child + "wait", gone}) {
    const auto tool = writeFreeTool(script);
    const std::string file = home_ + "/moved";
    fs::remove(file);
    auto reply = start(tool, {}, {{file, runCgroupParent().path()}});
    const pid_t moved = pidIn(file);
    ASSERT_GT(moved, 0);
    if (script == gone) {
      ASSERT_TRUE(eventually([&] { return processEnded(pidIn(file + ".tool")); }));
    }
    service().cancelWithRunID("r");
    EXPECT_EQ(reply.wait_for(20s), std::future_status::ready) << script;
    if (!processEnded(moved)) (void)platform::signalProcess(moved, SIGKILL);
    EXPECT_TRUE(reply.get().cancelled);
  }
}

// A cancel that comes as the run replies finds it gone, not ended: what the
// tool left running goes on, moved out of its cgroup.
TEST_F(RunTest, ACancelAtTheReplyLeavesWhatANormalEndLeft) {
  if (!runCgroupParent().available()) GTEST_SKIP() << "no cgroup";
  const auto tool = writeFreeTool("sleep 600 </dev/null >/dev/null 2>&1 & echo $! > \"$0.left\"");
  std::promise<void> replied;
  service().runWithOptions("r", tool, {}, {}, {}, {}, {}, {}, [&](xpc::RunOutcome) {
    service().cancelWithRunID("r");
    replied.set_value();
  });
  replied.get_future().wait();
  const pid_t left = pidIn(bin() + "/" + tool + ".left");
  const auto cgroupOf = [](pid_t pid) { return procField(pid, "cgroup", "0::"); };
  const std::string ours = cgroupOf(::getpid());
  EXPECT_TRUE(eventually([&] { return processEnded(left) || cgroupOf(left) == ours; }));
  EXPECT_FALSE(processEnded(left)) << "the cancel ended what the run left";
  (void)platform::signalProcess(left, SIGKILL);
}

// A confinement that cannot be had refuses the run before the tool starts,
// never running it unconfined.
TEST_F(RunTest, AConfinementThatCannotBeHadRefusesTheRun) {
  const auto tool = writeFreeTool("touch \"$0.ran\"");
  const int abi = platform::landlockAbi();
  // Without a cgroup, the confined tool's processes could not be told from
  // others and refused when they call the helper.
  const auto noCgroups = platform::RunCgroupParent::at(home_);
  const struct {
    int abi;
    std::vector<std::string> confine;
    bool noNetwork;
    std::string says;
    bool cgroups = true;
  } rows[] = {
      {0, {home_}, false, "does not offer Landlock"},
      {3, {}, true, "cannot keep a run off the network (Landlock ABI 3; 4 is needed)"},
      {abi, {"relative"}, false, "\u201crelative\u201d, is not an absolute path"},
      {abi, {home_ + "/missing"}, false, "No such file or directory"},
      {std::max(abi, 1), {home_}, false, "a confined run needs a cgroup of its own", false},
  };
  for (const auto& row : rows) {
    if (row.abi > abi) continue;
    platform::overrideLandlockAbiForTesting(row.abi);
    useRunCgroupParentForTesting(row.cgroups ? platform::RunCgroupParent::locate() : noCgroups);
    xpc::RunOptions options{.outputLimit = {}, .confine = row.confine, .noNetwork = row.noNetwork};
    auto outcome = start(tool, options).get();
    EXPECT_EQ(outcome.failure, xpc::RunFailure::kRefused) << row.says;
    EXPECT_NE(outcome.message.find(row.says), std::string::npos) << outcome.message;
    EXPECT_TRUE(outcome.message.ends_with("; nothing was run.")) << outcome.message;
  }
  platform::overrideLandlockAbiForTesting(-1);
  useRunCgroupParentForTesting(platform::RunCgroupParent::locate());
  EXPECT_FALSE(fs::exists(bin() + "/" + tool + ".ran"));
}

// Levels deepest first, each in reverse table order; parent cycles in a torn
// snapshot end the walk. That the signals reach a real tree, SIGKILL after
// SIGTERM, is the deadline test above, with and without a cgroup.
TEST(ProcessTreeWalkTest, DescendantsComeDeepestLevelFirstAndCyclesEndTheWalk) {
  // Levels [50, 20, 30], [51, 52, 21, 22], [53]: table order, not pid order.
  const platform::ProcessTableSnapshot table = {{50, 10}, {10, 1},  {20, 10}, {21, 20}, {51, 50},
                                                {52, 50}, {30, 10}, {53, 51}, {22, 20}};
  EXPECT_EQ(descendantPIDs(10, table), (std::vector<pid_t>{53, 22, 21, 52, 51, 30, 20, 50}));
  EXPECT_EQ(descendantPIDs(99, table), std::vector<pid_t>{});
  EXPECT_EQ(descendantPIDs(1, {{1, 3}, {2, 1}, {3, 2}}), (std::vector<pid_t>{3, 2}));
}

// A shell that forks as fast as it can: a child born between the walk and
// the signals would outlive the tree. Each round must leave nobody behind.
TEST(ProcessTreeChurnTest, AForkingTreeLeavesNoProcessBehind) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (int round = 0; round < 5; ++round) {
    platform::SpawnOptions options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", "while :; do sleep 1000 & done"};
    auto shell = platform::spawnProcess(options).value();
    ASSERT_TRUE(eventually([&] { return descendantPIDs(shell.pid()).size() >= 20; }));
    EXPECT_FALSE(terminateProcessTree(shell).empty());
    shell.wait();
    // The listed ones die of SIGTERM; anyone else would sleep on.
    EXPECT_TRUE(eventually([&] {
      while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
      return ourChildren().empty();
    })) << ourChildren().size()
        << " processes outlived their tree in round " << round;
    for (pid_t pid : ourChildren()) (void)platform::signalProcess(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) continue;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// What is made ahead is taken once; one made while the world changed is not
// kept, and none outlives close(), which the process calls as it ends: not
// even one still being made, which close() waits for.
TEST(MadeAheadTest, ASpareIsTakenOnceAndNoneOutlivesAChangeOrTheEnd) {
  MadeAhead<std::shared_ptr<int>> ahead;
  std::weak_ptr<int> made;  // the last one made
  auto make = [&]() -> Result<std::shared_ptr<int>> {
    auto fresh = std::make_shared<int>(0);
    made = fresh;
    return fresh;
  };
  ahead.refill(make);
  EXPECT_TRUE(ahead.take());
  EXPECT_FALSE(ahead.take());

  ahead.refill([&] {
    ahead.drop();
    return make();
  });
  EXPECT_FALSE(ahead.take());

  std::binary_semaphore making(0), finish(0);
  std::thread refiller([&] {
    ahead.refill([&] {
      making.release();
      finish.acquire();
      return make();
    });
  });
  making.acquire();
  std::atomic<pid_t> closer{0};
  std::thread closing([&] {
    closer = gettid();
    ahead.close();
  });
  // Asleep in close() (or already past it) before the refill ends.
  EXPECT_TRUE(eventually([&] {
    const pid_t tid = closer;
    const std::string state = procField(tid, "status", "State:");
    return tid != 0 && (state.empty() || state.find('S') != std::string::npos);
  }));
  finish.release();
  refiller.join();
  closing.join();
  EXPECT_TRUE(made.expired()) << "a spare being made as the process ended outlived it";
  ahead.refill(make);
  EXPECT_FALSE(ahead.take());
}

// A successful install ends the process soon after its reply, and the end
// ran no destructor: an install queued behind it was cut off mid-way, its
// staging folder left behind and its caller unanswered. It is now refused.
TEST_F(ToolFixture, AnInstallQueuedBehindOneThatEndsTheHelperIsRefused) {
  // The installed copy, and the update zipped from it.
  const std::string app = home_ + "/apps/Zefra Helper.app";
  fs::create_directories(app + "/Contents/Linux");
  writeFile(app + "/Contents/Info.json", R"({"CFBundleExecutable": "zefra-helper"})", 0644);
  writeFile(app + "/Contents/Linux/zefra-helper", "#!/bin/sh\n");
  ASSERT_TRUE(codesign::signBundle(app, testPki().leaf.identity(), "com.ovak.zefra.helper"));
  auto writer = update::ZipWriter::create(home_ + "/update.zip");
  ASSERT_TRUE(writer && writer->addTree("Zefra Helper.app", app) && writer->finish());
  fs::create_directories(home_ + "/tmp");
  update::UpdateSettings updates;
  updates.temporaryDirectory = home_ + "/tmp";
  updates.bundlePath = app;
  updates.runningFromBundle = true;
  updates.anchor = testPki().root.anchor();
  auto service = ToolService::create(settings(), updates);

  using Answer = std::pair<bool, std::string>;
  std::promise<Answer> first, second;
  for (auto* answer : {&first, &second}) {
    service->installUpdateFromZipAt(home_ + "/update.zip", [answer](bool ok, std::string message) {
      answer->set_value({ok, std::move(message)});
    });
  }
  EXPECT_EQ(first.get_future().get(), Answer(true, "Zefra Helper updated itself."));
  EXPECT_EQ(second.get_future().get(),
            Answer(false, "Zefra Helper is restarting for an update and didn't install this one."));
  EXPECT_TRUE(fs::is_empty(home_ + "/tmp"));
}

}  // namespace
}  // namespace zefra::tools::testing
