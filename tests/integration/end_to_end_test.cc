#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "platform/files/pipe_io.h"
#include "support/helper_fixture.h"
#include "support/text.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::occurrences;

class EndToEndTest : public HelperFixture {
 protected:
  // The built client with one byte added: it no longer carries a signature.
  std::string unsignedClient() {
    const auto path = root_ + "/unsigned-client";
    fs::copy_file(ZEFRA_TEST_CLIENT, path);
    std::ofstream(path, std::ios::app) << '\n';
    return path;
  }
};

TEST_F(EndToEndTest, BothServicesAnswerPingWithTheBundleVersion) {
  startHelper();
  for (auto service : {"group.com.ovak.zefra.helper", "K4T9QZ2M7B.com.ovak.zefra.helper"}) {
    auto proxy = connect(service);
    ASSERT_TRUE(proxy) << proxy.error().message;
    auto version = (*proxy)->ping();
    ASSERT_TRUE(version) << version.error().message;
    EXPECT_EQ(*version, "1.0.0");
  }
  auto ping = client({"--service", "K4T9QZ2M7B.com.ovak.zefra.helper", "ping"});
  EXPECT_EQ(ping.status, 0);
  EXPECT_EQ(ping.out, "1.0.0\n");
}

TEST_F(EndToEndTest, ClientRunsToolsAndPassesTheirStatus) {
  startHelper();
  const auto tool = freeTool();
  writeTool(
      tool,
      R"(printf 'out:%s:%s:' "$1" "$GREETING"; pwd; printf 'in:'; cat; echo err >&2; exit 7)");
  std::ofstream(root_ + "/empty");
  std::ofstream(root_ + "/input") << "from file";
  auto run = client({"run", "--cwd", root_, "--env", "GREETING=hi", "--input", root_ + "/input",
                     tool, "--not-an-option"});
  EXPECT_EQ(run.status, 7);
  EXPECT_EQ(run.out, "out:--not-an-option:hi:" + root_ + "\nin:from file");
  EXPECT_EQ(run.err, "err\n");
  auto piped = client({"run", "--input", "-", tool}, std::string("piped"));
  EXPECT_EQ(piped.out.substr(0, 4), "out:");
  EXPECT_NE(piped.out.find("in:piped"), std::string::npos);
  // The helper's refusals reach the terminal as they were written.
  auto missing = client({"run", freeTool(1)});
  EXPECT_EQ(missing.status, 127);
  EXPECT_EQ(missing.err, "Zefra Helper: '" + freeTool(1) + "' is not installed or not allowed.\n");
}

TEST_F(EndToEndTest, ClientRunsInItsCallersDirectoryAndSaysWhatItDoesNotSend) {
  startHelper();
  const auto tool = freeTool();
  writeTool(tool, R"(pwd; printf 'in:'; cat)");
  const auto doc = root_ + "/doc";
  fs::create_directories(doc + "/sub");
  std::ofstream(doc + "/notes.md") << "# notes";
  programDirectory_ = doc;

  struct Row {
    std::vector<std::string> arguments;
    std::string out;
  };
  for (const auto& row : std::vector<Row>{
           {{"run", tool}, doc + "\nin:"},
           {{"run", "--cwd", "sub", tool}, doc + "/sub\nin:"},
           {{"run", "--cwd", "./sub/", "--input", "notes.md", tool}, doc + "/sub\nin:# notes"},
           {{"run", "--cwd", root_, tool}, root_ + "\nin:"},
       }) {
    auto run = client(row.arguments);
    EXPECT_EQ(run.status, 0) << row.arguments[2] << run.err;
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, "");
  }
  // The helper's own directory is not ours.
  auto helpers = client({"run", "--helper-cwd", tool});
  EXPECT_EQ(helpers.status, 0);
  EXPECT_EQ(helpers.out.find(doc + "\n"), std::string::npos) << helpers.out;

  auto piped = client({"run", tool}, std::string("dropped"));
  EXPECT_EQ(piped.out, doc + "\nin:");
  EXPECT_NE(piped.err.find("add --input - to send it"), std::string::npos) << piped.err;
}

