// Programs that misuse the built client: a helper that never answers, a
// service path served by another user.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "platform/socket/unix_address.h"
#include "support/helper_fixture.h"

namespace zefra::app::testing {
namespace {

class HostileTest : public HelperFixture {};

// Ctrl-C or SIGTERM sends a cancel; when no reply ever comes (here nobody
// answers at all), the client still ends, as the signal would have ended it.
TEST_F(HostileTest, AnInterruptedClientEndsWithoutAReply) {
  base::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = platform::unixAddress(runtime_ + "/group.com.ovak.zefra.helper");
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    platform::SpawnOptions options;
    options.executable = ZEFRA_TEST_CLIENT;
    options.arguments = {"run", freeTool()};
    options.environment = environment();
    auto client = platform::spawnProcess(options);
    ASSERT_TRUE(client) << client.error().message;
    // Connected: the call is on its way to a listener that never answers.
    base::UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(client->signal(signal));
    ASSERT_TRUE(platform::waitForPidfdExit(client->handle().pidfd(), base::Deadline::after(60)));
    const auto ended = client->waitForTermination();
    EXPECT_TRUE(ended.bySignal && ended.status == signal) << ended.status;
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
