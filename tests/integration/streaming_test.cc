// The helper's memory stays flat whatever a tool writes or a client fails
// to read, and a client written from the protocol document alone is served.
#include <sys/ioctl.h>

#include <future>

#include "support/helper_fixture.h"
#include "support/run_chunks.h"

namespace zefra::app::testing {
namespace {

using zefra::testing::blockedOnPipe;
using zefra::testing::pidIn;
using zefra::testing::RunChunks;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantines inflate RSS
#else
constexpr bool kSanitized = false;
#endif

class StreamingTest : public HelperFixture {
 protected:
  // A field of /proc/<pid>/`file` in KiB or bytes, as the file gives it.
  static long procField(pid_t pid, const char* file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    }
    return -1;
  }
  static double mib(long kib) { return static_cast<double>(kib) / 1024; }
};

// Output past the limit is read and dropped, never held: a tool writing
// 1 GiB leaves the helper at its idle size.
TEST_F(StreamingTest, AnOutputLimitKeepsTheHelperAtItsIdleSize) {
  const pid_t helper = startHelper().pid();
  writeTool(freeTool(), "head -c 1073741824 /dev/zero");
  auto proxy = connect();
  ASSERT_TRUE(proxy);
  const long idle = procField(helper, "status", "VmRSS:");
  std::ofstream("/proc/" + std::to_string(helper) + "/clear_refs") << "5";  // resets VmHWM
  xpc::RunOptions options;
  options.outputLimit = 65536;
  auto outcome = (*proxy)->run("big", freeTool(), {}, std::nullopt, std::nullopt, {}, options);
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->exitStatus, 0);
  EXPECT_EQ(outcome->standardOutput.size(), 65536u);
  EXPECT_TRUE(outcome->standardOutputTruncated);
  const long peak = procField(helper, "status", "VmHWM:");
  RecordProperty("idle_and_peak_MiB", std::to_string(mib(idle)) + " " + std::to_string(mib(peak)));
  if (!kSanitized) {
    EXPECT_LT(mib(peak - idle), 4.0) << "idle " << idle << " KiB, peak " << peak;
  }
}

// A client that stops reading holds back the helper, which stops reading the
// tool: the tool blocks on its full pipe and the helper's memory stays
// bounded; both go on when the client reads again.
TEST_F(StreamingTest, AClientThatStopsReadingHoldsBackTheTool) {
  const pid_t helper = startHelper().pid();
  const auto tool = freeTool();
  constexpr long kTotal = 256L << 20;
  writeTool(tool, "echo $$ > '" + root_ + "/tool'; exec head -c " + std::to_string(kTotal) +
                      " /dev/zero");
  auto proxy = connect();
  ASSERT_TRUE(proxy);
  const long idle = procField(helper, "status", "VmRSS:");
  auto chunks = std::make_shared<RunChunks>();
  chunks->hold(true);
  xpc::RunOptions options;
  options.stream = true;
  std::promise<xpc::RunOutcome> done;
  (*proxy)->runWithOptions("slow", tool, {}, std::nullopt, std::nullopt, {}, options,
                           chunks->output(),
                           [&](xpc::RunOutcome outcome) { done.set_value(std::move(outcome)); });
  const pid_t toolPid = pidIn(root_ + "/tool");
  // Past what the client queues for its handler, the tool blocks on a pipe
  // that nobody empties.
  const std::string pipe = "/proc/" + std::to_string(toolPid) + "/fd/1";
  ASSERT_TRUE(eventually([&] {
    base::UniqueFd fd(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int queued = 0;
    return blockedOnPipe(toolPid) && fd && ::ioctl(fd.get(), FIONREAD, &queued) == 0 &&
           queued >= ::fcntl(fd.get(), F_GETPIPE_SZ) / 2 &&
           procField(toolPid, "io", "wchar: ") > long{ipc::kProgressDeliveryBacklog};
  }));
  const long written = procField(toolPid, "io", "wchar: ");
  const long held = procField(helper, "status", "VmRSS:");
  RecordProperty("written_and_helper_MiB",
                 std::to_string(written >> 20) + " " + std::to_string(mib(held - idle)));
  EXPECT_LT(written, 32L << 20) << "the tool was not held back";
  if (!kSanitized) {
    EXPECT_LT(mib(held - idle), 16.0) << "idle " << idle << " KiB, held " << held;
  }
  chunks->hold(false);
  auto outcome = done.get_future().get();
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(chunks->out().size(), static_cast<std::size_t>(kTotal));
}

// A client in another language, written from docs/protocol.md alone: it
// answers the nonce, frames and encodes its calls itself, and streams a run.
TEST_F(StreamingTest, AClientWrittenFromTheProtocolDocument) {
  if (std::string(ZEFRA_TEST_PYTHON).empty()) GTEST_SKIP() << "no system python3";
  startHelper();
  const auto tool = freeTool();
  writeTool(tool, "echo one; echo two >&2; printf '%s' \"$1\"; exit 3");
  auto outcome = runProgram(ZEFRA_TEST_PYTHON, {"-I", ZEFRA_TEST_PROTOCOL_CLIENT, runtime_, tool});
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, "ok\n") << outcome.err;
}

}  // namespace
}  // namespace zefra::app::testing
