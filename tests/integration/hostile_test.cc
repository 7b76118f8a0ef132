// Programs of the same user that misuse the built helper and client: a
// connection that asks for more runs than it may have, a FIFO where the
// defaults belong, a helper that never answers, a service path served by
// someone else.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <future>

#include "platform/socket/unix_address.h"
#include "support/fork_exec.h"
#include "support/helper_fixture.h"
#include "tools/tool_service.h"

namespace zefra::app::testing {
namespace {

class HostileTest : public HelperFixture {
 protected:
  // The client, started on its own; its wait status once it ends.
  struct Started {
    pid_t pid;
    std::future<int> status;
  };
  Started startClient(const std::vector<std::string>& arguments) {
    std::vector<std::string> args{ZEFRA_TEST_CLIENT};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto env = environment();
    const pid_t pid = zefra::testing::forkExec(std::move(args), std::move(env));
    return {pid, std::async(std::launch::async, [pid] {
              int status = 0;
              ::waitpid(pid, &status, 0);
              return status;
            })};
  }
};

// Past its bound a connection's run is refused at once, saying why, and a
// ping on that very connection is still answered.
TEST_F(HostileTest, AConnectionGetsItsBoundOfRunsAndStillItsPings) {
  startHelper();
  const auto tool = freeTool();
  const std::string gate = root_ + "/gate";
  base::UniqueFd held(::open(gate.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  writeTool(tool, "flock -s '" + gate + "' true");
  auto proxy = connect();
  ASSERT_TRUE(proxy);
  std::vector<std::future<int>> runs;
  for (std::size_t i = 0; i <= tools::kMaxRunsInProgress; ++i) {
    auto status = std::make_shared<std::promise<int>>();
    runs.push_back(status->get_future());
    (*proxy)->runWithRunID(
        "r" + std::to_string(i), tool, {}, std::nullopt, std::nullopt, {},
        [status](base::Bytes, base::Bytes, int code) { status->set_value(code); });
  }
  EXPECT_EQ(runs.back().get(), 126);
  EXPECT_TRUE((*proxy)->ping());
  held.reset();
  runs.pop_back();
  for (auto& run : runs) EXPECT_EQ(run.get(), 0);
}

// Someone put a FIFO where the defaults file or its lock belongs: a run that
// needs the resolution cache is answered, the main thread still ends the
// helper on SIGTERM, and the log says why the defaults are not used.
TEST_F(HostileTest, AFifoAtTheDefaultsHangsNothing) {
  const std::string folder = root_ + "/config/com.ovak.zefra.helper";
  for (const char* name : {"defaults.json", "defaults.json.lock"}) {
    SCOPED_TRACE(name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    ASSERT_EQ(::mkfifo((folder + "/" + name).c_str(), 0600), 0);
    auto& helper = startHelper();
    EXPECT_EQ(client({"run", freeTool(2)}).status, 127);
    ASSERT_TRUE(helper.signal(SIGTERM));
    EXPECT_EQ(exitsWithin(helper, 60), 0);
    EXPECT_NE(log().find(folder + "/" + name + " is not a regular file"), std::string::npos)
        << log();
    helpers_.clear();
  }
}

// Ctrl-C or SIGTERM sends a cancel; when no reply ever comes (here nobody
// answers at all), the client still ends, as the signal would have ended it.
TEST_F(HostileTest, AnInterruptedClientEndsWithoutAReply) {
  base::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = platform::unixAddress(runtime_ + "/group.com.ovak.zefra.helper");
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    auto client = startClient({"run", freeTool()});
    // Connected: the call is on its way to a listener that never answers.
    base::UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    ASSERT_EQ(::kill(client.pid, signal), 0);
    ASSERT_EQ(client.status.wait_for(60s), std::future_status::ready);
    const int status = client.status.get();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
  }
}

// Whatever listens at the service path must run as our user before the
// client sends it anything. Only root can make a listener of another user.
TEST_F(HostileTest, TheClientSendsNothingToAnotherUsersListener) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  constexpr uid_t kNobody = 65534;
  zefra::testing::TempDir elsewhere;
  ASSERT_EQ(::chown(elsewhere.path().c_str(), kNobody, kNobody), 0);
  const std::string socketPath = elsewhere.path() + "/socket";
  auto sent = platform::makePipe();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = platform::unixAddress(socketPath);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
      ::_exit(3);
    }
    (void)!::write(sent->writeEnd.get(), "l", 1);
    const int peer = ::accept(fd, nullptr, nullptr);
    char byte;
    // Tells whether the client wrote anything before it left.
    (void)!::write(sent->writeEnd.get(), ::read(peer, &byte, 1) > 0 ? "y" : "n", 1);
    ::_exit(0);
  }
  sent->writeEnd.reset();
  char byte = 0;
  ASSERT_EQ(::read(sent->readEnd.get(), &byte, 1), 1);
  fs::create_symlink(socketPath, runtime_ + "/group.com.ovak.zefra.helper");
  auto ping = client({"ping"});
  EXPECT_EQ(ping.status, 77);
  EXPECT_NE(ping.err.find("is served by user 65534"), std::string::npos) << ping.err;
  ASSERT_EQ(::read(sent->readEnd.get(), &byte, 1), 1);
  EXPECT_EQ(byte, 'n') << "the client sent something";
  ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace zefra::app::testing
