#include "platform/code_verify.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>

#include "platform/code_sign.h"
#include "platform/codesign_fixture.h"

namespace zefra::platform {
namespace {

using testing::CertSpec;
using testing::Credential;
using testing::TempDir;

class CodeVerifyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<Credential>(testing::issue(testing::caSpec("Verify Test Root")));
  }
  static void TearDownTestSuite() { root_.reset(); }

  Credential leafUnderRoot(CertSpec spec = testing::leafSpec()) {
    return testing::issue(spec, root_.get());
  }
  Result<SigningInfo> signAndVerify(const Credential& signer,
                                    VerifyOptions options = VerifyOptions::forPeers()) {
    std::string path = dir_ / "peer";
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, path, signer, "com.ovak.zefra.test");
    return verifyExecutable(path, root_->anchor(), options);
  }

  static inline std::unique_ptr<Credential> root_;
  TempDir dir_;
};

TEST_F(CodeVerifyTest, AcceptsALeafUnderTheAnchorDirectlyOrThroughIntermediates) {
  auto direct = signAndVerify(leafUnderRoot());
  ASSERT_TRUE(direct) << direct.error().message;
  EXPECT_EQ(direct->teamIdentifier, testing::kTeam);

  Credential first = testing::issue(testing::caSpec("First Intermediate"), root_.get());
  Credential second = testing::issue(testing::caSpec("Second Intermediate"), &first);
  auto deep = signAndVerify(testing::issue(testing::leafSpec(), &second));
  ASSERT_TRUE(deep) << deep.error().message;
  EXPECT_EQ(deep->chainSubjects,
            (std::vector<std::string>{"CN=Zefra Tests Code Signing,OU=K4T9QZ2M7B,O=Zefra Tests",
                                      "CN=Second Intermediate,O=Zefra Tests",
                                      "CN=First Intermediate,O=Zefra Tests",
                                      "CN=Verify Test Root,O=Zefra Tests"}));
}

TEST_F(CodeVerifyTest, PeersIgnoreValidityTimeAndUpdatesCheckIt) {
  const std::vector<std::pair<const char*, std::pair<long, long>>> windows = {
      {"expired", {-30L * 86400, -86400}},
      {"not yet valid", {86400, 30L * 86400}},
  };
  for (const auto& [name, window] : windows) {
    CertSpec spec = testing::leafSpec();
    spec.notBeforeSeconds = window.first;
    spec.notAfterSeconds = window.second;
    Credential signer = leafUnderRoot(spec);
    EXPECT_TRUE(signAndVerify(signer, VerifyOptions::forPeers())) << name;
    EXPECT_FALSE(signAndVerify(signer, VerifyOptions::forUpdates())) << name;
  }
  Credential current = leafUnderRoot();
  EXPECT_TRUE(signAndVerify(current, VerifyOptions::forUpdates()));
  std::int64_t now = std::time(nullptr);
  EXPECT_TRUE(signAndVerify(current, VerifyOptions::at(now + 86400)));
  EXPECT_FALSE(signAndVerify(current, VerifyOptions::at(now + 400L * 86400)));
}

TEST_F(CodeVerifyTest, NoSystemStoreOrEnvironmentWidensTheTrust) {
  Credential otherRoot = testing::issue(testing::caSpec("Environment Root"));
  std::string caFile = dir_ / "ca.pem";
  testing::writeFile(caFile, otherRoot.certPem(), 0644);
  ::setenv("SSL_CERT_FILE", caFile.c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);
  auto info = signAndVerify(testing::issue(testing::leafSpec(), &otherRoot));
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");
  EXPECT_FALSE(info);
}

