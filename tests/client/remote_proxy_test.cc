#include "client/remote_proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "ipc/listener.h"
#include "platform/dispatch/queue.h"
#include "support/eventually.h"
#include "support/ping_only_helper.h"
#include "support/run_chunks.h"
#include "support/temp_dir.h"
#include "wire/frame.h"
#include "wire/message.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace zefra::client {
namespace {

using base::Error;

// Answers from pool threads, as the tool service does. A run of the tool
// "big" answers 16 MiB; installing is not offered.
class FakeHelper : public testing::PingOnlyHelper {
 public:
  bool offers(xpc::Selector selector) const override {
    return selector != xpc::Selector::kInstallUpdate;
  }
  void toolInventoryWithReply(xpc::InventoryReply reply) override {
    later([reply] { reply({{"pandoc", {{"path", "/usr/bin/pandoc"}, {"version", "3.1"}}}}); });
  }
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string>,
                    std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment, xpc::RunReply reply) override {
    if (tool == "big") return later([reply] { reply(Bytes(std::string(16 << 20, 'o')), {}, 0); });
    std::string described = runID + "|" + (input ? "input:" + input->str() : "no input") + "|" +
                            workingDirectory.value_or("no directory");
    later([reply, described] { reply(Bytes(described), {}, 0); });
  }
  // Streams its arguments to standard output, asked to or not.
  void runWithOptions(std::string, std::string, std::vector<std::string> arguments,
                      std::optional<Bytes>, std::optional<std::string>, xpc::Environment,
                      xpc::RunOptions, xpc::RunOutput output, xpc::RunOutcomeReply reply) override {
    later([=] {
      for (const std::string& chunk : arguments) output.deliver(1, Bytes(chunk));
      xpc::RunOutcome outcome;
      outcome.exitStatus = 0;
      reply(std::move(outcome));
    });
  }
  void installUpdateFromZipAt(std::string, xpc::InstallReply) override { ++installs; }

  static void later(platform::Work work) { platform::globalQueue().async(std::move(work)); }

  std::atomic<int> installs{0};
};

class RemoteProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto serve = [this](ipc::ServerConnection& connection) {
      connection.setExportedInterface(xpc::makeHelperInterface());
      connection.setExportedObject(xpc::makeExportedObject(helper_));
      return true;
    };
    listener_ = ipc::Listener::open(xpc::machServiceNames[0], serve, {root_.path()}).value();
  }

  std::shared_ptr<RemoteProxy> connect(RemoteProxy::ErrorHandler onError = nullptr) {
    return RemoteProxy::connect(xpc::machServiceNames[0], std::move(onError), {root_.path()})
        .value();
  }

  testing::TempDir root_;
  std::shared_ptr<FakeHelper> helper_ = std::make_shared<FakeHelper>();
  std::unique_ptr<ipc::Listener> listener_;
};

// The run's arguments, environment, output and status are the built
// client's to show; here what only the proxy shows: empty input is not
// absent, the inventory's nested dictionaries cross, and where it will not
// connect.
TEST_F(RemoteProxyTest, OperationsCrossWithTheirTypes) {
  // Refused for the mode alone: the helper listens there.
  std::filesystem::permissions(root_.path(), std::filesystem::perms::all);
  EXPECT_FALSE(RemoteProxy::connect(xpc::machServiceNames[0], nullptr, {root_.path()}).ok())
      << "a directory others may write to";
  std::filesystem::permissions(root_.path(), std::filesystem::perms::owner_all);
  std::shared_ptr<RemoteProxy> proxy = connect();
  EXPECT_EQ(proxy->toolInventory().value(),
            (xpc::Inventory{{"pandoc", {{"path", "/usr/bin/pandoc"}, {"version", "3.1"}}}}));
  const auto run = proxy->run("r", "typst", {"-o"}, Bytes(), std::nullopt, {}).value();
  EXPECT_EQ(run.standardOutput.view(), "r|input:|no directory") << "empty input stays input";
}

