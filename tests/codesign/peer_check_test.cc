#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "codesign/peer_code_checker.h"
#include "platform/process/peer_process.h"
#include "support/codesign_fixture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace zefra::codesign {
namespace {

using base::now;
using base::ScopedClockOverride;
using platform::identifyPeer;
using platform::PeerProcess;
using testing::Peer;

class PeerCheckTest : public ::testing::Test {
 protected:
  // Others may enter: one test runs its peer as another user.
  void SetUp() override { ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0); }

  std::string signedPeer(const std::string& name = "signed-peer") {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, dir_.path() + "/" + name,
                               testing::testPki().leaf, "com.ovak.zefra.test");
  }

  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  testing::TempDir dir_;
  testing::Listener listener_{dir_.path() + "/socket"};
  PeerCodeChecker checker_{testing::testPki().root.anchor()};
};

TEST_F(PeerCheckTest, RefusesAPeerThatExitsBeforeOrDuringTheCheck) {
  Peer reaped(listener_, signedPeer(), Peer::Mode::kExitAfterConnect);
  ASSERT_TRUE(reaped.connected());
  ASSERT_EQ(::waitpid(reaped.pid(), nullptr, 0), reaped.pid());
  EXPECT_FALSE(checker_.check(reaped.connection())) << "exited and reaped";

  PeerCodeChecker::Options options;
  options.beforeLivenessCheck = [](const PeerProcess& peer) {
    ::kill(peer.pid, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(peer.pid), &info, WEXITED | WNOWAIT);
  };
  Peer during(listener_, signedPeer());
  auto info = PeerCodeChecker(testing::testPki().root.anchor(), options).check(during.connection());
  EXPECT_FALSE(info) << "exited during the check";
}

TEST_F(PeerCheckTest, TheRunningImageCountsNotThePath) {
  std::string path = signedPeer("replaced");
  const std::string signedBytes = testing::readFile(path);
  Peer startedSigned(listener_, path);
  testing::replaceFile(path, program_);
  EXPECT_TRUE(checker_.check(startedSigned.connection())) << "signed image, unsigned file";

  Peer startedUnsigned(listener_, path);
  testing::replaceFile(path, signedBytes);
  EXPECT_FALSE(checker_.check(startedUnsigned.connection())) << "unsigned image, signed file";

  Peer removed(listener_, path);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(checker_.check(removed.connection())) << "signed image, file removed";
}

TEST_F(PeerCheckTest, RefusesAPeerOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as nobody";
  constexpr uid_t kNobody = 65534;
  Peer other(listener_, signedPeer(), Peer::Mode::kStay, kNobody);
  ASSERT_TRUE(other.connected());
  ASSERT_EQ(identifyPeer(other.connection())->uid, kNobody);
  EXPECT_FALSE(checker_.check(other.connection()));
}

TEST_F(PeerCheckTest, CachesVerdictsOfSettledFilesByFileIdentity) {
  // A coarse timestamp cannot tell a rewrite in the same tick, so a file
  // changed moments ago is verified every time.
  std::string path = signedPeer();
  Peer peer(listener_, path);
  ASSERT_TRUE(checker_.check(peer.connection()));
  ASSERT_TRUE(checker_.check(peer.connection()));
  EXPECT_EQ(checker_.stats().cached, 0u);
  EXPECT_EQ(checker_.stats().verified, 2u);

  ScopedClockOverride later(now() + 3600);  // every file here is settled now
  ASSERT_TRUE(checker_.check(peer.connection()));
  ASSERT_TRUE(checker_.check(peer.connection()));
  EXPECT_EQ(checker_.stats().verified, 3u);
  EXPECT_EQ(checker_.stats().cacheHits, 1u);
  Peer gone(listener_, path, Peer::Mode::kExitAfterConnect);
  gone.waitUntilExited();
  EXPECT_FALSE(checker_.check(gone.connection())) << "a cached verdict still needs a live peer";

  // A new mtime, then another file at the same path: checked again (the
  // unsigned one without a hash).
  const auto before = checker_.stats();
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(checker_.check(peer.connection()));
  testing::replaceFile(path, program_);
  Peer replaced(listener_, path);
  EXPECT_FALSE(checker_.check(replaced.connection()));
  EXPECT_EQ(checker_.stats().verified, before.verified + 1);
  EXPECT_EQ(checker_.stats().unhashed, before.unhashed + 1);
}

TEST_F(PeerCheckTest, EveryCheckWaitingForAHashingSlotIsAnswered) {
  // One slot and two dozen checks at once, of an image changed moments ago
  // (hashed every time), then of the same image settled: the first hash
  // settles the verdict of everyone waiting, who must pass the slot on.
  PeerCodeChecker::Options options;
  options.concurrentVerifications = 1;
  PeerCodeChecker checker(testing::testPki().root.anchor(), options);
  const std::string path = signedPeer();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const double changed = static_cast<double>(st.st_ctim.tv_sec) + st.st_ctim.tv_nsec / 1e9;
  Peer peer(listener_, path);
  auto process = std::make_shared<const PeerProcess>(identifyPeer(peer.connection()).value());
  std::atomic<int> answered = 0, valid = 0;
  for (double later : {0.5, 3600.0}) {
    ScopedClockOverride clock(changed + later);
    std::vector<std::jthread> callers;
    for (int thread = 0; thread < 4; ++thread) {
      callers.emplace_back([&] {
        for (int i = 0; i < 6; ++i) {
          checker.checkProcess(process, [&](PeerCodeChecker::Verdict verdict) {
            valid += verdict.ok();
            ++answered;
          });
        }
      });
    }
    callers.clear();
    const int expected = later < 1 ? 24 : 48;
    ASSERT_TRUE(testing::eventually([&] { return answered == expected; }))
        << answered << " of " << expected << " checks answered";
  }
  EXPECT_EQ(valid, 48);
  EXPECT_EQ(checker.stats().verified, 25u) << "24 changed moments ago, then one settled";
}

}  // namespace
}  // namespace zefra::codesign
