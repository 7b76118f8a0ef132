#include "xpc/peer_validation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/code_signature.h"
#include "platform/codesign_fixture.h"

// The whole check of a connecting peer under the compiled anchor, with real
// processes started from executables signed in every way that matters.
namespace zefra::xpc {
namespace {

using testing::CertSpec;
using testing::Credential;
using testing::Peer;

class PeerValidationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    build_ = std::make_unique<Credential>(
        testing::loadCredential(ZEFRA_TEST_SIGNING_CHAIN, ZEFRA_TEST_SIGNING_KEY));
    if (std::string(ZEFRA_TEST_ANCHOR_KEY).empty()) return;  // a release anchor
    anchor_ = std::make_unique<Credential>(
        testing::loadCredential(ZEFRA_TEST_ANCHOR_FILE, ZEFRA_TEST_ANCHOR_KEY));
  }
  static void TearDownTestSuite() {
    anchor_.reset();
    build_.reset();
  }
  void SetUp() override { listener_ = std::make_unique<testing::Listener>(dir_ / "socket"); }

  // The compiled anchor's key, to issue more leaves under it.
  const Credential& anchor() {
    if (!anchor_) throw std::runtime_error("needs the development anchor");
    return *anchor_;
  }
  Credential underAnchor(CertSpec spec = testing::leafSpec()) {
    return testing::issue(spec, &anchor());
  }

  std::string signedBy(const Credential& signer) {
    std::string path = dir_ / ("peer" + std::to_string(++files_));
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, path, signer, "com.ovak.zefra.test");
    return path;
  }
  std::string changed(const std::string& path, const std::function<void(std::string&)>& change) {
    std::string bytes = testing::readFile(path);
    change(bytes);
    testing::writeFile(path, bytes);
    return path;
  }
  bool trusted(const std::string& executable) {
    Peer peer = Peer::start(*listener_, executable);
    EXPECT_TRUE(peer.connected()) << executable;
    return peerIsTrusted(peer.connection());
  }

  static inline std::unique_ptr<Credential> build_;
  static inline std::unique_ptr<Credential> anchor_;
  testing::TempDir dir_;
  std::unique_ptr<testing::Listener> listener_;
  int files_ = 0;
};

TEST_F(PeerValidationTest, AcceptsCodeOfTheTeamUnderTheCompiledAnchor) {
  EXPECT_TRUE(trusted(signedBy(*build_))) << "the build's own identity";
  EXPECT_TRUE(trusted(ZEFRA_TEST_SIGNED_PEER)) << "signed by the build";
}

TEST_F(PeerValidationTest, AcceptsOtherChainsOfTheTeam) {
  if (!anchor_) GTEST_SKIP() << "needs the development anchor's key";
  Credential intermediate = testing::issue(testing::caSpec("Team Intermediate"), &anchor());
  EXPECT_TRUE(trusted(signedBy(testing::issue(testing::leafSpec(), &intermediate))));
  CertSpec expired = testing::leafSpec();
  expired.notBeforeSeconds = -30L * 86400;
  expired.notAfterSeconds = -86400;
  EXPECT_TRUE(trusted(signedBy(underAnchor(expired)))) << "installed code outlives its certificate";
}

