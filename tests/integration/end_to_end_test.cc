// The built, signed client against the built helper: what a terminal user
// sees of a run and of each failure, the log, and the service paths.
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "support/helper_fixture.h"
#include "support/text.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::occurrences;

constexpr const char* kGroup = "group.com.ovak.zefra.helper";
constexpr const char* kTeam = "K4T9QZ2M7B.com.ovak.zefra.helper";

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
  const std::string missing = freeTool(1);
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
      {{"run", "--cwd", "sub", tool}, {}, 0, sub, ""},
      {{"run", "--cwd", "./sub/", "--input", "notes.md", tool}, {}, 0, sub + "# notes", ""},
      // Standard error is read to its end after standard output has closed.
      {{"run", tool, "close-stdout"}, {}, 4, "early", "line 1999\n"},
      {{"run", "--output-limit", "5", tool, "limit"}, {}, 0, "12345", "more than 5 bytes"},
      {{"run", "--timeout", "0.3", tool, "sleep"}, {}, 124, "", "ended after 0.3 s (--timeout)"},
      {{"run", missing}, {}, 127, "", "'" + missing + "' is not installed or not allowed.\n"},
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
  auto refused = runProgram(unsignedClient(), {"ping"});
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
  startHelper();
  for (auto service : {kGroup, kTeam}) {
    auto ping = client({"--service", service, "ping"});
    EXPECT_EQ(ping.status, 0) << service;
    EXPECT_EQ(ping.out, "1.0.0\n") << service;
  }
  auto reopen = runProgram(ZEFRA_TEST_HELPER, {}, std::nullopt, {"ZEFRA_LAUNCH_EVENT=aevt:oapp"});
  EXPECT_EQ(reopen.status, 0);
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
