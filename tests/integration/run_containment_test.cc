// Runs through the built helper and client own their whole tree, what left
// it included, and may be confined to the folders the caller names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include "platform/files/small_file.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "support/run_chunks.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::pidIn;
using zefra::testing::processEnded;

class RunContainmentTest : public HelperFixture {
 protected:
  platform::ChildProcess spawnClient(const std::vector<std::string>& arguments) {
    platform::SpawnOptions options;
    options.executable = ZEFRA_TEST_CLIENT;
    options.arguments = arguments;
    options.environment = environment();
    options.standardInput = platform::Stdio::nullDevice();
    options.standardOutput = platform::Stdio::nullDevice();
    options.standardError = platform::Stdio::nullDevice();
    auto client = platform::spawnProcess(options);
    EXPECT_TRUE(client) << client.error().message;
    return std::move(client).value();
  }
  static std::string unifiedCgroupOf(pid_t pid) {
    auto text = platform::readSmallFile("/proc/" + std::to_string(pid) + "/cgroup");
    if (!text) return "";
    const auto line = text->find("0::");
    return line == std::string::npos ? ""
                                     : text->substr(line + 3, text->find('\n', line) - line - 3);
  }
};

// A tool that leaves a daemon (setsid after a double fork, deaf to SIGTERM,
// its outputs closed) and then sleeps or ends: a cancel, the deadline and
// the client's death end the daemon too; a normal end leaves it running,
// moved out of the run's cgroup.
TEST_F(RunContainmentTest, AnEndedRunTakesWhatLeftItsTreeAndANormalEndLeavesIt) {
  const pid_t helper = startHelper().pid();
  const auto tool = freeTool();
  writeTool(tool,
            "( setsid sh -c 'trap \"\" TERM; echo $$ > \"$0\"; exec sleep 600' \"$1\" "
            "</dev/null >/dev/null 2>&1 & ); [ \"$2\" = sleep ] && exec sleep 600; exit 0");
  const struct {
    const char* name;
    std::vector<std::string> options;
    int signal;  // sent to the client once the daemon runs
    int status;
  } rows[] = {
      {"cancel", {}, SIGINT, 15},
      {"deadline", {"--timeout", "0.5"}, 0, 124},
      {"client killed", {}, SIGKILL, SIGKILL},
      {"normal end", {}, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string daemonFile = root_ + "/daemon-" + std::to_string(&row - rows);
    std::vector<std::string> arguments = {"run"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    for (const auto& argument : {tool, daemonFile, std::string(row.status ? "sleep" : "end")}) {
      arguments.push_back(argument);
    }
    auto client = spawnClient(arguments);
    const pid_t daemon = pidIn(daemonFile);
    ASSERT_GT(daemon, 0);
    if (row.signal) {
      ASSERT_TRUE(client.signal(row.signal));
    }
    EXPECT_EQ(client.wait(), row.status);
    if (row.status) {
      EXPECT_TRUE(eventually([&] { return processEnded(daemon); }));
    } else {
      EXPECT_TRUE(eventually([&] { return unifiedCgroupOf(daemon) == unifiedCgroupOf(helper); }));
      EXPECT_FALSE(processEnded(daemon));
      ::kill(daemon, SIGKILL);
    }
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
    std::vector<std::string> options;
    std::string out;
  } rows[] = {
      {{}, "inside\noutside\nconnected\n"},
      {{"--confine", inside, "--no-network"}, "inside\nPermission denied\ntmp\n"},
  };
  for (const auto& row : rows) {
    fs::remove_all(inside);
    fs::remove_all(outside);
    fs::create_directories(inside);
    fs::create_directories(outside);
    std::vector<std::string> arguments = {"run"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    for (const auto& argument : {tool, inside, outside, listener.port}) {
      arguments.push_back(argument);
    }
    auto outcome = client(arguments);
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

// The service unit as the bundle carries it, filled in as registration
// fills it, is one systemd takes without a complaint.
TEST(ServiceUnitTest, PassesSystemdsOwnCheck) {
  if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  zefra::testing::TempDir units;
  const std::string resources =
      fs::path(ZEFRA_TEST_HELPER).parent_path().parent_path().string() + "/Resources/";
  std::vector<std::string> arguments = {"verify", "--man=no"};
  for (const char* unit : {"com.ovak.zefra.helper.service", "com.ovak.zefra.helper.socket",
                           "com.ovak.zefra.helper-team.socket"}) {
    std::string text = platform::readSmallFile(resources + unit).value();
    if (auto at = text.find("@EXECUTABLE@"); at != std::string::npos) {
      text.replace(at, 12, "\"" + std::string(ZEFRA_TEST_HELPER) + "\"");
    }
    std::ofstream(units.path() + "/" + unit) << text;
    arguments.push_back(units.path() + "/" + unit);
  }
  EXPECT_NE(platform::readSmallFile(resources + "com.ovak.zefra.helper.service")
                ->find("\nDelegate=yes\n"),
            std::string::npos);
  platform::CaptureOptions options;
  options.spawn.executable = "/usr/bin/systemd-analyze";
  options.spawn.arguments = arguments;
  options.inputFromPipe = false;
  auto verified = platform::captureProcess(options);
  ASSERT_TRUE(verified) << verified.error().message;
  EXPECT_EQ(verified->status, 0);
  EXPECT_EQ(
      std::string(verified->standardOutput.view()) + std::string(verified->standardError.view()),
      "");
}

}  // namespace
}  // namespace zefra::app::testing