TEST_F(EndToEndTest, ClientTellsItsFailuresApart) {
  startHelper({"ZEFRA_VERBOSE=1"});
  const auto tool = freeTool();
  writeTool(tool, "exit 3");
  {
    std::ofstream big(root_ + "/big", std::ios::binary);
    big.seekp((64 << 20) + 1);
    big.put('x');
  }
  const auto unsigned_ = unsignedClient();

  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string says;
  };
  for (const auto& row : std::vector<Row>{
           {{"run", tool}, 3, ""},
           {{"run", tool, "caf\xe9"}, 65, "argument 1 is not valid UTF-8"},
           {{"run", "--env", "A=\xff", tool}, 65, "not valid UTF-8"},
           {{"run", "--input", root_ + "/big", tool}, 66, "limit of 64 MiB"},
           {{"run", "--input", root_ + "/none", tool}, 66, "cannot read"},
           {{"run", "--cwd", "a", "--helper-cwd", tool}, 64, "exclude each other"},
           {{"-h"}, 0, ""},
           {{"frobnicate"}, 64, "unknown command"},
           {{"cancel", "no-such-run"}, 0, ""},
           {{"cancel"}, 64, "one run ID"},
       }) {
    auto outcome = client(row.arguments);
    EXPECT_EQ(outcome.status, row.status) << row.arguments[0] << " " << outcome.err;
    EXPECT_NE(outcome.err.find(row.says), std::string::npos) << outcome.err;
  }
  auto refused = runProgram(unsigned_, {"ping"});
  EXPECT_EQ(refused.status, 77);
  EXPECT_NE(refused.err.find("signed by the maker's team"), std::string::npos) << refused.err;

  // Every command has its help, the whole one names exit codes and the directory.
  EXPECT_NE(client({"--help"}).out.find("ZEFRA_RUNTIME_DIR"), std::string::npos);
  EXPECT_NE(client({"--help"}).out.find("77"), std::string::npos);
  for (auto command : {"ping", "tools", "run", "cancel", "prepare-for-update", "install-update"}) {
    auto help = client({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: zefra-helper-client ") + command, 0), 0u)
        << help.out;
  }

  // The detailed log: the sockets, the refused peer with its reason, each run.
  const auto log = this->log();
  EXPECT_NE(log.find("bound " + runtime_ + "/group.com.ovak.zefra.helper"), std::string::npos)
      << log;
  EXPECT_NE(log.find("refused peer "), std::string::npos) << log;
  EXPECT_NE(log.find(": " + tool + " (" + root_ + "/home/.local/bin/" + tool +
                     ") ended with status 3 after "),
            std::string::npos)
      << log;
}

TEST_F(EndToEndTest, DefaultLogKeepsRefusalsAndRunsToItself) {
  startHelper();
  const auto unsigned_ = unsignedClient();
  EXPECT_EQ(runProgram(unsigned_, {"ping"}).status, 77);
  EXPECT_EQ(client({"run", freeTool()}).status, 127);
  EXPECT_EQ(client({"ping"}).status, 0);
  const auto log = this->log();
  EXPECT_EQ(log.find("refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("ended with status"), std::string::npos) << log;
  EXPECT_EQ(log.find("bound "), std::string::npos) << log;
}

TEST_F(EndToEndTest, ClientWithoutAHelperFailsWithOneLine) {
  auto ping = client({"ping"});
  EXPECT_EQ(ping.status, 69);
  EXPECT_EQ(std::count(ping.err.begin(), ping.err.end(), '\n'), 1) << ping.err;
}

TEST_F(EndToEndTest, InterruptedClientCancelsItsRunAndReportsItsEnd) {
  startHelper();
  const auto tool = freeTool();
  const auto started = root_ + "/started";
  writeTool(tool, "echo begun; : > '" + started + "'; exec sleep 600");
  auto out = platform::makePipe();
  platform::SpawnOptions options;
  options.executable = ZEFRA_TEST_CLIENT;
  options.arguments = {"run", tool};
  options.environment = environment();
  options.standardOutput = platform::Stdio::fromFd(out->writeEnd.get());
  auto runClient = platform::spawnProcess(options);
  ASSERT_TRUE(runClient);
  out->writeEnd.reset();
  ASSERT_TRUE(eventually([&] { return fs::exists(started); }));
  ASSERT_TRUE(runClient->signal(SIGINT));
  EXPECT_EQ(platform::readToEnd(out->readEnd.get()).value(), "begun\n");
  EXPECT_EQ(runClient->wait(), 15);
}

TEST_F(EndToEndTest, RunOutlivesItsClientsConnection) {
  startHelper();
  const auto tool = freeTool();
  const auto fifo = root_ + "/go";
  const auto marker = root_ + "/finished";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeTool(tool, "read line < '" + fifo + "'; echo done > '" + marker + "'");
  {
    auto proxy = connect();
    ASSERT_TRUE(proxy);
    (*proxy)->runWithRunID("r", tool, {}, std::nullopt, std::nullopt, {},
                           [](base::Bytes, base::Bytes, int) {});
    ASSERT_TRUE((*proxy)->ping());  // the run has been taken in
    (*proxy)->invalidate();
  }
  std::ofstream(fifo) << "go\n";
  EXPECT_TRUE(eventually([&] { return fs::exists(marker); }));
}

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
  // A cancel from another connection does not reach this run.
  (*other)->cancelWithRunID("shared-id");
  ASSERT_TRUE((*other)->ping());
  std::ofstream(fifo) << "go\n";
  EXPECT_EQ(status.get_future().get(), 0);
}

TEST_F(EndToEndTest, SecondLaunchHandsItsReopenToTheRunningInstance) {
  startHelper();
  auto reopen = runProgram(ZEFRA_TEST_HELPER, {}, std::nullopt, {"ZEFRA_LAUNCH_EVENT=aevt:oapp"});
  EXPECT_EQ(reopen.status, 0);
  EXPECT_EQ(client({"ping"}).status, 0);
}

TEST_F(EndToEndTest, SocketsAreRemovedAtExitAndStaleOnesReplaced) {
  auto& first = startHelper();
  ASSERT_TRUE(fs::exists(runtime_ + "/group.com.ovak.zefra.helper"));
  ASSERT_TRUE(first.signal(SIGTERM));
  EXPECT_EQ(first.wait(), 0);
  EXPECT_FALSE(fs::exists(runtime_ + "/group.com.ovak.zefra.helper"));
  EXPECT_FALSE(fs::exists(runtime_ + "/K4T9QZ2M7B.com.ovak.zefra.helper"));

  auto& second = startHelper();
  ASSERT_TRUE(second.signal(SIGKILL));
  second.wait();
  EXPECT_TRUE(fs::exists(runtime_ + "/group.com.ovak.zefra.helper"));  // left behind
  startHelper();
  EXPECT_EQ(client({"ping"}).status, 0);
}

// Each way a service path can be taken: the helper says which and why, serves
// what it can, and leaves when it can serve nothing.
TEST_F(EndToEndTest, TakenServicePathsAreLoggedAndAHelperServingNothingLeaves) {
  const std::string group = runtime_ + "/group.com.ovak.zefra.helper";
  const std::string team = runtime_ + "/K4T9QZ2M7B.com.ovak.zefra.helper";
  std::ofstream(group) << "not a socket";
  fs::create_symlink(root_ + "/nowhere", team);
  auto blocked = exitsWithin(start(), 60);
  ASSERT_TRUE(blocked) << "a helper that can serve nothing kept running";
  EXPECT_NE(*blocked, 0);
  EXPECT_EQ(occurrences(log(), "cannot serve group.com.ovak.zefra.helper: " + group), 1u) << log();
  EXPECT_EQ(occurrences(log(), "cannot serve K4T9QZ2M7B.com.ovak.zefra.helper: " + team), 1u)
      << log();
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));

  fs::remove(team);
  auto& serving = start();
  ASSERT_TRUE(eventually([&] {
    auto proxy = connect("K4T9QZ2M7B.com.ovak.zefra.helper");
    return proxy && (*proxy)->ping();
  }));
  EXPECT_EQ(occurrences(log(), "cannot serve group.com.ovak.zefra.helper: " + group), 2u) << log();
  EXPECT_TRUE(serving.isRunning());

  fs::remove(group);
  ASSERT_TRUE(serving.signal(SIGTERM));
  serving.wait();
  startHelper();
  const std::string before = log();
  auto second = exitsWithin(start(), 60);
  ASSERT_TRUE(second) << "a second instance kept running";
  EXPECT_EQ(*second, 0);
  const std::string added = log().substr(before.size());
  EXPECT_EQ(occurrences(added, "\n"), 1u) << added;
  EXPECT_EQ(occurrences(added, "another instance already serves every service name"), 1u) << added;
  EXPECT_EQ(client({"ping"}).status, 0);
}

}  // namespace
}  // namespace zefra::app::testing