TEST_F(PeerValidationTest, RefusesPeersWithoutAValidSignature) {
  std::string plain = dir_ / "plain";
  testing::writeFile(plain, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  EXPECT_FALSE(trusted(plain)) << "unsigned";
  EXPECT_FALSE(trusted(signedBy(testing::issue(testing::leafSpec())))) << "self-signed, team OU";
  Credential otherRoot = testing::issue(testing::caSpec("Other Anchor"));
  EXPECT_FALSE(trusted(signedBy(testing::issue(testing::leafSpec(), &otherRoot))))
      << "another anchor";

  const std::size_t trailer = platform::kTrailerSize;
  // The last code byte lies in the section headers, which the loader
  // does not need: the changed program still runs.
  const std::size_t lastCodeByte = testing::readFile(ZEFRA_TEST_PEER_PROGRAM).size() - 1;
  EXPECT_FALSE(trusted(changed(signedBy(*build_), [&](std::string& b) { b[lastCodeByte] ^= 1; })))
      << "code byte changed";
  EXPECT_FALSE(trusted(changed(signedBy(*build_), [&](std::string& b) {
    b[b.size() - trailer - 10] ^= 1;
  }))) << "signature byte changed";
  EXPECT_FALSE(trusted(changed(signedBy(*build_), [](std::string& b) { b.pop_back(); })))
      << "truncated trailer";
  EXPECT_FALSE(trusted(changed(signedBy(*build_), [](std::string& b) { b += '~'; })))
      << "extended trailer";
}

TEST_F(PeerValidationTest, RefusesEveryOtherTeamAndLeaf) {
  if (!anchor_) GTEST_SKIP() << "needs the development anchor's key";
  auto leaf = [](auto change) {
    CertSpec spec = testing::leafSpec();
    change(spec);
    return spec;
  };
  CertSpec notCa = testing::caSpec("Not A CA");
  notCa.ca = false;
  CertSpec tlsOnly = testing::caSpec("TLS Intermediate");
  tlsOnly.extendedKeyUsage = "serverAuth";
  Credential notCaIssuer = underAnchor(notCa);
  Credential tlsIssuer = underAnchor(tlsOnly);
  const std::vector<std::pair<const char*, Credential>> cases = {
      {"another team", underAnchor(testing::leafSpec({"Z9Z9Z9Z9Z9"}))},
      {"team in lower case", underAnchor(testing::leafSpec({"k4t9qz2m7b"}))},
      {"team with a trailing space", underAnchor(testing::leafSpec({"K4T9QZ2M7B "}))},
      {"two teams", underAnchor(testing::leafSpec({"K4T9QZ2M7B", "Z9Z9Z9Z9Z9"}))},
      {"the team twice", underAnchor(testing::leafSpec({"K4T9QZ2M7B", "K4T9QZ2M7B"}))},
      {"no team", underAnchor(testing::leafSpec({}))},
      {"no code signing usage",
       underAnchor(leaf([](CertSpec& s) { s.extendedKeyUsage = "clientAuth"; }))},
      {"no extended key usage", underAnchor(leaf([](CertSpec& s) { s.extendedKeyUsage = ""; }))},
      {"no digital signature", underAnchor(leaf([](CertSpec& s) { s.keyUsage = "keyAgreement"; }))},
      {"a CA as leaf", underAnchor(leaf([](CertSpec& s) {
         s.ca = true;
         s.keyUsage = "digitalSignature,keyCertSign";
       }))},
      {"issuer that is no CA", testing::issue(testing::leafSpec(), &notCaIssuer)},
      {"issuer limited to TLS", testing::issue(testing::leafSpec(), &tlsIssuer)},
      {"the anchor itself", anchor()},
  };
  for (const auto& [name, signer] : cases) {
    EXPECT_FALSE(trusted(signedBy(signer))) << name;
  }
}

TEST_F(PeerValidationTest, RefusesAPeerThatIsGone) {
  Peer peer = Peer::start(*listener_, signedBy(*build_), Peer::Mode::kExitAfterConnect);
  ASSERT_TRUE(peer.connected());
  peer.waitUntilExited();
  EXPECT_FALSE(peerIsTrusted(peer.connection()));
  EXPECT_EQ(peerProcessIdentifier(peer.connection()), peer.pid());
}

TEST_F(PeerValidationTest, TheHelperMayConnectToItself) {
  // This test program is signed by the build like the helper is.
  platform::UniqueFd client = listener_->connectSelf();
  platform::UniqueFd accepted = listener_->accept();
  ASSERT_TRUE(accepted.valid());
  EXPECT_TRUE(peerIsTrusted(accepted.get()));
  EXPECT_EQ(peerProcessIdentifier(accepted.get()), ::getpid());
}

TEST_F(PeerValidationTest, ConcurrentChecksStayApart) {
  std::string plain = dir_ / "plain";
  testing::writeFile(plain, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  Peer good = Peer::start(*listener_, signedBy(*build_));
  Peer bad = Peer::start(*listener_, plain);
  ASSERT_TRUE(good.connected() && bad.connected());
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        if (!peerIsTrusted(good.connection()) || peerIsTrusted(bad.connection())) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(PeerValidation, RefusesWhatIsNoConnectedSocket) {
  EXPECT_FALSE(peerIsTrusted(-1));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  EXPECT_FALSE(peerIsTrusted(readEnd.get()));
  EXPECT_FALSE(peerProcessIdentifier(readEnd.get()));
}

}  // namespace
}  // namespace zefra::xpc
