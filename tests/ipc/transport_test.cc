#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <new>
#include <vector>

#include "ipc/client_connection.h"
#include "ipc/io_thread.h"
#include "ipc/listener.h"
#include "ipc/sender_gate.h"
#include "ipc/server_connection.h"
#include "platform/socket/socket_activation.h"
#include "support/eventually.h"
#include "support/listening_socket.h"
#include "support/temp_dir.h"
#include "wire/frame.h"

namespace zefra::ipc {
namespace {

namespace fs = std::filesystem;
using namespace wire;

constexpr std::chrono::seconds kPatience(30);

// "echo:" answers its value at once and is quick, "echo twice:" answers
// twice, "note:" is one-way, and "hold:" blocks until the test releases it.
class TestInterface : public IpcInterface {
 public:
  Result<bool> checkCall(std::string_view selector,
                         const std::vector<IpcValue>& arguments) const override {
    if (arguments.size() != (selector == "hold:" ? 0u : 1u)) return ipcViolation("wrong arity");
    if (selector == "note:") return false;
    if (selector == "echo:" || selector == "echo twice:" || selector == "hold:") return true;
    return ipcViolation("no such call");
  }
  Status checkReply(std::string_view, const std::vector<IpcValue>&) const override { return Ok{}; }
};

// A held call may still run after its test: it keeps the object alive.
class TestObject : public IpcExportedObject, public std::enable_shared_from_this<TestObject> {
 public:
  Result<Work> bind(std::string_view selector, std::vector<IpcValue> arguments,
                    IpcReply reply) override {
    const bool hold = selector == "hold:";
    const int replies = selector == "echo twice:" ? 2 : selector == "note:" ? 0 : 1;
    IpcValue value = hold ? IpcValue::string("hold") : arguments.at(0);
    return Work([self = shared_from_this(), hold, replies, value, reply] {
      ++self->entered;
      if (hold) self->released.wait(false);
      std::unique_lock lock(self->mu);
      self->ran.emplace_back(value.asString());
      lock.unlock();
      for (int i = 0; i < replies; ++i) reply.send({value});
    });
  }
  CallPlace placeOf(std::string_view selector) const override {
    return selector == "echo:" ? CallPlace::kIoThread : CallPlace::kInOrder;
  }
  void connectionClosed() override { ++closed; }
  void release() {
    released = true;
    released.notify_all();
  }

