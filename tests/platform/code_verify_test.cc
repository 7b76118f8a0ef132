#include "platform/code_verify.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <functional>

#include "platform/code_sign.h"
#include "platform/codesign_fixture.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

using testing::CertSpec;
using testing::Credential;
namespace fs = std::filesystem;

class CodeVerifyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<Credential>(testing::issue(testing::caSpec("Verify Test Root")));
  }
  static void TearDownTestSuite() { root_.reset(); }

  static Credential leafUnderRoot(CertSpec spec = testing::leafSpec()) {
    return testing::issue(spec, root_.get());
  }
  static CertSpec validBetween(long notBefore, long notAfter) {
    CertSpec spec = testing::leafSpec();
    spec.notBeforeSeconds = notBefore;
    spec.notAfterSeconds = notAfter;
    return spec;
  }
  Result<SigningInfo> signAndVerify(const Credential& signer,
                                    VerifyOptions options = VerifyOptions::forPeers()) {
    std::string path = testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, dir_.path() + "/peer", signer,
                                           "com.ovak.zefra.test");
    return verifyExecutable(path, root_->anchor(), options);
  }

  static inline std::unique_ptr<Credential> root_;
  testing::TempDir dir_;
};

TEST_F(CodeVerifyTest, AcceptsALeafUnderTheAnchorThroughIntermediates) {
  Credential first = testing::issue(testing::caSpec("First Intermediate"), root_.get());
  Credential second = testing::issue(testing::caSpec("Second Intermediate"), &first);
  auto deep = signAndVerify(testing::issue(testing::leafSpec(), &second));
  ASSERT_TRUE(deep) << deep.error().message;
  EXPECT_EQ(deep->teamIdentifier, testing::kTeam);
  EXPECT_EQ(deep->chainSubjects,
            (std::vector<std::string>{"CN=Zefra Tests Code Signing,OU=K4T9QZ2M7B,O=Zefra Tests",
                                      "CN=Second Intermediate,O=Zefra Tests",
                                      "CN=First Intermediate,O=Zefra Tests",
                                      "CN=Verify Test Root,O=Zefra Tests"}));
}

TEST_F(CodeVerifyTest, PeersIgnoreValidityTimeAndUpdatesCheckIt) {
  for (auto [notBefore, notAfter] : {std::pair{-30L * 86400, -86400L}, {86400L, 30L * 86400}}) {
    Credential signer = leafUnderRoot(validBetween(notBefore, notAfter));
    EXPECT_TRUE(signAndVerify(signer, VerifyOptions::forPeers())) << notBefore;
    EXPECT_FALSE(signAndVerify(signer, VerifyOptions::forUpdates())) << notBefore;
  }
  Credential current = leafUnderRoot();
  EXPECT_TRUE(signAndVerify(current, VerifyOptions::forUpdates()));
  std::int64_t now = std::time(nullptr);
  EXPECT_TRUE(signAndVerify(current, VerifyOptions::at(now + 86400)));
  EXPECT_FALSE(signAndVerify(current, VerifyOptions::at(now + 400L * 86400)));
}

TEST_F(CodeVerifyTest, NoSystemStoreOrEnvironmentWidensTheTrust) {
  Credential otherRoot = testing::issue(testing::caSpec("Environment Root"));
  testing::writeFile(dir_.path() + "/ca.pem", otherRoot.certPem(), 0644);
  ::setenv("SSL_CERT_FILE", (dir_.path() + "/ca.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);
  auto info = signAndVerify(testing::issue(testing::leafSpec(), &otherRoot));
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");
  EXPECT_FALSE(info);
}

TEST(TrustAnchor, IsExactlyOneSelfSignedCa) {
  Credential root = testing::issue(testing::caSpec("Anchor Root"));
  EXPECT_TRUE(TrustAnchor::fromPem(root.certPem()));
  EXPECT_FALSE(TrustAnchor::fromPem(""));
  EXPECT_FALSE(
      TrustAnchor::fromPem("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"));
  EXPECT_FALSE(TrustAnchor::fromPem(root.certPem() + root.certPem())) << "two";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::caSpec("Sub"), &root).certPem()))
      << "not self-signed";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::leafSpec()).certPem())) << "no CA";
}

TEST(CodeRequirement, ParsesTheRequirementLanguageAndNothingElse) {
  auto requirement = parseRequirement(
      R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")");
  ASSERT_TRUE(requirement) << requirement.error().message;
  EXPECT_EQ(requirement->identifier, "com.ovak.zefra.helper");
  EXPECT_EQ(requirement->teamIdentifier, "K4T9QZ2M7B");
  auto anchorOnly = parseRequirement("anchor apple generic");
  ASSERT_TRUE(anchorOnly);
  EXPECT_FALSE(anchorOnly->identifier || anchorOnly->teamIdentifier);
  EXPECT_EQ(parseRequirement("identifier com.x and anchor apple generic")->identifier, "com.x");

  for (const char* text : {
           "",
           R"(identifier "com.ovak.zefra.helper")",  // no anchor
           "anchor apple",
           "anchor apple generic and",
           "anchor apple generic or identifier x",
           "anchor apple generic and anchor apple generic",
           R"(anchor apple generic and identifier "a" and identifier "b")",
           R"(anchor apple generic and identifier "unterminated)",
           R"(anchor apple generic and identifier "a\"b")",
           R"(anchor apple generic and certificate leaf[subject.CN] = "x")",
           R"(anchor apple generic and certificate leaf[subject.OU] = x)",
           "anchor trusted",
       }) {
    EXPECT_FALSE(parseRequirement(text)) << text;
  }
}