TEST(TrustAnchor, IsExactlyOneSelfSignedCa) {
  Credential root = testing::issue(testing::caSpec("Anchor Root"));
  Credential intermediate = testing::issue(testing::caSpec("Anchor Intermediate"), &root);
  EXPECT_TRUE(TrustAnchor::fromPem(root.certPem()));
  EXPECT_FALSE(TrustAnchor::fromPem(""));
  EXPECT_FALSE(
      TrustAnchor::fromPem("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"));
  EXPECT_FALSE(TrustAnchor::fromPem(root.certPem() + root.certPem())) << "two";
  EXPECT_FALSE(TrustAnchor::fromPem(intermediate.certPem())) << "not self-signed";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::leafSpec()).certPem())) << "no CA";
}

TEST(TrustAnchor, CompiledAnchorIsTheConfiguredOne) {
  const auto& compiled = TrustAnchor::compiled();
  ASSERT_TRUE(compiled) << compiled.error().message;
  auto configured = TrustAnchor::fromFile(ZEFRA_TEST_ANCHOR_FILE);
  ASSERT_TRUE(configured);
  EXPECT_EQ(compiled.value().subject(), configured->subject());
}

TEST(CodeRequirement, ParsesTheUpdateRequirement) {
  auto requirement = parseRequirement(
      R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")");
  ASSERT_TRUE(requirement) << requirement.error().message;
  EXPECT_EQ(requirement->identifier, "com.ovak.zefra.helper");
  EXPECT_EQ(requirement->teamIdentifier, "K4T9QZ2M7B");

  auto anchorOnly = parseRequirement("anchor apple generic");
  ASSERT_TRUE(anchorOnly);
  EXPECT_FALSE(anchorOnly->identifier);
  EXPECT_FALSE(anchorOnly->teamIdentifier);
  auto bare = parseRequirement("identifier com.x and anchor apple generic");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->identifier, "com.x");
}

TEST(CodeRequirement, AnythingElseDoesNotCompile) {
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

// Bundles laid out as the build makes them, signed under a test anchor.
class BundleTest : public CodeVerifyTest {
 protected:
  void SetUp() override {
    if (!signer_) signer_ = std::make_unique<Credential>(leafUnderRoot());
    bundle_ = dir_ / ("copy" + std::to_string(++copies_) + "/Zefra Helper.app");
    namespace fs = std::filesystem;
    fs::create_directories(bundle_ + "/Contents/Linux");
    fs::create_directories(bundle_ + "/Contents/Resources/empty");
    testing::writeFile(bundle_ + "/Contents/Info.json",
                       R"({"CFBundleExecutable": "zefra-helper", "CFBundleVersion": "1"})", 0644);
    testing::writeFile(bundle_ + "/Contents/Linux/zefra-helper",
                       testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, bundle_ + "/Contents/Linux/tool", *signer_,
                        "com.ovak.zefra.tool");
    testing::writeFile(bundle_ + "/Contents/Resources/unit.service", "[Unit]\n", 0644);
    fs::create_symlink("unit.service", bundle_ + "/Contents/Resources/link");
  }
  Status sign() { return signBundle(bundle_, signer_->identity(), "com.ovak.zefra.helper"); }
  Result<SigningInfo> verify(VerifyOptions options = VerifyOptions::forUpdates()) {
    return verifyBundle(bundle_, kRequirement, root_->anchor(), options);
  }
  std::string at(const std::string& relative) const { return bundle_ + "/" + relative; }

  static inline const CodeRequirement kRequirement{"com.ovak.zefra.helper", testing::kTeam};
  std::unique_ptr<Credential> signer_;
  std::string bundle_;
  int copies_ = 0;
};

TEST_F(BundleTest, SignedBundleVerifies) {
  ASSERT_TRUE(sign());
  auto info = verify();
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.helper");
  EXPECT_TRUE(info->resourceSeal);
  // A group-writable file (another umask at unpacking) keeps the seal.
  ASSERT_EQ(::chmod(at("Contents/Resources/unit.service").c_str(), 0664), 0);
  EXPECT_TRUE(verify());
}

TEST_F(BundleTest, AnyChangeToTheFilesBreaksTheSeal) {
  namespace fs = std::filesystem;
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"file added", [&] { testing::writeFile(at("Contents/Resources/extra"), "x", 0644); }},
      {"file removed", [&] { fs::remove(at("Contents/Resources/unit.service")); }},
      {"file changed",
       [&] { testing::writeFile(at("Contents/Resources/unit.service"), "[Unit]\r\n", 0644); }},
      {"execute bit",
       [&] {
         fs::permissions(at("Contents/Resources/unit.service"), fs::perms::owner_exec,
                         fs::perm_options::add);
       }},
      {"link retargeted",
       [&] {
         fs::remove(at("Contents/Resources/link"));
         fs::create_symlink("../Info.json", at("Contents/Resources/link"));
       }},
      {"link made a file",
       [&] {
         fs::remove(at("Contents/Resources/link"));
         testing::writeFile(at("Contents/Resources/link"), "[Unit]\n", 0644);
       }},
      {"empty directory added", [&] { fs::create_directory(at("Contents/Resources/more")); }},
      {"empty directory removed", [&] { fs::remove(at("Contents/Resources/empty")); }},
      {"info changed",
       [&] {
         testing::writeFile(at("Contents/Info.json"),
                            R"({"CFBundleExecutable": "zefra-helper", "CFBundleVersion": "2"})",
                            0644);
       }},
      {"file renamed",
       [&] {
         fs::rename(at("Contents/Resources/unit.service"), at("Contents/Resources/unit.socket"));
       }},
  };
  for (const auto& [name, change] : changes) {
    SetUp();  // a fresh bundle in a fresh place
    ASSERT_TRUE(sign());
    ASSERT_TRUE(verify()) << name;
    change();
    EXPECT_FALSE(verify()) << name;
  }
}

