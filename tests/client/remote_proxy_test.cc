#include "client/remote_proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ipc_frame.h"
#include "platform/ipc_listener.h"
#include "platform/ipc_message.h"
#include "platform/queue.h"
#include "xpc/exported_object.h"
#include "xpc/helper_version.h"
#include "xpc/interface.h"

namespace zefra::client {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Error;
using platform::IpcValue;
using platform::Result;

constexpr auto kPatience = 30s;

// Counts events and lets a test wait for a number of them.
class Counter {
 public:
  void add() {
    std::lock_guard lock(mu_);
    ++count_;
    cv_.notify_all();
  }
  bool waitFor(int count) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kPatience, [&] { return count_ >= count; });
  }
  int count() {
    std::lock_guard lock(mu_);
    return count_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
};

// Answers from pool threads, as the tool service does. A run of the tool
// "hold" keeps its reply; the update operations are not offered.
class FakeHelper : public xpc::ZefraHelperProtocol {
 public:
  bool offers(xpc::Selector selector) const override {
    return selector != xpc::Selector::kInstallUpdate;
  }
  void pingWithReply(xpc::PingReply reply) override {
    ++entered;
    // A bundle whose Info holds a number where the version string belongs.
    reply(version.get([] { return nlohmann::json{{"CFBundleShortVersionString", 2}}; }));
  }
  void toolInventoryWithReply(xpc::InventoryReply reply) override {
    ++entered;
    later([reply] { reply({{"pandoc", {{"path", "/usr/bin/pandoc"}, {"version", "3.1"}}}}); });
  }
  void runWithRunID(std::string runID, std::string tool, std::vector<std::string> arguments,
                    std::optional<Bytes> input, std::optional<std::string> workingDirectory,
                    xpc::Environment environment, xpc::RunReply reply) override {
    ++entered;
    if (tool == "hold") {
      std::lock_guard lock(mu);
      held.push_back(reply);
      heldCount.add();
      return;
    }
    if (tool == "big") {
      later([reply] { reply(Bytes(std::string(16 << 20, 'o')), Bytes(), 0); });
      return;
    }
    std::string described = runID + "|" + tool + "|" +
                            (input ? "input:" + input->str() : "no input") + "|" +
                            workingDirectory.value_or("no directory");
    for (const std::string& argument : arguments) described += "|" + argument;
    for (const auto& [name, value] : environment) described += "|" + name + "=" + value;
    later([reply, described, status = static_cast<int32_t>(arguments.size())] {
      reply(Bytes(described), Bytes::copy("err"), status);
    });
  }
  void cancelWithRunID(std::string runID) override {
    ++entered;
    {
      std::lock_guard lock(mu);
      cancelled.push_back(runID);
    }
    cancels.add();
  }
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override {
    ++entered;
    reply(true);
  }
  void installUpdateFromZipAt(std::string, xpc::InstallReply reply) override {
    ++entered;
    reply(true, "");
  }

  static void later(platform::Work work) {
    platform::globalQueue(platform::QosClass::kDefault).async(std::move(work));
  }

  std::atomic<int> entered{0};
  xpc::VersionOnce version;
  std::mutex mu;
  std::vector<xpc::RunReply> held;
  std::vector<std::string> cancelled;
  Counter heldCount, cancels;
};

class RemoteProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zefra-proxy-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    Result<std::unique_ptr<platform::Listener>> listener =
        platform::Listener::open(xpc::machServiceNames[0],
                                 [this](platform::ServerConnection& connection) {
                                   {
                                     std::lock_guard lock(mu_);
                                     connections_.push_back(connection);
                                   }
                                   connection.setExportedInterface(xpc::makeHelperInterface());
                                   connection.setExportedObject(xpc::makeExportedObject(helper_));
                                   connection.resume();
                                   return true;
                                 },
                                 {root_});
    ASSERT_TRUE(listener.ok()) << listener.error().message;
    listener_ = std::move(listener).value();
  }
  void TearDown() override {
    listener_.reset();
    fs::remove_all(root_);
  }

  std::shared_ptr<RemoteProxy> connect(RemoteProxy::ErrorHandler onError = nullptr) {
    Result<std::shared_ptr<RemoteProxy>> proxy =
        RemoteProxy::connect(xpc::machServiceNames[0], std::move(onError), {root_});
    EXPECT_TRUE(proxy.ok()) << proxy.error().message;
    return proxy.ok() ? proxy.value() : nullptr;
  }

  std::string root_;
  std::shared_ptr<FakeHelper> helper_ = std::make_shared<FakeHelper>();
  std::unique_ptr<platform::Listener> listener_;
  std::mutex mu_;
  std::vector<platform::ServerConnection> connections_;
};