// Bundles laid out as the build makes them, each in a fresh place.
class BundleTest : public CodeVerifyTest {
 protected:
  void SetUp() override {
    bundle_ = dir_.path() + "/copy" + std::to_string(++copies_) + "/Zefra Helper.app";
    fs::create_directories(at("Contents/Linux"));
    fs::create_directories(at("Contents/Resources/empty"));
    testing::writeFile(at("Contents/Info.json"), info("1"), 0644);
    testing::writeFile(at("Contents/Linux/zefra-helper"), program_);
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, at("Contents/Linux/tool"), signer_,
                        "com.ovak.zefra.tool");
    testing::writeFile(at("Contents/Resources/unit.service"), "[Unit]\n", 0644);
    fs::create_symlink("unit.service", at("Contents/Resources/link"));
  }
  Status sign() { return signBundle(bundle_, signer_.identity(), "com.ovak.zefra.helper"); }
  Result<SigningInfo> verify(const CodeRequirement& requirement = kRequirement,
                             VerifyOptions options = VerifyOptions::forUpdates()) {
    return verifyBundle(bundle_, requirement, root_->anchor(), options);
  }
  std::string at(const std::string& relative) const { return bundle_ + "/" + relative; }
  static std::string info(const std::string& version) {
    return R"({"CFBundleExecutable": "zefra-helper", "CFBundleVersion": ")" + version + "\"}";
  }

  static inline const CodeRequirement kRequirement{"com.ovak.zefra.helper", testing::kTeam};
  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  Credential signer_ = leafUnderRoot();
  std::string bundle_;
  int copies_ = 0;
};

TEST_F(BundleTest, SignedBundleVerifiesUnderItsRequirementOnly) {
  ASSERT_TRUE(sign());
  auto info = verify();
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.helper");
  EXPECT_TRUE(info->resourceSeal);
  // A group-writable file (another umask at unpacking) keeps the seal.
  ASSERT_EQ(::chmod(at("Contents/Resources/unit.service").c_str(), 0664), 0);
  EXPECT_TRUE(verify());

  EXPECT_FALSE(verify({"com.ovak.zefra.other", testing::kTeam}));
  EXPECT_FALSE(verify({"com.ovak.zefra.helper", "Z9Z9Z9Z9Z9"}));
  Credential otherRoot = testing::issue(testing::caSpec("Other Root"));
  EXPECT_FALSE(
      verifyBundle(bundle_, kRequirement, otherRoot.anchor(), VerifyOptions::forUpdates()));
}

TEST_F(BundleTest, AnyChangeToTheFilesBreaksTheSeal) {
  const std::string unit = "Contents/Resources/unit.service", link = "Contents/Resources/link";
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"file added", [&] { testing::writeFile(at("Contents/Resources/extra"), "x", 0644); }},
      {"file missing", [&] { fs::remove(at(unit)); }},
      {"file changed", [&] { testing::writeFile(at(unit), "[Unit]\r\n", 0644); }},
      {"file renamed", [&] { fs::rename(at(unit), at("Contents/Resources/unit.socket")); }},
      {"execute bit",
       [&] { fs::permissions(at(unit), fs::perms::owner_exec, fs::perm_options::add); }},
      {"link retargeted",
       [&] {
         fs::remove(at(link));
         fs::create_symlink("../Info.json", at(link));
       }},
      {"link made a file",
       [&] {
         fs::remove(at(link));
         testing::writeFile(at(link), "[Unit]\n", 0644);
       }},
      {"empty directory added", [&] { fs::create_directory(at("Contents/Resources/more")); }},
      {"empty directory removed", [&] { fs::remove(at("Contents/Resources/empty")); }},
      {"info changed", [&] { testing::writeFile(at("Contents/Info.json"), info("2"), 0644); }},
  };
  for (const auto& [name, change] : changes) {
    SetUp();
    ASSERT_TRUE(sign());
    ASSERT_TRUE(verify()) << name;
    change();
    EXPECT_FALSE(verify()) << name;
  }
}

TEST_F(BundleTest, NestedSignedCodeMustVerifyToo) {
  // The seal is made over the damaged tool, so only the tool's own
  // signature can catch it.
  std::string tool = testing::readFile(at("Contents/Linux/tool"));
  tool[100] ^= 1;
  testing::writeFile(at("Contents/Linux/tool"), tool);
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify());

  SetUp();
  Credential otherTeam = leafUnderRoot(testing::leafSpec({"Z9Z9Z9Z9Z9"}));
  testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, at("Contents/Linux/tool"), otherTeam, "com.x");
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify()) << "nested code of another team";
}

TEST_F(BundleTest, TheMainExecutableMustBeSealedAndWhereInfoSays) {
  ASSERT_TRUE(signExecutable(at("Contents/Linux/zefra-helper"), signer_.identity(),
                             "com.ovak.zefra.helper"));
  EXPECT_FALSE(verify()) << "signed without a seal";

  for (const char* name : {"../Info.json", "", "missing"}) {
    SetUp();
    testing::writeFile(at("Contents/Info.json"),
                       std::string(R"({"CFBundleExecutable": ")") + name + R"("})", 0644);
    EXPECT_FALSE(sign()) << name;
  }
  SetUp();
  fs::rename(at("Contents/Linux/zefra-helper"), at("Contents/Linux/real"));
  fs::create_symlink("real", at("Contents/Linux/zefra-helper"));
  EXPECT_FALSE(sign()) << "symlinked main executable";
}

TEST_F(BundleTest, UpdatesSignedByAnExpiredCertificateAreRefused) {
  signer_ = leafUnderRoot(validBetween(-30L * 86400, -86400));
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify(kRequirement, VerifyOptions::forUpdates()));
  EXPECT_TRUE(verify(kRequirement, VerifyOptions::forPeers()));
}

}  // namespace
}  // namespace zefra::platform
