// Tools that misuse their outputs must not disturb the helper: one closes
// its standard output early, one leaves a daemon behind that closed its
// outputs.
#include <signal.h>

#include <algorithm>

#include "support/helper_fixture.h"

namespace zefra::app::testing {
namespace {

class ToolFaultTest : public HelperFixture {};

constexpr const char* kMisbehaving = R"(case "$1" in
  close-stdout)
    printf early; exec 1>&-
    i=0; while [ $i -lt 2000 ]; do echo "line $i" >&2; i=$((i+1)); done
    exit 4 ;;
  daemon)
    sh -c 'echo $$ > "$0"; exec >/dev/null 2>&1 </dev/null; exec sleep 120' "$2" &
    echo parent ;;
esac)";

TEST_F(ToolFaultTest, HelperKeepsServingToolsThatMisuseTheirOutputs) {
  startHelper();
  const auto tool = freeTool();
  writeTool(tool, kMisbehaving);
  auto proxy = connect();
  ASSERT_TRUE(proxy) << proxy.error().message;
  auto& helper = **proxy;

  // Standard error is read to its end after standard output has closed.
  auto closed = helper.run("close-stdout", tool, {"close-stdout"}, std::nullopt, std::nullopt, {});
  ASSERT_TRUE(closed) << closed.error().message;
  EXPECT_EQ(closed->status, 4);
  EXPECT_EQ(closed->standardOutput.view(), "early");
  const auto err = closed->standardError.view();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2000);

  // The reply comes when the tool ends, not when its daemon does.
  const std::string pidFile = root_ + "/daemon.pid";
  auto daemon = helper.run("daemon", tool, {"daemon", pidFile}, std::nullopt, std::nullopt, {});
  ASSERT_TRUE(daemon) << daemon.error().message;
  EXPECT_EQ(daemon->status, 0);
  EXPECT_EQ(daemon->standardOutput.view(), "parent\n");
  std::ifstream pidText(pidFile);
  pid_t daemonPid = 0;
  ASSERT_TRUE(pidText >> daemonPid);
  EXPECT_EQ(kill(daemonPid, 0), 0) << "the daemon should still be running";
  kill(daemonPid, SIGKILL);

  EXPECT_TRUE(helper.ping());
}

}  // namespace
}  // namespace zefra::app::testing
