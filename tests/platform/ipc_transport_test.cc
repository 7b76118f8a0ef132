#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <msgpack.hpp>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ipc_connection.h"
#include "platform/ipc_frame.h"
#include "platform/ipc_io.h"
#include "platform/ipc_listener.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;

// "echo:" answers its one value from a pool thread, "echo twice:" answers
// twice, "hold:" keeps its reply for the test, "note:" is one-way, and
// "refuse:" is known to the interface but refused by the object.
class TestInterface : public IpcInterface {
 public:
  Result<bool> checkCall(std::string_view selector,
                         const std::vector<IpcValue>& arguments) const override {
    const bool one = arguments.size() == 1;
    if ((selector == "echo:" || selector == "echo twice:" || selector == "refuse:") && one) {
      return true;
    }
    if (selector == "hold:" && arguments.empty()) return true;
    if (selector == "note:" && one) return false;
    return ipcViolation("no such call");
  }
  Status checkReply(std::string_view, const std::vector<IpcValue>& values) const override {
    if (values.size() > 1) return ipcViolation("one value at most");
    return Ok{};
  }
};

class TestObject : public IpcExportedObject {
 public:
  Result<Work> bind(std::string_view selector, std::vector<IpcValue> arguments,
                    IpcReply reply) override {
    if (selector == "refuse:") return ipcViolation("not offered");
    IpcValue value = arguments.empty() ? IpcValue() : arguments[0];
    const int times = selector == "echo twice:" ? 2 : 1;
    if (selector == "hold:") {
      return Work([this, reply] {
        ++entered;
        std::lock_guard lock(mu);
        held.push_back(reply);
        cv.notify_all();
      });
    }
    if (selector == "note:") return Work([this] { ++entered; });
    return Work([this, reply, value, times] {
      ++entered;
      globalQueue(QosClass::kDefault).async([reply, value, times] {
        for (int i = 0; i < times; ++i) reply.send({value});
      });
    });
  }

  bool waitForHeld(std::size_t count) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, kPatience, [&] { return held.size() >= count; });
  }

  std::atomic<int> entered{0};
  std::mutex mu;
  std::condition_variable cv;
  std::vector<IpcReply> held;
};