  std::mutex mu;
  std::atomic<int> entered{0}, closed{0};
  std::atomic<bool> released{false};
  std::vector<std::string> ran;  // in the order the calls finished
};

using Reply = Result<std::vector<IpcValue>>;

std::future<Reply> callAsync(ClientConnection& connection, std::string_view selector,
                             std::vector<IpcValue> arguments) {
  auto promise = std::make_shared<std::promise<Reply>>();
  connection.call(
      selector, std::move(arguments),
      [promise](std::vector<IpcValue> values) -> Result<Work> {
        return Work([promise, values] { promise->set_value(values); });
      },
      [promise](const Error& error) { promise->set_value(error); });
  return promise->get_future();
}

Reply answer(std::future<Reply> future) {
  if (future.wait_for(kPatience) != std::future_status::ready) return Error{ETIMEDOUT, "no answer"};
  return future.get();
}

bool echoes(ClientConnection& connection, const std::string& text) {
  Reply reply = answer(callAsync(connection, "echo:", {IpcValue::string(text)}));
  return reply.ok() && *reply == std::vector<IpcValue>{IpcValue::string(text)};
}

enum class Nonce { kAnswered, kUnanswered, kWrong };

// A client written by hand: connected, with the connection's nonce answered
// as told and `bytes` sent after it.
UniqueFd rawClient(const std::string& path, Nonce nonce, const std::string& bytes = "") {
  UniqueFd fd = testing::connectTo(path);
  const timeval patience{30, 0};
  if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0) {
    return UniqueFd();
  }
  std::string opening(24, '\0');  // [2, 16 bytes] in a frame
  if (nonce != Nonce::kUnanswered) {
    if (::recv(fd.get(), opening.data(), opening.size(), MSG_WAITALL) != 24) return UniqueFd();
    if (nonce == Nonce::kWrong) opening.back() ^= 1;
  }
  const std::string sent = (nonce == Nonce::kUnanswered ? "" : opening) + bytes;
  if (::send(fd.get(), sent.data(), sent.size(), MSG_NOSIGNAL) != ssize_t(sent.size())) {
    return UniqueFd();
  }
  return fd;
}

// Tells whether the helper closes a hand-written client after `bytes`.
bool closedAfterSending(const std::string& path, const std::string& bytes, Nonce nonce) {
  UniqueFd fd = rawClient(path, nonce, bytes);
  if (!fd) return false;
  char buffer[64];
  for (pollfd p{fd.get(), POLLIN, 0}; ::poll(&p, 1, 30'000) == 1;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

std::string encoded(std::vector<IpcValue> message) {
  Result<EncodedFrame> frame = encodeFrame(std::move(message));
  std::string out;
  for (const iovec& chunk : frame->chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(listener_ = open("svc"), nullptr); }
  void TearDown() override { object_->release(); }

  std::unique_ptr<Listener> open(const std::string& name) {
    auto accept = [this](ServerConnection& connection) {
      std::lock_guard lock(mu_);
      acceptedOffIoThread_ = acceptedOffIoThread_ && !onIpcThread();
      accepted_.push_back(connection);
      connection.setExportedInterface(interface_);
      connection.setExportedObject(object_);
      return true;
    };
    Result<std::unique_ptr<Listener>> listener = Listener::open(name, accept, {root_.path()});
    return listener ? std::move(listener).value() : nullptr;
  }

  ClientConnection connect() {
    return ClientConnection::connect("svc", interface_, {root_.path()}).value();
  }

  std::string path(const std::string& name = "svc") const { return root_.path() + "/" + name; }

  // Runs in the child of a death test: 0 when everything holds, else the
  // number of the check that failed.
  int activationChild() {
    // systemd's sockets are inherited: the copy at `fd`, unlike its source
    // (made out of the way of 3 and 4), is no close-on-exec.
    auto inherited = [&](const std::string& name, int fd) {
      UniqueFd source(::fcntl(testing::listenWithoutAccepting(path(name)).get(), F_DUPFD, 10));
      return ::dup2(source.get(), fd) == fd;
    };
    // 3 and 4 may be the death test's own; they are put back before exiting.
    const int saved3 = ::fcntl(3, F_DUPFD_CLOEXEC, 100), saved4 = ::fcntl(4, F_DUPFD_CLOEXEC, 100);
    if (!inherited("other.sock", 3) || !inherited("svc", 4)) return 2;  // no copy at 3 and 4
    ::setenv("LISTEN_PID", std::to_string(::getpid() + 1).c_str(), 1);
    ::setenv("LISTEN_FDS", "2", 1);
    ::setenv("LISTEN_FDNAMES", "other:svc-act", 1);
    Result<std::optional<UniqueFd>> foreign = platform::takeActivatedSocket("svc-act");
    // Sockets meant for another pid are not taken.
    if (!foreign.ok() || foreign->has_value()) return 3;

    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    std::unique_ptr<Listener> listener = open("svc-act");
    if (!listener || !listener->adopted() || listener->nativeHandle() != 4) return 4;  // by name
    // Passed sockets do not leak into children.
    if (!(::fcntl(3, F_GETFD) & FD_CLOEXEC) || !(::fcntl(4, F_GETFD) & FD_CLOEXEC)) return 5;
    // Closed before 4 is put back: the I/O thread still waits on it.
    listener->close();
    for (auto [saved, fd] : {std::pair{saved3, 3}, std::pair{saved4, 4}}) {
      saved >= 0 ? ::dup2(saved, fd) : ::close(fd);
    }
    fs::remove_all(root_.path());  // std::exit skips the fixture's TempDir
    return 0;
  }

  testing::TempDir root_;
  std::shared_ptr<TestInterface> interface_ = std::make_shared<TestInterface>();
  std::shared_ptr<TestObject> object_ = std::make_shared<TestObject>();
  std::unique_ptr<Listener> listener_;
  std::mutex mu_;
  std::vector<ServerConnection> accepted_;
  bool acceptedOffIoThread_ = true;
};

TEST_F(TransportTest, ServesCallsAndKnowsThePeer) {
  ClientConnection client = connect();
  EXPECT_TRUE(echoes(client, "hello"));
  std::lock_guard lock(mu_);
  ASSERT_EQ(accepted_.size(), 1u);
  EXPECT_EQ(accepted_[0].processIdentifier(), ::getpid());
  EXPECT_TRUE(acceptedOffIoThread_) << "acceptance must not run on the I/O thread";
  for (int fd : {listener_->nativeHandle(), accepted_[0].nativeHandle(), client.nativeHandle()}) {
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  // The object hears of the end, so runs still going keep nothing for nobody.
  client.invalidate();
  EXPECT_TRUE(testing::eventually([&] { return object_->closed == 1; }));
}

TEST_F(TransportTest, ASlowCallHoldsBackOnlyTheLaterCallsOfItsConnection) {
  ClientConnection slow = connect(), other = connect();
  std::future<Reply> held = callAsync(slow, "hold:", {});
  ASSERT_TRUE(testing::eventually([&] { return object_->entered == 1; }));
  // Quick, yet it may not overtake the call still running before it.
  std::future<Reply> queued = callAsync(slow, "echo:", {IpcValue::string("queued")});
  EXPECT_TRUE(echoes(other, "other"));
  ASSERT_TRUE(answer(callAsync(other, "echo twice:", {IpcValue::string("other again")})).ok());
  object_->release();
  for (std::future<Reply>* reply : {&held, &queued}) EXPECT_TRUE(answer(std::move(*reply)).ok());
  std::lock_guard lock(object_->mu);
  EXPECT_EQ(object_->ran, (std::vector<std::string>{"other", "other again", "hold", "queued"}));
}

// One case of each layer: the nonce, the frame, the body, the envelope and
// the interface. What each layer refuses in detail is the codec's test.
TEST_F(TransportTest, AViolationClosesOnlyItsConnection) {
  ClientConnection good = connect();
  const std::string echo = encoded(makeCallMessage(1, "echo:", {IpcValue::string("x")}));
  using enum Nonce;
  const std::vector<std::tuple<const char*, Nonce, std::string>> rows = {
      {"a call before the nonce", kUnanswered, echo},
      {"a wrong nonce", kWrong, echo},
      {"oversize frame", kAnswered, std::string("\x04\x00\x00\x01", 4)},
      {"not an array", kAnswered, std::string("\x00\x00\x00\x01\x01", 5)},
      {"one-way call with a reply", kAnswered,
       encoded(makeCallMessage(0, "echo:", {IpcValue::string("x")}))},
      {"unknown selector", kAnswered, encoded(makeCallMessage(1, "nope:", {}))},
  };
  for (const auto& [what, nonce, bytes] : rows) {
    const int entered = object_->entered;
    EXPECT_TRUE(closedAfterSending(path(), bytes, nonce)) << what;
    EXPECT_EQ(object_->entered.load(), entered) << what << " entered a method";
    EXPECT_TRUE(echoes(good, what)) << "the other connection stopped after: " << what;
  }
  // A call ID still outstanding may not be used again.
  const std::string hold = encoded(makeCallMessage(4, "hold:", {}));
  const int entered = object_->entered;
  EXPECT_TRUE(closedAfterSending(path(), hold + hold, kAnswered));
  EXPECT_LE(object_->entered.load(), entered + 1);
}

// Large bodies are decoded off the I/O thread; the calls of a connection
// still enter in the order they were sent, one-way, large and small alike,
// and a second reply to a call is dropped, not taken for a violation.
TEST_F(TransportTest, CallsEnterInTheirOrderAndAnOversizeCallFailsAlone) {
  ClientConnection client = connect();
  client.callOneWay("note:", {IpcValue::string("note")},
                    [](const Error& error) { ADD_FAILURE() << error.message; });
  std::vector<std::string> sent = {"note"};
  std::vector<std::future<Reply>> replies;
  for (int i = 0; i < 8; ++i) {
    sent.push_back(std::to_string(i) + std::string(i % 2 ? 0 : 64 << 10, 'x'));
    replies.push_back(callAsync(client, "echo twice:", {IpcValue::string(sent.back())}));
  }
  for (auto& reply : replies) EXPECT_TRUE(answer(std::move(reply)).ok());
  const auto tooLarge = IpcValue::data(Bytes(std::string((64 << 20) + 1, 'x')));
  EXPECT_EQ(answer(callAsync(client, "echo:", {tooLarge})).error().code, EPROTO);
  EXPECT_TRUE(echoes(client, "still open"));
  sent.push_back("still open");
  std::lock_guard lock(object_->mu);
  EXPECT_EQ(object_->ran, sent);
}

// A client that sends calls and reads none of the replies: the connection
// stops taking its calls once replies pile up, rather than queuing them
// without end, and takes them again when the client reads.
TEST_F(TransportTest, AClientThatReadsNoRepliesIsReadNoFurther) {
  UniqueFd fd = rawClient(path(), Nonce::kAnswered);
  ASSERT_EQ(::fcntl(fd.get(), F_SETFL, O_NONBLOCK), 0);
  // Calls of one size, as their IDs all take two bytes.
  std::string calls;
  for (int id = 256; id < 256 + 1024; ++id) {
    calls += encoded(makeCallMessage(id, "echo:", {IpcValue::string(std::string(1000, 'e'))}));
  }
  constexpr std::size_t kEnough = std::size_t{256} << 20;
  std::size_t written = 0;
  for (pollfd p{fd.get(), POLLOUT, 0}; written < kEnough && ::poll(&p, 1, 2000) == 1;) {
    const std::size_t at = written % calls.size();
    const ssize_t n = ::send(fd.get(), calls.data() + at, calls.size() - at, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    written += static_cast<std::size_t>(n);
  }
  EXPECT_LT(written, std::size_t{16} << 20) << "the helper kept taking calls nobody reads";
  // Reading the replies lets the rest in: every whole call is answered.
  const std::size_t answerable = written / (calls.size() / 1024);
  std::size_t answered = 0;
  FrameReader reader(wire::kMaxReplyFrameSize);
  for (pollfd p{fd.get(), POLLIN, 0}; answered < answerable && ::poll(&p, 1, 30'000) == 1;) {
    std::span<char> space = reader.readSpace();
    const ssize_t n = ::recv(fd.get(), space.data(), space.size(), 0);
    ASSERT_GT(n, 0);
    reader.commit(static_cast<std::size_t>(n));
    while (auto body = reader.next().value()) ++answered;
  }
  EXPECT_EQ(answered, answerable);
}

// Where the kernel can, a descriptor sent to a gated socket is refused at the
// sender: none reaches a thread of ours, whose last close of it could block.
TEST_F(TransportTest, PassedDescriptorsAreRefusedAtTheSender) {
  const UniqueFd listening = testing::listenWithoutAccepting(path("gated"));
  ASSERT_TRUE(SenderGate::enable(listening.get(), SenderIdentity::kCredentials));
  int passRights = 1;
  socklen_t size = sizeof passRights;
  if (::getsockopt(listening.get(), SOL_SOCKET, 83, &passRights, &size) != 0) {
    GTEST_SKIP() << "the kernel cannot refuse passed descriptors (before 6.16)";
  }
  const UniqueFd sender = testing::connectTo(path("gated"));
  // One byte, with our standard input attached: descriptor 0, the data the
  // zeroed buffer holds after the header.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  new (control) cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
  iovec byte{const_cast<char*>("x"), 1};
  // No address; the byte, then the control message.
  const msghdr message{nullptr, 0, &byte, 1, control, sizeof control, 0};
  EXPECT_EQ(::sendmsg(sender.get(), &message, MSG_NOSIGNAL), -1);
  EXPECT_EQ(errno, EPERM);
}

// The built helper shows a stale socket file taken over, a taken path
// refused and a live one never taken over (a second instance leaves); what
// only the listener shows: closing removes the file only while it is still
// the listener's.
TEST_F(TransportTest, ClosingRemovesOnlyTheListenersOwnFile) {
  ASSERT_EQ(::unlink(path().c_str()), 0);
  std::ofstream(path()) << "someone else's";
  listener_.reset();
  EXPECT_TRUE(fs::is_regular_file(path()));
}

// The death test forks: nothing of ours may hold threads or fds 3 and 4 yet
// when its child makes them the sockets systemd would pass, so SetUp opens
// nothing. That an adopted socket is served on either name, binds no path of
// its own and is left in place for the next start is the install test's,
// under a real manager.
class ActivationTest : public TransportTest {
  void SetUp() override {}
};

TEST_F(ActivationTest, AdoptsTheSocketSystemdPassesByName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(activationChild()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zefra::ipc