TEST_F(RemoteProxyTest, EveryOperationCrossesWithItsTypes) {
  std::shared_ptr<RemoteProxy> proxy = connect();
  EXPECT_EQ(proxy->ping().value(), "1.0");
  EXPECT_EQ(proxy->ping().value(), "1.0") << "the same text for the life of the process";

  xpc::Inventory inventory = proxy->toolInventory().value();
  EXPECT_EQ(inventory["pandoc"]["path"], "/usr/bin/pandoc");
  EXPECT_EQ(inventory["pandoc"]["version"], "3.1");

  Result<RemoteProxy::RunResult> run =
      proxy->run("r1", "pandoc", {"-o", "x.pdf"}, std::nullopt, std::nullopt, {{"LANG", "C"}});
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(run->standardOutput.view(), "r1|pandoc|no input|no directory|-o|x.pdf|LANG=C");
  EXPECT_EQ(run->standardError.view(), "err");
  EXPECT_EQ(run->status, 2);
  run = proxy->run("r2", "typst", {}, Bytes(), "/work", {});
  EXPECT_EQ(run->standardOutput.view(), "r2|typst|input:|/work") << "empty input stays input";

  proxy->cancelWithRunID("r2");
  ASSERT_TRUE(helper_->cancels.waitFor(1));
  EXPECT_EQ(helper_->cancelled.at(0), "r2");
  EXPECT_EQ(proxy->prepareForUpdate().value(), true);
}

TEST_F(RemoteProxyTest, AsynchronousRepliesRunOnceAndNeverReachTheErrorHandler) {
  Counter errors, replies;
  std::shared_ptr<RemoteProxy> proxy = connect([&](const Error&) { errors.add(); });
  proxy->pingWithReply([&](std::string version) {
    EXPECT_EQ(version, "1.0");
    replies.add();
  });
  proxy->toolInventoryWithReply([&](xpc::Inventory inventory) {
    EXPECT_EQ(inventory.size(), 1u);
    replies.add();
  });
  proxy->runWithRunID("r", "big", {}, std::nullopt, std::nullopt, {},
                      [&](Bytes out, Bytes err, int32_t status) {
                        EXPECT_EQ(out.size(), 16u << 20);
                        EXPECT_EQ(out.view().find_first_not_of('o'), std::string_view::npos);
                        EXPECT_TRUE(err.empty());
                        EXPECT_EQ(status, 0);
                        replies.add();
                      });
  proxy->prepareForUpdateWithReply([&](bool ok) {
    EXPECT_TRUE(ok);
    replies.add();
  });
  ASSERT_TRUE(replies.waitFor(4));
  EXPECT_EQ(proxy->ping().value(), "1.0");  // the connection is still there
  EXPECT_EQ(errors.count(), 0);
  EXPECT_EQ(replies.count(), 4);
}

TEST_F(RemoteProxyTest, ManyConcurrentCallsAreEachAnsweredOnce) {
  constexpr int kThreads = 4, kPerThread = 250, kCalls = kThreads * kPerThread;
  Counter done;
  std::vector<std::atomic<int>> answers(kCalls);
  std::shared_ptr<RemoteProxy> proxy = connect([&](const Error&) { ADD_FAILURE() << "error"; });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        proxy->runWithRunID(std::to_string(i), "pandoc", {}, std::nullopt, std::nullopt, {},
                            [&, i](Bytes out, Bytes, int32_t) {
                              if (out.view().starts_with(std::to_string(i) + "|")) ++answers[i];
                              done.add();
                            });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(done.waitFor(kCalls));
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(answers[i].load(), 1) << "call " << i;
}