// What a streaming run shows is the built client's; here, a break of the
// protocol on either side closes its connection alone: chunks of a run that
// did not ask for them (the client's check), or a call of an operation the
// helper does not offer (the helper's, before it enters the method).
TEST_F(RemoteProxyTest, AProtocolBreakOnEitherSideClosesItsConnection) {
  std::shared_ptr<RemoteProxy> streamed = connect([](const Error&) {});
  xpc::RunOptions options;
  options.stream = true;
  ASSERT_TRUE(streamed->run("s", "t", {"a"}, std::nullopt, std::nullopt, {}, options,
                            std::make_shared<testing::RunChunks>()->output()));
  EXPECT_FALSE(streamed->run("s", "t", {"a"}, std::nullopt, std::nullopt, {}, {}).ok());
  std::shared_ptr<RemoteProxy> installing = connect([](const Error&) {});
  EXPECT_FALSE(installing->installUpdate("/tmp/update.zip").ok());
  EXPECT_EQ(helper_->installs.load(), 0);
  for (const auto& proxy : {streamed, installing}) EXPECT_FALSE(proxy->ping().ok()) << "not closed";
  EXPECT_TRUE(connect()->ping().ok()) << "other connections are still served";
}

TEST_F(RemoteProxyTest, ManyConcurrentCallsAreEachAnsweredOnce) {
  constexpr int kThreads = 4, kPerThread = 250, kCalls = kThreads * kPerThread;
  std::atomic<int> done{0};
  std::vector<std::atomic<int>> answers(kCalls);
  std::shared_ptr<RemoteProxy> proxy = connect([&](const Error&) { ADD_FAILURE() << "error"; });
  std::vector<std::jthread> threads;  // joined as the test ends
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        proxy->runWithRunID(std::to_string(i), "pandoc", {}, std::nullopt, std::nullopt, {},
                            [&, i](Bytes out, Bytes, int32_t) {
                              if (out.view().starts_with(std::to_string(i) + "|")) ++answers[i];
                              ++done;
                            });
      }
    });
  }
  // A large reply among them, through the same delivery queue.
  proxy->runWithRunID("big", "big", {}, std::nullopt, std::nullopt, {},
                      [&](Bytes out, Bytes, int32_t) {
                        EXPECT_TRUE(out.view() == std::string(16 << 20, 'o'));
                        ++done;
                      });
  ASSERT_TRUE(testing::eventually([&] { return done == kCalls + 1; }));
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(answers[i].load(), 1) << "call " << i;
}

// The helper ends the connection, or answers with a value its interface does
// not admit: each call waiting, and each made after, fails once, unanswered.
TEST(RemoteProxyEndTest, EachWaitingCallFailsOnceWhenTheConnectionEnds) {
  for (bool badReply : {false, true}) {
    SCOPED_TRACE(badReply ? "a bad reply" : "closed");
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    base::UniqueFd server(ends[0]);
    std::atomic<int> errors{0}, replies{0};
    auto proxy = RemoteProxy::adopt(base::UniqueFd(ends[1]), [&](const Error& error) {
                   EXPECT_TRUE(!badReply || error.code == EPROTO) << error.code;
                   ++errors;
                 }).value();
    proxy->pingWithReply([&](std::string) { ++replies; });
    proxy->toolInventoryWithReply([&](xpc::Inventory) { ++replies; });
    proxy->prepareForUpdateWithReply([&](bool) { ++replies; });
    // The calls are outstanding once made: open the connection, then answer
    // the ping with a number or close.
    auto send = [&](std::vector<wire::IpcValue> message) {
      const wire::EncodedFrame frame = wire::encodeFrame(std::move(message)).value();
      for (const iovec& chunk : frame.chunks()) {
        ASSERT_EQ(::write(server.get(), chunk.iov_base, chunk.iov_len), ssize_t(chunk.iov_len));
      }
    };
    send(wire::makeNonceMessage(base::Bytes(std::string(16, 'n'))));
    if (badReply) send(wire::makeReplyMessage(1, {wire::IpcValue::integer(42)}));
    if (!badReply) server.reset();
    ASSERT_TRUE(testing::eventually([&] { return errors == 3; }));
    proxy->pingWithReply([&](std::string) { ++replies; });
    ASSERT_TRUE(testing::eventually([&] { return errors == 4; })) << "a call after the end too";
    EXPECT_EQ(errors.load(), 4);
    EXPECT_EQ(replies.load(), 0);
  }
}

}  // namespace
}  // namespace zefra::client
