#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/log.h"
#include "support/text.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using zefra::testing::fileText;

class RunTest : public ToolFixture {
 protected:
  // Holds the runs given "wait" until the test lets go of the lock.
  base::UniqueFd holdGate() {
    base::UniqueFd fd(::open(gate().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_EQ(::flock(fd.get(), LOCK_EX), 0);
    return fd;
  }
  std::string gate() const { return home_ + "/gate"; }
};

// The plain run's reply folds every outcome into its status: the tool's own,
// the signal that ended it, 127 for a tool not to be had, 126 for a request
// refused or a launch that failed.
TEST_F(RunTest, TheStatusSaysHowTheRunEnded) {
  const auto tool = freeTool();
  writeTool(tool,
            R"(case "$1" in three) echo bad >&2; exit 3;; kill) kill -9 $$;; *) wc -c;; esac)");
  writeTool("not-a-tool", "exit 0");
  const struct {
    std::string tool;
    Request request;
    int status;
    std::string out, err;  // err: how it starts
  } rows[] = {
      {tool, {{"three"}}, 3, "", "bad\n"},
      {tool, {{"kill"}}, 9, "", ""},
      // Absent and empty input both end at once.
      {tool, {}, 0, "0\n", ""},
      {tool, {{}, ""}, 0, "0\n", ""},
      {"not-a-tool", {}, 127, "", "Zefra Helper: 'not-a-tool' is not installed or not allowed."},
      {tool, {{"a\0b"s}}, 126, "", "Zefra Helper: argument 1 contains a NUL byte"},
      {tool, {{}, {}, home_ + "/no/dir"}, 126, "", "Zefra Helper: Could not change to the"},
  };
  for (const auto& row : rows) {
    auto result = run(row.tool, row.request);
    EXPECT_EQ(result.status, row.status) << row.err;
    EXPECT_EQ(result.out, row.out) << row.err;
    EXPECT_EQ(result.err.rfind(row.err, 0), 0u) << result.err;
  }
}

// The search directories lead PATH; the rest is the caller's, else the
// helper's, else the system's default. HOME is the caller's to replace.
TEST_F(RunTest, PathIsLedByTheSearchDirectories) {
  const auto tool = freeTool();
  writeTool(tool, R"(printf '%s|%s' "$PATH" "$HOME")");
  std::string leading;
  for (const auto& directory : makeSearchDirectories(home_)) leading += directory + ":";
  const std::string path = getenv("PATH"), home = getenv("HOME");
  const std::pair<xpc::Environment, std::string> rows[] = {
      {{{"PATH", "/caller/bin"}}, leading + "/caller/bin|" + home},
      {{}, leading + path + "|" + home},
      {{{"PATH", ""}}, leading + "|" + home},
      {{{"HOME", "/elsewhere"}}, leading + path + "|/elsewhere"},
  };
  for (const auto& [environment, expected] : rows) {
    EXPECT_EQ(run(tool, {{}, {}, {}, environment}).out, expected);
  }
  unsetenv("PATH");
  const auto neither = run(tool).out;
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(neither, leading + "/usr/bin:/bin|" + home);
}

TEST_F(RunTest, LargeOutputAndInputArriveWhole) {
  const auto tool = freeTool();
  // 8 MiB on each stream at once, then echo the whole input back.
  writeTool(tool, R"(case "$1" in
    both) head -c 8388608 /dev/zero & head -c 8388608 /dev/zero >&2; wait;;
    echo) cat;;
    ignore) exit 0;;
  esac)");
  auto both = run(tool, {{"both"}});
  EXPECT_EQ(both.out.size(), 8388608u);
  EXPECT_EQ(both.err.size(), 8388608u);
  // Sizes at and beside the storage's growth steps, and 3 MiB of every byte.
  for (std::size_t size : {65535u, 65536u, 65537u, 131072u, 1048577u, 3145728u}) {
    std::string input(size, 'y');
    for (std::size_t i = 0; i < size; i += 4099) input[i] = static_cast<char>(i);
    input.back() = 'z';
    EXPECT_TRUE(run(tool, {{"echo"}, input}).out == input) << size;
  }
  // The tool leaves without reading: the write fails, the helper carries on.
  EXPECT_EQ(run(tool, {{"ignore"}, std::string(3 << 20, 'x')}).status, 0);
}

