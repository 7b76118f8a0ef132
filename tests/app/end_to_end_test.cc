#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "app/helper_fixture.h"
#include "platform/pipe_io.h"

namespace zefra::app::testing {
namespace {

class EndToEndTest : public HelperFixture {};

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
  EXPECT_EQ(client({"run", "--input", "-", tool}, std::string("piped")).out.substr(0, 4), "out:");
  EXPECT_NE(client({"run", "--input", "-", tool}, std::string("piped")).out.find("in:piped"),
            std::string::npos);

  auto missing = client({"run", freeTool(1)});
  EXPECT_EQ(missing.status, 127);
  EXPECT_EQ(missing.err, "Zefra Helper: '" + freeTool(1) + "' is not installed or not allowed.");
  auto badDirectory = client({"run", "--cwd", root_ + "/nowhere", tool});
  EXPECT_EQ(badDirectory.status, 126);
  EXPECT_EQ(badDirectory.err.rfind("Zefra Helper: ", 0), 0u);
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
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (access(started.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
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
                           [](platform::Bytes, platform::Bytes, int) {});
    ASSERT_TRUE((*proxy)->ping());  // the run has been taken in
    (*proxy)->invalidate();
  }
  std::ofstream(fifo) << "go\n";
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(fs::exists(marker));
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
  (*owner)->runWithRunID(
      "shared-id", tool, {}, std::nullopt, std::nullopt, {},
      [&](platform::Bytes, platform::Bytes, int code) { status.set_value(code); });
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
  auto count = [](const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  std::ofstream(group) << "not a socket";
  fs::create_symlink(root_ + "/nowhere", team);
  auto blocked = exitsWithin(start(), 60);
  ASSERT_TRUE(blocked) << "a helper that can serve nothing kept running";
  EXPECT_NE(*blocked, 0);
  EXPECT_EQ(count(log(), "cannot serve group.com.ovak.zefra.helper: " + group), 1u) << log();
  EXPECT_EQ(count(log(), "cannot serve K4T9QZ2M7B.com.ovak.zefra.helper: " + team), 1u) << log();
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));

  fs::remove(team);
  auto& serving = start();
  ASSERT_TRUE(eventually([&] {
    auto proxy = connect("K4T9QZ2M7B.com.ovak.zefra.helper");
    return proxy && (*proxy)->ping();
  }));
  EXPECT_EQ(count(log(), "cannot serve group.com.ovak.zefra.helper: " + group), 2u) << log();
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
  EXPECT_EQ(count(added, "\n"), 1u) << added;
  EXPECT_EQ(count(added, "another instance already serves every service name"), 1u) << added;
  EXPECT_EQ(client({"ping"}).status, 0);
}

}  // namespace
}  // namespace zefra::app::testing
