#include "codesign/verify.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>

#include "codesign/bundle_check.h"
#include "codesign/signing.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"

namespace zefra::codesign {
namespace {

using testing::CertSpec;
using testing::Credential;
using testing::testPki;
namespace fs = std::filesystem;

// Each test has a bundle laid out as the build makes them, in a fresh place.
class CodeVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = dir_.path() + "/copy" + std::to_string(++copies_) + "/Zefra Helper.app";
    fs::create_directories(at("Contents/Linux"));
    fs::create_directories(at("Contents/Resources/empty"));
    testing::writeFile(at("Contents/Info.json"), R"({"CFBundleExecutable": "zefra-helper"})", 0644);
    testing::writeFile(at("Contents/Linux/zefra-helper"), program_);
    signTool(testPki().leaf);
    testing::writeFile(at(kUnit), "[Unit]\n", 0644);
    fs::create_symlink("unit.service", at(kLink));
  }
  void signTool(const Credential& signer) {
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, at("Contents/Linux/tool"), signer,
                        "com.ovak.zefra.tool");
  }
  Status sign() { return signBundle(bundle_, testPki().leaf.identity(), "com.ovak.zefra.helper"); }
  Result<SigningInfo> verify(const CodeRequirement& requirement = kRequirement,
                             const Credential& anchor = testPki().root) {
    return verifyBundle(bundle_, requirement, anchor.anchor(), VerifyOptions::forUpdates());
  }
  Result<SigningInfo> signAndVerify(const Credential& signer,
                                    VerifyOptions options = VerifyOptions::forPeers()) {
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, dir_.path() + "/peer", signer, "com.x");
    return verifyExecutable(dir_.path() + "/peer", testPki().root.anchor(), options);
  }
  std::string at(const std::string& relative) const { return bundle_ + "/" + relative; }

  static inline const CodeRequirement kRequirement{"com.ovak.zefra.helper", testing::kTeam};
  static constexpr const char* kUnit = "Contents/Resources/unit.service";
  static constexpr const char* kLink = "Contents/Resources/link";
  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  testing::TempDir dir_;
  std::string bundle_;
  int copies_ = 0;
};

TEST_F(CodeVerifyTest, NoSystemStoreOrEnvironmentWidensTheTrust) {
  Credential otherRoot = testing::issue(testing::caSpec("Environment Root"));
  testing::writeFile(dir_.path() + "/ca.pem", otherRoot.certPem(), 0644);
  ::setenv("SSL_CERT_FILE", (dir_.path() + "/ca.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);
  auto other = signAndVerify(testing::issue(testing::leafSpec(), &otherRoot));
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");
  EXPECT_FALSE(other);
}

TEST_F(CodeVerifyTest, PeersIgnoreValidityTimeAndUpdatesCheckIt) {
  for (long start : {-30L * 86400, 86400L}) {  // expired, not yet valid
    CertSpec spec = testing::leafSpec();
    spec.notBeforeSeconds = start;
    spec.notAfterSeconds = start + 29L * 86400;
    Credential signer = testing::issue(spec, &testPki().root);
    EXPECT_TRUE(signAndVerify(signer, VerifyOptions::forPeers())) << start;
    EXPECT_FALSE(signAndVerify(signer, VerifyOptions::forUpdates())) << start;
  }
  EXPECT_TRUE(signAndVerify(testPki().leaf, VerifyOptions::forUpdates()));
}

TEST_F(CodeVerifyTest, IsExactlyOneSelfSignedCa) {
  const Credential& root = testPki().root;
  EXPECT_TRUE(TrustAnchor::fromPem(root.certPem()));
  EXPECT_FALSE(TrustAnchor::fromPem(root.certPem() + root.certPem())) << "two";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::caSpec("Sub"), &root).certPem()))
      << "not self-signed";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::leafSpec()).certPem())) << "no CA";
}

TEST_F(CodeVerifyTest, ParsesTheRequirementLanguageAndNothingElse) {
  auto requirement = parseRequirement(
      R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")");
  ASSERT_TRUE(requirement) << requirement.error().message;
  EXPECT_EQ(requirement->identifier, "com.ovak.zefra.helper");
  EXPECT_EQ(requirement->teamIdentifier, "K4T9QZ2M7B");
  EXPECT_FALSE(parseRequirement("anchor apple generic")->teamIdentifier);
  for (const char* text : {R"(identifier "com.ovak.zefra.helper")", "anchor apple generic and",
                           "anchor apple generic or identifier x",
                           R"(anchor apple generic and identifier "a" and identifier "b")",
                           R"(anchor apple generic and certificate leaf[subject.CN] = "x")"}) {
    EXPECT_FALSE(parseRequirement(text)) << text;
  }
}

TEST_F(CodeVerifyTest, SignedBundleVerifiesUnderItsRequirementOnly) {
  ASSERT_TRUE(sign());
  auto info = verify();
  ASSERT_TRUE(info) << info.error().message;
  // A group-writable file (another umask at unpacking) keeps the seal.
  ASSERT_EQ(::chmod(at(kUnit).c_str(), 0664), 0);
  EXPECT_TRUE(verify());

  EXPECT_FALSE(verify({"com.ovak.zefra.other", testing::kTeam}));
  EXPECT_FALSE(verify({"com.ovak.zefra.helper", "Z9Z9Z9Z9Z9"}));
  EXPECT_FALSE(verify(kRequirement, testing::issue(testing::caSpec("Other Root"))));
}

TEST_F(CodeVerifyTest, AnyChangeAfterSigningBreaksTheSeal) {
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"file added", [&] { testing::writeFile(at("Contents/Resources/extra"), "x", 0644); }},
      {"file missing", [&] { fs::remove(at(kUnit)); }},
      {"file changed", [&] { testing::writeFile(at(kUnit), "[Unit]\r\n", 0644); }},
      {"execute bit",
       [&] { fs::permissions(at(kUnit), fs::perms::owner_exec, fs::perm_options::add); }},
      {"link made a file",
       [&] {
         fs::remove(at(kLink));
         testing::writeFile(at(kLink), "[Unit]\n", 0644);
       }},
      {"empty directory added", [&] { fs::create_directory(at("Contents/Resources/more")); }},
      {"empty directory removed", [&] { fs::remove(at("Contents/Resources/empty")); }},
      {"main executable signed alone",
       [&] {
         (void)signExecutable(at("Contents/Linux/zefra-helper"), testPki().leaf.identity(),
                              "com.ovak.zefra.helper");
       }},
  };
  for (const auto& [name, change] : changes) {
    SetUp();
    ASSERT_TRUE(sign());
    ASSERT_TRUE(verify()) << name;
    change();
    EXPECT_FALSE(verify()) << name;
  }
}

TEST_F(CodeVerifyTest, NestedSignedCodeMustVerifyToo) {
  // The seal is made over the changed tool, so only its own signature can
  // catch it.
  std::string damaged = testing::readFile(at("Contents/Linux/tool"));
  damaged[100] ^= 1;
  testing::writeFile(at("Contents/Linux/tool"), damaged);
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify()) << "damaged";
  SetUp();
  signTool(testing::issue(testing::leafSpec({"Z9Z9Z9Z9Z9"}), &testPki().root));
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify()) << "another team";
}

}  // namespace
}  // namespace zefra::codesign
