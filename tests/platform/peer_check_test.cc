#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/codesign_fixture.h"
#include "platform/peer_process.h"

namespace zefra::platform {
namespace {

using testing::Credential;
using testing::Peer;

class PeerCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<Credential>(testing::issue(testing::caSpec("Peer Test Root")));
    leaf_ = std::make_unique<Credential>(testing::issue(testing::leafSpec(), root_.get()));
  }
  static void TearDownTestSuite() {
    leaf_.reset();
    root_.reset();
  }

  void SetUp() override {
    // Others may enter: one test runs its peer as another user.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    listener_ = std::make_unique<testing::Listener>(dir_ / "socket");
  }

  std::string signedPeer(const std::string& name = "signed-peer") {
    std::string path = dir_ / name;
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, path, *leaf_, "com.ovak.zefra.test");
    return path;
  }
  std::string unsignedPeer(const std::string& name = "unsigned-peer") {
    std::string path = dir_ / name;
    testing::writeFile(path, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
    return path;
  }
  Peer start(const std::string& executable, Peer::Mode mode = Peer::Mode::kStay) {
    Peer peer = Peer::start(*listener_, executable, mode);
    EXPECT_TRUE(peer.connected());
    return peer;
  }

  static inline std::unique_ptr<Credential> root_;
  static inline std::unique_ptr<Credential> leaf_;
  testing::TempDir dir_;
  std::unique_ptr<testing::Listener> listener_;
  PeerCodeChecker checker_{root_->anchor()};
};

TEST_F(PeerCheckTest, IdentifiesTheConnectingProcess) {
  Peer peer = start(unsignedPeer());
  auto identified = identifyPeer(peer.connection());
  ASSERT_TRUE(identified) << identified.error().message;
  EXPECT_EQ(identified->pid, peer.pid());
  EXPECT_EQ(identified->uid, ::geteuid());
  EXPECT_TRUE(identified->pidfd.valid());
  EXPECT_TRUE(stillRunning(*identified));
  EXPECT_EQ(peerPid(peer.connection()).value(), peer.pid());

  peer.killAndWait();
  EXPECT_FALSE(stillRunning(*identified));
}

TEST_F(PeerCheckTest, AcceptsSignedAndRefusesUnsignedPeers) {
  Peer good = start(signedPeer());
  auto info = checker_.check(good.connection());
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.test");
  EXPECT_EQ(info->teamIdentifier, testing::kTeam);

  Peer bad = start(unsignedPeer());
  EXPECT_FALSE(checker_.check(bad.connection()));
}

TEST_F(PeerCheckTest, RefusesAPeerThatExitedBeforeTheCheck) {
  Peer zombie = start(signedPeer(), Peer::Mode::kExitAfterConnect);
  zombie.waitUntilExited();
  EXPECT_FALSE(checker_.check(zombie.connection())) << "exited, not reaped";

  Peer reaped = start(signedPeer("second"), Peer::Mode::kExitAfterConnect);
  ASSERT_EQ(::waitpid(reaped.pid(), nullptr, 0), reaped.pid());
  EXPECT_FALSE(checker_.check(reaped.connection())) << "exited and reaped";
}

TEST_F(PeerCheckTest, RefusesAPeerThatExitsWhileItIsChecked) {
  PeerCodeChecker::Options options;
  options.beforeLivenessCheck = [](const PeerProcess& peer) {
    ::kill(peer.pid, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(peer.pid), &info, WEXITED | WNOWAIT);
  };
  PeerCodeChecker checker(root_->anchor(), options);
  Peer peer = start(signedPeer());
  auto info = checker.check(peer.connection());
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message, "the peer exited during the check");
}

TEST_F(PeerCheckTest, TheRunningImageCountsNotThePath) {
  std::string path = signedPeer("replaced");
  std::string unsignedBytes = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  Peer startedSigned = start(path);
  testing::replaceFile(path, unsignedBytes);
  EXPECT_TRUE(checker_.check(startedSigned.connection())) << "signed image, unsigned file";

  std::string signedBytes = testing::readFile(signedPeer("source"));
  Peer startedUnsigned = start(path);
  testing::replaceFile(path, signedBytes);
  EXPECT_FALSE(checker_.check(startedUnsigned.connection())) << "unsigned image, signed file";

  Peer removed = start(path);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(checker_.check(removed.connection())) << "signed image, file removed";
}

TEST_F(PeerCheckTest, RefusesAPeerOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as nobody";
  constexpr uid_t kNobody = 65534;
  Peer other = Peer::start(*listener_, signedPeer(), Peer::Mode::kStay, kNobody);
  ASSERT_TRUE(other.connected());
  ASSERT_EQ(identifyPeer(other.connection())->uid, kNobody);
  auto info = checker_.check(other.connection());
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message, "the peer runs as another user");
}

TEST_F(PeerCheckTest, CachesVerdictsByFileIdentity) {
  ScopedClockOverride later(now() + 3600);  // every file here is old enough
  std::string path = signedPeer("cached");
  {
    Peer first = start(path);
    Peer second = start(path);
    ASSERT_TRUE(checker_.check(first.connection()));
    ASSERT_TRUE(checker_.check(second.connection()));
    EXPECT_EQ(checker_.stats().verified, 1u);
    EXPECT_EQ(checker_.stats().cacheHits, 1u);
  }
  // Same path, other file: the cached verdict does not carry over.
  testing::replaceFile(path, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  Peer replaced = start(path);
  EXPECT_FALSE(checker_.check(replaced.connection()));
  EXPECT_EQ(checker_.stats().verified, 2u);

  // Same file, changed metadata: verified again.
  std::string other = signedPeer("touched");
  Peer before = start(other);
  ASSERT_TRUE(checker_.check(before.connection()));
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), times, 0), 0);  // a new mtime
  Peer after = start(other);
  ASSERT_TRUE(checker_.check(after.connection()));
  EXPECT_EQ(checker_.stats().verified, 4u);
}

TEST_F(PeerCheckTest, ACachedVerdictStillNeedsALivePeer) {
  ScopedClockOverride later(now() + 3600);
  std::string path = signedPeer();
  Peer first = start(path);
  ASSERT_TRUE(checker_.check(first.connection()));
  Peer gone = start(path, Peer::Mode::kExitAfterConnect);
  gone.waitUntilExited();
  EXPECT_FALSE(checker_.check(gone.connection()));
}

TEST_F(PeerCheckTest, FreshlyWrittenFilesAreNotCached) {
  // A coarse timestamp cannot tell a rewrite in the same tick, so a file
  // changed moments ago is verified every time.
  Peer peer = start(signedPeer());
  ASSERT_TRUE(checker_.check(peer.connection()));
  ASSERT_TRUE(checker_.check(peer.connection()));
  EXPECT_EQ(checker_.stats().cached, 0u);
  EXPECT_EQ(checker_.stats().verified, 2u);
}

}  // namespace
}  // namespace zefra::platform