TEST_F(BundleTest, RequirementDecides) {
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verifyBundle(bundle_, {"com.ovak.zefra.other", testing::kTeam}, root_->anchor(),
                            VerifyOptions::forUpdates()));
  EXPECT_FALSE(verifyBundle(bundle_, {"com.ovak.zefra.helper", "Z9Z9Z9Z9Z9"}, root_->anchor(),
                            VerifyOptions::forUpdates()));
  Credential otherRoot = testing::issue(testing::caSpec("Other Root"));
  EXPECT_FALSE(
      verifyBundle(bundle_, kRequirement, otherRoot.anchor(), VerifyOptions::forUpdates()));
}

TEST_F(BundleTest, UpdatesSignedByAnExpiredCertificateAreRefused) {
  CertSpec expired = testing::leafSpec();
  expired.notBeforeSeconds = -30L * 86400;
  expired.notAfterSeconds = -86400;
  signer_ = std::make_unique<Credential>(leafUnderRoot(expired));
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify(VerifyOptions::forUpdates()));
  EXPECT_TRUE(verify(VerifyOptions::forPeers()));
}

TEST_F(BundleTest, NestedSignedCodeMustVerifyToo) {
  // The seal is re-made over the damaged tool, so only the tool's own
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
  ASSERT_TRUE(signExecutable(at("Contents/Linux/zefra-helper"), signer_->identity(),
                             "com.ovak.zefra.helper"));
  EXPECT_FALSE(verify()) << "signed without a seal";

  for (const char* name : {"../Info.json", "", "missing"}) {
    SetUp();
    testing::writeFile(at("Contents/Info.json"),
                       std::string(R"({"CFBundleExecutable": ")") + name + R"("})", 0644);
    EXPECT_FALSE(sign()) << name;
  }

  SetUp();
  std::filesystem::rename(at("Contents/Linux/zefra-helper"), at("Contents/Linux/real"));
  std::filesystem::create_symlink("real", at("Contents/Linux/zefra-helper"));
  EXPECT_FALSE(sign()) << "symlinked main executable";
}

}  // namespace
}  // namespace zefra::platform