UniqueFd rawConnect(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// True when the peer closes `fd` within the patience.
bool closedByPeer(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

std::string frameOf(const std::string& body) {
  const auto n = static_cast<uint32_t>(body.size());
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

std::string encoded(std::vector<IpcValue> message) {
  Result<EncodedFrame> frame = encodeFrame(std::move(message));
  std::string out;
  for (const iovec& chunk : frame->chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

bool isCloseOnExec(int fd) {
  return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

using Reply = Result<std::vector<IpcValue>>;

Reply callAndWait(ClientConnection& connection, std::string_view selector,
                  std::vector<IpcValue> arguments) {
  auto promise = std::make_shared<std::promise<Reply>>();
  connection.call(
      selector, std::move(arguments),
      [promise](std::vector<IpcValue> values) -> Result<Work> {
        return Work([promise, values] { promise->set_value(values); });
      },
      [promise](const Error& error) { promise->set_value(error); });
  auto future = promise->get_future();
  if (future.wait_for(kPatience) != std::future_status::ready) return Error{ETIMEDOUT, "no answer"};
  return future.get();
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zefra-ipc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    listener_ = open("svc");
    ASSERT_NE(listener_, nullptr);
  }
  void TearDown() override {
    listener_.reset();
    fs::remove_all(root_);
  }

  std::unique_ptr<Listener> open(const std::string& name) {
    Result<std::unique_ptr<Listener>> listener =
        Listener::open(name,
                       [this](ServerConnection& connection) {
                         std::lock_guard lock(mu_);
                         acceptedOffIoThread_ = acceptedOffIoThread_ && !onIpcThread();
                         accepted_.push_back(connection);
                         if (!accept_) return false;
                         connection.setExportedInterface(interface_);
                         connection.setExportedObject(object_);
                         return true;
                       },
                       {root_});
    if (!listener) {
      lastOpenError_ = listener.error();
      return nullptr;
    }
    return std::move(listener).value();
  }

  ClientConnection connect() {
    Result<ClientConnection> connection = ClientConnection::connect("svc", interface_, {root_});
    EXPECT_TRUE(connection.ok()) << connection.error().message;
    return std::move(connection).value();
  }

  std::string path(const std::string& name = "svc") const { return root_ + "/" + name; }

  bool echoes(ClientConnection& connection, const std::string& text) {
    Reply reply = callAndWait(connection, "echo:", {IpcValue::string(text)});
    return reply.ok() && reply->size() == 1 && (*reply)[0] == IpcValue::string(text);
  }

  std::string root_;
  std::shared_ptr<TestInterface> interface_ = std::make_shared<TestInterface>();
  std::shared_ptr<TestObject> object_ = std::make_shared<TestObject>();
  std::unique_ptr<Listener> listener_;
  Error lastOpenError_;
  std::mutex mu_;
  std::vector<ServerConnection> accepted_;
  bool accept_ = true;
  bool acceptedOffIoThread_ = true;
};

TEST_F(TransportTest, ServesCallsAndKnowsThePeer) {
  ClientConnection client = connect();
  EXPECT_TRUE(echoes(client, "hello"));
  std::lock_guard lock(mu_);
  ASSERT_EQ(accepted_.size(), 1u);
  EXPECT_EQ(accepted_[0].processIdentifier(), ::getpid());
  EXPECT_TRUE(acceptedOffIoThread_) << "acceptance must not run on the I/O thread";
  EXPECT_TRUE(isCloseOnExec(listener_->nativeHandle()));
  EXPECT_TRUE(isCloseOnExec(accepted_[0].nativeHandle()));
  EXPECT_TRUE(isCloseOnExec(client.nativeHandle()));
}

TEST_F(TransportTest, AViolationClosesOnlyItsConnection) {
  ClientConnection good = connect();
  ASSERT_TRUE(echoes(good, "before"));
  std::string badUtf8;
  {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(4);
    packer.pack(0);
    packer.pack(1);
    packer.pack("echo:");
    packer.pack_str(2);
    packer.pack_str_body("\xC0\x80", 2);
    badUtf8 = frameOf(std::string(buffer.data(), buffer.size()));
  }
  const std::string echoCall = encoded(makeCallMessage(1, "echo:", {IpcValue::string("x")}));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {encoded(makeCallMessage(1, "nope:", {})), "unknown selector"},
      {encoded(makeCallMessage(1, "echo:", {})), "wrong arity"},
      {encoded(makeCallMessage(1, "refuse:", {IpcValue::string("x")})), "not offered"},
      {badUtf8, "bad UTF-8"},
      {std::string("\x04\x00\x00\x01", 4), "oversize frame"},
      {frameOf(echoCall.substr(4) + "\xc0"), "trailing bytes"},
      {frameOf("\x01"), "not an array"},
      {encoded(makeCallMessage(0, "echo:", {IpcValue::string("x")})), "one-way call with a reply"},
      {encoded(makeCallMessage(5, "note:", {IpcValue::string("x")})), "call ID on a one-way call"},
      {std::string("\x00\x00\x00\x10\x93", 5), "truncated frame"},
  };
  for (const auto& [bytes, what] : cases) {
    const int entered = object_->entered.load();
    UniqueFd bad = rawConnect(path());
    ASSERT_TRUE(bad.valid());
    ASSERT_EQ(::write(bad.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (what == "truncated frame") ::shutdown(bad.get(), SHUT_WR);
    EXPECT_TRUE(closedByPeer(bad.get())) << what;
    EXPECT_EQ(object_->entered.load(), entered) << what << " entered a method";
    EXPECT_TRUE(echoes(good, what)) << "the other connection stopped after: " << what;
  }

  // A call ID still outstanding may not be used again.
  UniqueFd bad = rawConnect(path());
  const std::string hold = encoded(makeCallMessage(4, "hold:", {}));
  ASSERT_EQ(::write(bad.get(), hold.data(), hold.size()), static_cast<ssize_t>(hold.size()));
  ASSERT_TRUE(object_->waitForHeld(1));
  ASSERT_EQ(::write(bad.get(), hold.data(), hold.size()), static_cast<ssize_t>(hold.size()));
  EXPECT_TRUE(closedByPeer(bad.get()));
  EXPECT_EQ(object_->held.size(), 1u);
  EXPECT_TRUE(echoes(good, "after"));
}

TEST_F(TransportTest, AReplyGoesOutOnceHoweverOftenItIsSent) {
  ClientConnection client = connect();
  Reply reply = callAndWait(client, "echo twice:", {IpcValue::string("once")});
  ASSERT_TRUE(reply.ok());
  // A second reply on the wire would be a violation that closes the client.
  EXPECT_TRUE(echoes(client, "still open"));
}

TEST_F(TransportTest, ARefusedPeerIsClosedWithoutAWord) {
  accept_ = false;
  ClientConnection client = connect();
  Reply reply = callAndWait(client, "echo:", {IpcValue::string("x")});
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(object_->entered.load(), 0);
}

TEST_F(TransportTest, OneWayCallsAndOversizeCalls) {
  ClientConnection client = connect();
  std::atomic<int> errors{0};
  client.callOneWay("note:", {IpcValue::string("x")}, [&](const Error&) { ++errors; });
  ASSERT_TRUE(echoes(client, "after note"));  // calls run in order
  EXPECT_EQ(object_->entered.load(), 2);

  Reply tooLarge =
      callAndWait(client, "echo:", {IpcValue::data(Bytes(std::string((64 << 20) + 1, 'x')))});
  ASSERT_FALSE(tooLarge.ok());
  EXPECT_EQ(tooLarge.error().code, EPROTO);
  EXPECT_TRUE(echoes(client, "the connection survives a call it could not send"));
  EXPECT_EQ(errors.load(), 0);
}

TEST_F(TransportTest, LargeValuesCrossBothWays) {
  ClientConnection client = connect();
  std::string payload(32 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); i += 4096) payload[i] = static_cast<char>(i / 4096);
  Reply reply = callAndWait(client, "echo:", {IpcValue::data(Bytes(payload))});
  ASSERT_TRUE(reply.ok()) << reply.error().message;
  EXPECT_TRUE((*reply)[0].bytes().view() == payload);
}

TEST_F(TransportTest, AStaleSocketFileIsReplaced) {
  {
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path("stale").c_str());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }  // closed: the file stays behind and nobody answers
  ASSERT_TRUE(fs::is_socket(path("stale")));
  std::unique_ptr<Listener> replacing = open("stale");
  ASSERT_NE(replacing, nullptr) << lastOpenError_.message;
  Result<ClientConnection> client = ClientConnection::connect("stale", interface_, {root_});
  ASSERT_TRUE(client.ok());
  EXPECT_TRUE(echoes(*client, "served"));
}

TEST_F(TransportTest, ALiveOwnerIsLeftAlone) {
  std::unique_ptr<Listener> second = open("svc");
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(lastOpenError_.code, EADDRINUSE);
  ClientConnection client = connect();
  EXPECT_TRUE(echoes(client, "first listener still serves"));
}

TEST_F(TransportTest, AFileInTheWayIsRefusedAndKept) {
  std::ofstream(path("file")) << "keep me";
  EXPECT_EQ(open("file"), nullptr);
  std::ifstream in(path("file"));
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
}

TEST_F(TransportTest, ClosingRemovesOnlyItsOwnSocketFile) {
  ASSERT_TRUE(fs::is_socket(path()));
  listener_.reset();
  EXPECT_FALSE(fs::exists(path()));
  EXPECT_FALSE(ClientConnection::connect("svc", interface_, {root_}).ok());

  std::unique_ptr<Listener> other = open("other");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(::unlink(path("other").c_str()), 0);
  std::ofstream(path("other")) << "someone else's";
  other.reset();
  EXPECT_TRUE(fs::is_regular_file(path("other")));
}

// Runs in a child process of its own: fds 3 and 4 become the sockets that
// systemd would pass. Returns 0 when everything holds.
int activationChild(const std::string& root) {
  auto fail = [](const char* what) {
    std::fprintf(stderr, "activation: %s\n", what);
    return 1;
  };
  auto listening = [&](const std::string& name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // systemd's sockets are inherited
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (root + "/" + name).c_str());
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 8);
    const int high = ::fcntl(fd, F_DUPFD, 10);  // out of the way of 3 and 4
    ::close(fd);
    return high;
  };
  const int saved3 = ::fcntl(3, F_DUPFD_CLOEXEC, 100);
  const int saved4 = ::fcntl(4, F_DUPFD_CLOEXEC, 100);
  const int other = listening("other.sock");
  const int mine = listening("activated.sock");
  if (::dup2(other, 3) != 3 || ::dup2(mine, 4) != 4) return fail("dup2");
  ::close(other);
  ::close(mine);

  ::setenv("LISTEN_PID", std::to_string(::getpid() + 1).c_str(), 1);
  ::setenv("LISTEN_FDS", "2", 1);
  ::setenv("LISTEN_FDNAMES", "other:svc-act", 1);
  Result<std::optional<UniqueFd>> foreign = takeActivatedSocket("svc-act");
  if (!foreign.ok() || foreign->has_value()) return fail("adopted sockets meant for another pid");

  ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
  auto interface = std::make_shared<TestInterface>();
  auto object = std::make_shared<TestObject>();
  Result<std::unique_ptr<Listener>> listener =
      Listener::open("svc-act",
                     [&](ServerConnection& connection) {
                       connection.setExportedInterface(interface);
                       connection.setExportedObject(object);
                       return true;
                     },
                     {root});
  if (!listener.ok()) return fail(listener.error().message.c_str());
  if (!(*listener)->adopted() || (*listener)->nativeHandle() != 4) {
    return fail("not adopted by name");
  }
  if (!isCloseOnExec(3) || !isCloseOnExec(4)) return fail("passed sockets inherit into children");
  if (fs::exists(root + "/svc-act")) return fail("bound a path although a socket was passed");

  Result<ClientConnection> client = ClientConnection::connect("activated.sock", interface, {root});
  if (!client.ok()) return fail("cannot connect to the passed socket");
  Reply reply = callAndWait(*client, "echo:", {IpcValue::string("activated")});
  if (!reply.ok() || (*reply)[0] != IpcValue::string("activated")) return fail("no echo");
  (*listener)->close();
  if (!fs::exists(root + "/activated.sock")) return fail("removed systemd's socket file");

  for (auto [saved, fd] : {std::pair{saved3, 3}, std::pair{saved4, 4}}) {
    saved >= 0 ? ::dup2(saved, fd) : ::close(fd);
  }
  fs::remove_all(root);
  return 0;
}

// Not a fixture test: nothing may hold fds 3 and 4 when the child takes them.
TEST(ListenerActivation, AdoptsTheSocketSystemdPassesByName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string root = (fs::temp_directory_path() / "zefra-act-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  EXPECT_EXIT(std::exit(activationChild(root)), ::testing::ExitedWithCode(0), "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace zefra::platform
