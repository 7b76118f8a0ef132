// Runs through the built helper and client stream their output, own their
// whole tree, what left it included, and may be confined to the folders the
// caller names.
#include <poll.h>
#include <signal.h>

#include "platform/files/small_file.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "support/process_state.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::pidIn;
using zefra::testing::processEnded;

class RunContainmentTest : public HelperFixture {
 protected:
  static std::string unifiedCgroupOf(pid_t pid) {
    auto text = platform::readSmallFile("/proc/" + std::to_string(pid) + "/cgroup");
    if (!text) return "";
    const auto line = text->find("0::");
    return line == std::string::npos ? ""
                                     : text->substr(line + 3, text->find('\n', line) - line - 3);
  }
};

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
    platform::SpawnOptions options;
    options.executable = ZEFRA_TEST_CLIENT;
    options.arguments = {"run", tool, daemonFile, row.signal ? "sleep" : "end"};
    options.environment = environment();
    options.standardInput = platform::Stdio::nullDevice();
    options.standardOutput = platform::Stdio::fromFd(out->writeEnd.get());
    auto client = platform::spawnProcess(options);
    ASSERT_TRUE(client) << client.error().message;
    out->writeEnd.reset();
    const pid_t daemon = pidIn(daemonFile);
    ASSERT_GT(daemon, 0);
    if (row.signal) {
      // The line comes while the tool still runs.
      pollfd readable{out->readEnd.get(), POLLIN, 0};
      ASSERT_EQ(::poll(&readable, 1, 60'000), 1);
      std::string first(6, '\0');
      ASSERT_EQ(::read(out->readEnd.get(), first.data(), first.size()), 6);
      EXPECT_EQ(first, "begun\n");
      ASSERT_TRUE(client->signal(row.signal));
    }
    EXPECT_EQ(platform::readToEnd(out->readEnd.get()).value(), row.signal ? "" : "begun\n");
    EXPECT_EQ(client->wait(), row.status);
    if (row.status) {
      EXPECT_TRUE(eventually([&] { return processEnded(daemon); }));
    } else {
      EXPECT_TRUE(eventually([&] { return unifiedCgroupOf(daemon) == unifiedCgroupOf(helper); }));
      EXPECT_FALSE(processEnded(daemon));
      ::kill(daemon, SIGKILL);
    }
  }
  // The cgroup made ahead for the next run goes with the helper.
  const std::string cgroups = "/sys/fs/cgroup" + unifiedCgroupOf(helper);
  const std::string ours = "zefra-run-" + std::to_string(helper) + "-";
  ASSERT_TRUE(helperProcess.signal(SIGTERM));
  EXPECT_EQ(helperProcess.wait(), 0);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(cgroups, error)) {
    EXPECT_NE(entry.path().filename().string().rfind(ours, 0), 0u) << entry.path();
  }
}

// The same tool unconfined and confined: confined, it writes beneath the
// named folder and its own TMPDIR (gone after the run), is refused
// elsewhere, and cannot connect to a loopback listener.
TEST_F(RunContainmentTest, AConfinedRunWritesOnlyWhereItMayAndStaysOffTheNetwork) {
  startHelper();
  const auto tool = freeTool();
  writeTool(tool,
            "echo in > \"$1/in\" && echo inside\n"
            "( exec 2>&1; echo out > \"$2/out\" ) | grep -o 'Permission denied'\n"
            "[ -e \"$2/out\" ] && echo outside\n"
            "[ -n \"$TMPDIR\" ] && echo \"$TMPDIR\" > \"$1/tmpdir\" && echo t > \"$TMPDIR/t\" && "
            "echo tmp\n"
            "bash -c \"exec 3<>/dev/tcp/127.0.0.1/$3\" 2>/dev/null && echo connected\n"
            "exit 0\n");
  const auto listener = zefra::testing::listenOnLoopback();
  const std::string inside = root_ + "/inside", outside = root_ + "/outside";
  const struct {
    std::vector<std::string> arguments;
    std::string out;
  } rows[] = {
      {{"run", tool, inside, outside, listener.port}, "inside\noutside\nconnected\n"},
      {{"run", "--confine", inside, "--no-network", tool, inside, outside, listener.port},
       "inside\nPermission denied\ntmp\n"},
  };
  for (const auto& row : rows) {
    for (const auto& dir : {inside, outside}) {
      fs::remove_all(dir);
      fs::create_directories(dir);
    }
    auto outcome = client(row.arguments);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, row.out);
  }
  const auto temporary = platform::readSmallFile(inside + "/tmpdir");
  ASSERT_TRUE(temporary);
  // Removed after the reply.
  EXPECT_TRUE(eventually([&] { return !fs::exists(temporary->substr(0, temporary->size() - 1)); }))
      << temporary.value();
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
  const struct {
    const char* tool;
    std::vector<std::string> arguments;
    const char* product;
  } rows[] = {
      {"pandoc", {root_ + "/doc.md", "-s", "-o", out + "/doc.html"}, "doc.html"},
      {"pdflatex",
       {"-interaction=nonstopmode", "-output-directory", out, root_ + "/doc.tex"},
       "doc.pdf"},
  };
  int ran = 0;
  for (const auto& row : rows) {
    if (::access((std::string("/usr/bin/") + row.tool).c_str(), X_OK) != 0) continue;
    ++ran;
    std::vector<std::string> arguments = {"run", "--confine", out, "--cwd", out, row.tool};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    auto outcome = client(arguments);
    EXPECT_EQ(outcome.status, 0) << row.tool << ": " << outcome.out << outcome.err;
    EXPECT_TRUE(fs::exists(out + "/" + row.product)) << row.tool;
  }
  if (ran == 0) GTEST_SKIP() << "neither pandoc nor pdflatex is installed";
}

}  // namespace
}  // namespace zefra::app::testing
