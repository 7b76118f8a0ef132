#include "xpc/acceptance/peer_validation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "codesign/signature_block.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"

// The whole check of a connecting peer under the compiled anchor, with real
// processes started from executables signed in every way that matters.
namespace zefra::xpc {
namespace {

using testing::CertSpec;
using testing::Credential;
using testing::Peer;

class PeerValidationTest : public ::testing::Test {
 protected:
  std::string signedBy(const Credential& signer) {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM,
                               dir_.path() + "/peer" + std::to_string(++files_), signer,
                               "com.ovak.zefra.test");
  }
  // A copy signed by the build, then changed.
  std::string changed(const std::function<void(std::string&)>& change) {
    std::string path = signedBy(build_), bytes = testing::readFile(path);
    change(bytes);
    testing::writeFile(path, bytes);
    return path;
  }
  bool trusted(const std::string& executable) {
    Peer peer(listener_, executable);
    EXPECT_TRUE(peer.connected()) << executable;
    return peerIsTrusted(peer.connection());
  }

  const Credential build_ = Credential::load(ZEFRA_TEST_SIGNING_CHAIN, ZEFRA_TEST_SIGNING_KEY);
  // The compiled anchor's key, to issue more leaves; none for a release anchor.
  const std::unique_ptr<Credential> anchor_ =
      std::string(ZEFRA_TEST_ANCHOR_KEY).empty()
          ? nullptr
          : std::make_unique<Credential>(
                Credential::load(ZEFRA_TEST_ANCHOR_FILE, ZEFRA_TEST_ANCHOR_KEY));
  testing::TempDir dir_;
  testing::Listener listener_{dir_.path() + "/socket"};
  int files_ = 0;
};

TEST_F(PeerValidationTest, AcceptsCodeOfTheTeamUnderTheCompiledAnchor) {
  EXPECT_TRUE(trusted(signedBy(build_))) << "the build's own identity";
  EXPECT_TRUE(trusted(ZEFRA_TEST_SIGNED_PEER)) << "signed by the build";
  if (!anchor_) return;
  Credential intermediate = testing::issue(testing::caSpec("Team Intermediate"), anchor_.get());
  EXPECT_TRUE(trusted(signedBy(testing::issue(testing::leafSpec(), &intermediate))));
  CertSpec expired = testing::leafSpec();
  expired.notBeforeSeconds = -30L * 86400;
  expired.notAfterSeconds = -86400;
  EXPECT_TRUE(trusted(signedBy(testing::issue(expired, anchor_.get()))))
      << "installed code outlives its certificate";
}

TEST_F(PeerValidationTest, RefusesEveryOtherPeer) {
  std::string plain = dir_.path() + "/plain";
  testing::writeFile(plain, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  Credential otherRoot = testing::issue(testing::caSpec("Other Anchor"));
  // The last code byte lies in the section headers, which the loader does
  // not need: the changed program still runs.
  const std::size_t lastCodeByte = testing::readFile(ZEFRA_TEST_PEER_PROGRAM).size() - 1;
  std::vector<std::pair<const char*, std::string>> cases = {
      {"unsigned", plain},
      {"self-signed, team OU", signedBy(testing::issue(testing::leafSpec()))},
      {"another anchor", signedBy(testing::issue(testing::leafSpec(), &otherRoot))},
      {"code byte changed", changed([&](std::string& b) { b[lastCodeByte] ^= 1; })},
      {"signature byte changed",
       changed([](std::string& b) { b[b.size() - codesign::kTrailerSize - 10] ^= 1; })},
      {"truncated trailer", changed([](std::string& b) { b.pop_back(); })},
      {"extended trailer", changed([](std::string& b) { b += '~'; })},
  };
  if (anchor_) {  // leaves under the compiled anchor need its key
    auto under = [&](const CertSpec& spec) {
      return signedBy(testing::issue(spec, anchor_.get()));
    };
    CertSpec clientAuth = testing::leafSpec(), noUsage = testing::leafSpec(),
             noSignature = testing::leafSpec(), caLeaf = testing::leafSpec(),
             notCa = testing::caSpec("Not A CA"), tlsOnly = testing::caSpec("TLS Intermediate");
    clientAuth.extendedKeyUsage = "clientAuth";
    noUsage.extendedKeyUsage = "";
    noSignature.keyUsage = "keyAgreement";
    caLeaf.ca = true;
    caLeaf.keyUsage = "digitalSignature,keyCertSign";
    notCa.ca = false;
    tlsOnly.extendedKeyUsage = "serverAuth";
    Credential notCaIssuer = testing::issue(notCa, anchor_.get());
    Credential tlsIssuer = testing::issue(tlsOnly, anchor_.get());
    cases.insert(
        cases.end(),
        {
            {"another team", under(testing::leafSpec({"Z9Z9Z9Z9Z9"}))},
            {"team in lower case", under(testing::leafSpec({"k4t9qz2m7b"}))},
            {"team with a trailing space", under(testing::leafSpec({"K4T9QZ2M7B "}))},
            {"two teams", under(testing::leafSpec({"K4T9QZ2M7B", "Z9Z9Z9Z9Z9"}))},
            {"the team twice", under(testing::leafSpec({"K4T9QZ2M7B", "K4T9QZ2M7B"}))},
            {"no team", under(testing::leafSpec({}))},
            {"no code signing usage", under(clientAuth)},
            {"no extended key usage", under(noUsage)},
            {"no digital signature", under(noSignature)},
            {"a CA as leaf", under(caLeaf)},
            {"issuer that is no CA", signedBy(testing::issue(testing::leafSpec(), &notCaIssuer))},
            {"issuer limited to TLS", signedBy(testing::issue(testing::leafSpec(), &tlsIssuer))},
            {"the anchor itself", signedBy(*anchor_)},
        });
  }
  for (const auto& [name, executable] : cases) EXPECT_FALSE(trusted(executable)) << name;

  Peer gone(listener_, signedBy(build_), Peer::Mode::kExitAfterConnect);
  ASSERT_TRUE(gone.connected());
  gone.waitUntilExited();
  EXPECT_FALSE(peerIsTrusted(gone.connection())) << "exited before the check";
  EXPECT_EQ(peerProcessIdentifier(gone.connection()), gone.pid());
}

TEST_F(PeerValidationTest, TheHelperMayConnectToItself) {
  // This test program is signed by the build like the helper is.
  base::UniqueFd client = listener_.connectSelf();
  base::UniqueFd accepted = listener_.accept();
  ASSERT_TRUE(accepted.valid());
  EXPECT_TRUE(peerIsTrusted(accepted.get()));
  EXPECT_EQ(peerProcessIdentifier(accepted.get()), ::getpid());
}

TEST_F(PeerValidationTest, RefusesWhatIsNoConnectedSocket) {
  EXPECT_FALSE(peerIsTrusted(-1));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  base::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  EXPECT_FALSE(peerIsTrusted(readEnd.get()));
  EXPECT_FALSE(peerProcessIdentifier(readEnd.get()));
}

}  // namespace
}  // namespace zefra::xpc