TEST_F(RemoteProxyTest, EachWaitingCallGetsTheErrorOnceWhenTheHelperCloses) {
  Counter errors;
  std::atomic<int> replies{0};
  std::shared_ptr<RemoteProxy> proxy = connect([&](const Error&) { errors.add(); });
  for (int i = 0; i < 3; ++i) {
    proxy->runWithRunID("r", "hold", {}, std::nullopt, std::nullopt, {},
                        [&](Bytes, Bytes, int32_t) { ++replies; });
  }
  ASSERT_TRUE(helper_->heldCount.waitFor(3));
  {
    std::lock_guard lock(mu_);
    connections_.at(0).invalidate();
  }
  ASSERT_TRUE(errors.waitFor(3));
  proxy->pingWithReply([&](std::string) { ++replies; });
  ASSERT_TRUE(errors.waitFor(4)) << "a call on a closed connection reports too";
  for (const xpc::RunReply& reply : helper_->held) reply(Bytes(), Bytes(), 0);  // dropped
  EXPECT_FALSE(proxy->ping().ok());
  EXPECT_EQ(errors.count(), 4);
  EXPECT_EQ(replies.load(), 0);
}

TEST_F(RemoteProxyTest, AnOperationNotOfferedClosesTheConnectionUnentered) {
  Counter errors;
  std::shared_ptr<RemoteProxy> proxy = connect([&](const Error&) { errors.add(); });
  const int entered = helper_->entered.load();
  EXPECT_FALSE(proxy->installUpdate("/tmp/update.zip").ok());
  EXPECT_EQ(helper_->entered.load(), entered);
  std::shared_ptr<RemoteProxy> other = connect();
  EXPECT_TRUE(other->ping().ok()) << "other connections are still served";
}

TEST_F(RemoteProxyTest, ArgumentsThatAreNotUtf8FailOnlyTheirCall) {
  std::shared_ptr<RemoteProxy> proxy = connect();
  Result<RemoteProxy::RunResult> run =
      proxy->run("r", "pandoc", {"caf\xE9.md"}, std::nullopt, std::nullopt, {});
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().code, EPROTO);
  EXPECT_TRUE(proxy->ping().ok());
}

TEST_F(RemoteProxyTest, ConnectFailsWhenNobodyServes) {
  EXPECT_FALSE(RemoteProxy::connect(xpc::machServiceNames[1], nullptr, {root_}).ok());
  const std::string shared = root_ + "/shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all);
  EXPECT_FALSE(RemoteProxy::connect(xpc::machServiceNames[0], nullptr, {shared}).ok());
}

// A helper that answers with a value its interface does not admit.
TEST(RemoteProxyReplies, ABadReplyFailsEveryWaitingCallOnce) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  platform::UniqueFd server(ends[0]);
  Counter errors;
  std::atomic<int> replies{0};
  Result<std::shared_ptr<RemoteProxy>> proxy =
      RemoteProxy::adopt(platform::UniqueFd(ends[1]), [&](const Error& error) {
        EXPECT_EQ(error.code, EPROTO);
        errors.add();
      });
  ASSERT_TRUE(proxy.ok());
  (*proxy)->pingWithReply([&](std::string) { ++replies; });
  (*proxy)->toolInventoryWithReply([&](xpc::Inventory) { ++replies; });
  (*proxy)->prepareForUpdateWithReply([&](bool) { ++replies; });

  // Read the three calls, then answer the first ping with a number.
  platform::FrameReader reader(platform::kMaxCallFrameSize);
  int calls = 0;
  while (calls < 3) {
    std::span<char> space = reader.readSpace();
    const ssize_t n = ::read(server.get(), space.data(), space.size());
    ASSERT_GT(n, 0);
    reader.commit(static_cast<std::size_t>(n));
    while (reader.next().value()) ++calls;
  }
  Result<platform::EncodedFrame> bad =
      platform::encodeFrame(platform::makeReplyMessage(1, {IpcValue::integer(42)}));
  for (const iovec& chunk : bad->chunks()) {
    ASSERT_EQ(::write(server.get(), chunk.iov_base, chunk.iov_len),
              static_cast<ssize_t>(chunk.iov_len));
  }
  ASSERT_TRUE(errors.waitFor(3));
  EXPECT_FALSE((*proxy)->ping().ok());
  EXPECT_EQ(errors.count(), 3);
  EXPECT_EQ(replies.load(), 0);
}

}  // namespace
}  // namespace zefra::client
