#include "xpc/acceptance/peer_validation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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
  bool trusted(const std::string& executable) {
    Peer peer(listener_, executable);
    EXPECT_TRUE(peer.connected()) << executable;
    return peerIsTrusted(peer.connection());
  }

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

// Damaged signatures, expired certificates and peers that exit are the
// codesign tests'; here the whole check under the compiled anchor.
TEST_F(PeerValidationTest, AcceptsOnlyCodeOfTheTeamUnderTheCompiledAnchor) {
  EXPECT_TRUE(trusted(ZEFRA_TEST_SIGNED_PEER)) << "signed by the build";
  std::string plain = dir_.path() + "/plain";
  testing::writeFile(plain, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  Credential otherRoot = testing::issue(testing::caSpec("Other Anchor"));
  std::vector<std::pair<const char*, std::string>> refused = {
      {"unsigned", plain},
      {"another anchor", signedBy(testing::issue(testing::leafSpec(), &otherRoot))},
  };
  if (anchor_) {  // leaves under the compiled anchor need its key
    Credential intermediate = testing::issue(testing::caSpec("Team Intermediate"), anchor_.get());
    EXPECT_TRUE(trusted(signedBy(testing::issue(testing::leafSpec(), &intermediate))));
    CertSpec notCa = testing::caSpec("Not A CA"), tlsOnly = testing::caSpec("TLS Intermediate");
    notCa.ca = false;
    tlsOnly.extendedKeyUsage = "serverAuth";
    Credential notCaIssuer = testing::issue(notCa, anchor_.get());
    Credential tlsIssuer = testing::issue(tlsOnly, anchor_.get());
    const std::string cn = "Zefra Tests Code Signing", usage = "critical,digitalSignature";
    const std::vector<std::pair<const char*, CertSpec>> leaves = {
        {"another team", testing::leafSpec({"Z9Z9Z9Z9Z9"})},
        {"team in lower case", testing::leafSpec({"k4t9qz2m7b"})},
        {"team with a trailing space", testing::leafSpec({"K4T9QZ2M7B "})},
        {"two teams", testing::leafSpec({testing::kTeam, "Z9Z9Z9Z9Z9"})},
        {"the team twice", testing::leafSpec({testing::kTeam, testing::kTeam})},
        {"no team", testing::leafSpec({})},
        {"no code signing usage", {{testing::kTeam}, cn, false, usage, "clientAuth"}},
        {"no extended key usage", {{testing::kTeam}, cn, false, usage, ""}},
        {"no digital signature", {{testing::kTeam}, cn, false, "keyAgreement", "codeSigning"}},
        {"a CA as leaf",
         {{testing::kTeam}, cn, true, "digitalSignature,keyCertSign", "codeSigning"}},
    };
    for (const auto& [what, spec] : leaves) {
      refused.emplace_back(what, signedBy(testing::issue(spec, anchor_.get())));
    }
    refused.insert(
        refused.end(),
        {{"issuer that is no CA", signedBy(testing::issue(testing::leafSpec(), &notCaIssuer))},
         {"issuer limited to TLS", signedBy(testing::issue(testing::leafSpec(), &tlsIssuer))},
         {"the anchor itself", signedBy(*anchor_)}});
  }
  for (const auto& [name, executable] : refused) EXPECT_FALSE(trusted(executable)) << name;
}

// This test program is signed by the build like the helper is, which may
// connect to itself; what is no connected socket is never trusted.
TEST_F(PeerValidationTest, TheHelperMayConnectToItselfAndNoSocketIsTrusted) {
  base::UniqueFd client = listener_.connectSelf();
  base::UniqueFd accepted = listener_.accept();
  ASSERT_TRUE(accepted.valid());
  EXPECT_TRUE(peerIsTrusted(accepted.get()));
  EXPECT_EQ(peerProcessIdentifier(accepted.get()), ::getpid());
  EXPECT_FALSE(peerIsTrusted(-1));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  base::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  EXPECT_FALSE(peerIsTrusted(readEnd.get()));
  EXPECT_FALSE(peerProcessIdentifier(readEnd.get()));
}

}  // namespace
}  // namespace zefra::xpc