TEST_F(RunTest, BackgroundHolderOfTheOutputDelaysTheReply) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/release";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "(read line < '" + fifo + "'; echo late) & echo early");
  auto reply = startRun("bg", tool);
  EXPECT_EQ(reply.wait_for(200ms), std::future_status::timeout);
  std::ofstream(fifo) << "go\n";
  auto result = reply.get();
  EXPECT_EQ(result.out, "early\nlate\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(RunTest, CancelBeforeLaunchEndsTheRunWithoutInput) {
  const auto tool = freeTool();
  const std::string marker = home_ + "/ran";
  writeTool(tool, "cat > '" + marker + "'; exit 0");
  service().cancelWithRunID("early");
  service().cancelWithRunID("early");  // a set: the second changes nothing
  const int status = startRun("early", tool, {{}, "input"}).get().status;
  EXPECT_TRUE(status == 15 || status == 9) << status;
  EXPECT_EQ(fileText(marker), "");
  // The record was used up: the same ID runs normally now.
  EXPECT_EQ(startRun("early", tool, {{}, "x"}).get().status, 0);
}

// The client was killed: the run goes on to its end, as before, but what the
// tool writes from then on is read and dropped, and what was kept goes.
TEST_F(RunTest, ARunWhoseConnectionHasGoneKeepsNothing) {
  const auto tool = freeTool();
  const std::string fifo = home_ + "/release", done = home_ + "/done";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "head -c 4194304 /dev/zero; read line < '" + fifo +
                      "'; head -c 4194304 /dev/zero; head -c 65536 /dev/zero >&2; : > '" + done +
                      "'");
  auto reply = startRun("gone", tool);
  service().connectionInvalidated();
  std::ofstream(fifo) << "go\n";
  auto result = reply.get();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(fs::exists(done)) << "the run was cut short";
  EXPECT_EQ(result.out.size() + result.err.size(), 0u);
}

// One connection cannot hold memory without end: a cancel of a run that never
// started is forgotten oldest first, a run ID beyond the bytes alone is not
// kept at all (the log says so once), and past the bytes that runs in
// progress may hold a run is refused at once, saying why.
TEST_F(RunTest, AConnectionsCancelsAndRequestsAreBounded) {
  const auto tool = freeTool();
  writeTool(tool, "[ \"$1\" = wait ] && flock -s '" + gate() + "' true; exit 0");
  base::UniqueFd held = holdGate();
  platform::ScopedLogCapture log;
  const std::string huge(kMaxRememberedCancelBytes + 1, 'h');
  service().cancelWithRunID(huge);
  for (std::size_t i = 0; i <= kMaxRememberedCancels; ++i) {
    service().cancelWithRunID("c" + std::to_string(i));
  }
  const std::string newest = "c" + std::to_string(kMaxRememberedCancels);
  EXPECT_EQ(startRun(huge, tool).get().status, 0);
  EXPECT_EQ(startRun("c0", tool).get().status, 0);
  EXPECT_EQ(startRun(newest, tool, {{"wait"}}).get().status, 15);
  EXPECT_EQ(log.lines().size(), 1u);

  // The input is reserved address space, never touched.
  const std::size_t large = kMaxRunRequestBytes / 2 + 1;
  void* space = mmap(nullptr, large, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  xpc::Bytes input(std::shared_ptr<void>(space, [large](void* p) { munmap(p, large); }),
                   static_cast<const char*>(space), large);
  std::vector<std::future<RunResult>> big;
  for (const char* id : {"big1", "big2"}) {
    auto promise = std::make_shared<std::promise<RunResult>>();
    big.push_back(promise->get_future());
    service().runWithRunID(id, tool, {"wait"}, input, std::nullopt, {},
                           [promise](xpc::Bytes out, xpc::Bytes err, int status) {
                             promise->set_value({out.str(), err.str(), status});
                           });
  }
  const auto second = big[1].get();
  EXPECT_EQ(second.status, 126);
  EXPECT_TRUE(second.err.ends_with("this one would take them past 256 MiB; nothing was run."))
      << second.err;
  held.reset();
  EXPECT_EQ(big[0].get().status, 0);
}

TEST_F(RunTest, TwoRunsUnderOneIdStayCancellable) {
  const auto tool = freeTool();
  writeTool(tool, R"(: > ")" + home_ + R"(/$1-started"; if [ "$1" = first ]; then flock -s ')" +
                      gate() + R"(' true; else exec sleep 600; fi)");
  auto started = [&](const std::string& run) {
    return zefra::testing::eventually([&] { return fs::exists(home_ + "/" + run + "-started"); });
  };
  base::UniqueFd held = holdGate();
  // One after the other, so the second registration replaces the first.
  auto first = startRun("same", tool, {{"first"}});
  ASSERT_TRUE(started("first"));
  auto second = startRun("same", tool, {{"second"}});
  ASSERT_TRUE(started("second"));
  held.reset();
  EXPECT_EQ(first.get().status, 0);
  // The first run's end must not take the second out of reach of a cancel.
  service().cancelWithRunID("same");
  EXPECT_EQ(second.get().status, 15);
}

}  // namespace
}  // namespace zefra::tools::testing
