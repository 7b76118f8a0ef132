// Signature blocks as this code and zefra-codesign write and read them, the
// trust anchor and requirement they are checked under, and sealed bundles.
#include "codesign/signature_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "codesign/bundle_check.h"
#include "codesign/cms_shape.h"
#include "codesign/signing.h"
#include "codesign/verify.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"

namespace zefra::codesign {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUpdateRequirement =
    R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")";

using testing::Credential;
using testing::testPki;

class SignedFileTest : public ::testing::Test {
 protected:
  std::string signedPeer(const Credential& signer = testPki().leaf) {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, path_, signer, "com.ovak.zefra.test");
  }
  static bool verifies(const SignedImage& image) {
    return verifySignedImage(image, testPki().root.anchor(), VerifyOptions::forPeers()).ok();
  }
  Result<SigningInfo> verify(VerifyOptions options = VerifyOptions::forPeers()) {
    return verifyExecutable(path_, testPki().root.anchor(), options);
  }
  SignedImage image() {
    return readSignedImage(UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC)).get()).value();
  }

  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  testing::TempDir dir_;
  const std::string path_ = dir_.path() + "/peer";
};

TEST_F(SignedFileTest, RefusesAnythingOffTheFormat) {
  const std::string good = encodePayload({"com.ovak.zefra.client", 0x0102030405, {}, {}});
  ASSERT_TRUE(decodePayload(good));
  auto altered = [&](std::size_t at, char c) { return std::string(good).replace(at, 1, 1, c); };
  // Tag, version, flags (unknown; seal without one), identifier length
  // (short: a byte after it; long), cut short, identifier characters.
  for (const std::string& bytes : {altered(0, 'X'), altered(9, 2), altered(11, 2), altered(11, 1),
                                   altered(good.size() - 22, 20), altered(good.size() - 22, 22),
                                   good.substr(0, 40), altered(good.size() - 1, '/')}) {
    EXPECT_FALSE(decodePayload(bytes)) << ::testing::PrintToString(bytes);
  }
}

std::string trailer(std::uint32_t payload, std::uint32_t cms, char version = 1, char reserved = 0) {
  std::string tail =
      buildBlock(std::string(payload, 'p'), std::string(cms, 'c')).substr(payload + cms);
  tail[11] = version;
  tail[15] = reserved;
  return tail;
}

TEST_F(SignedFileTest, LocatesTheBlockAndRefusesAMagicWhoseBlockDoesNotFit) {
  EXPECT_FALSE(parseTrailer(std::string(kTrailerSize, 'x'), 1000).value()) << "no magic, no block";
  EXPECT_EQ(parseTrailer(trailer(60, 900), 5000).value().value().codeLength,
            5000u - 60 - 900 - kTrailerSize);
  EXPECT_TRUE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize)) << "exactly the file";

  EXPECT_FALSE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize - 1)) << "larger than file";
  EXPECT_FALSE(parseTrailer(trailer(0, 900), 5000)) << "no payload";
  EXPECT_FALSE(parseTrailer(trailer(60, 0), 5000)) << "no CMS";
  EXPECT_FALSE(parseTrailer(trailer(kMaxPayloadSize + 1, 900), 1 << 30)) << "payload too long";
  EXPECT_FALSE(parseTrailer(trailer(60, kMaxCmsSize + 1), 1 << 30)) << "CMS too long";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 2), 5000)) << "next version";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 1, 1), 5000)) << "reserved field";
  EXPECT_FALSE(parseTrailer(std::string(kSignatureMagic), 5000)) << "magic alone";
  // SEQUENCE with a two-byte length form for 5 bytes of content.
  EXPECT_FALSE(checkCmsShape(std::string("\x30\x81\x05\x02\x01\x01\x05\x00", 8)));
}

// Signed by this code, then by zefra-codesign as a user runs it, step by
// step. The build signs its bundle with the tool, so the tool's last step
// covers signing bundles.
TEST_F(SignedFileTest, SignedCopyVerifiesResignsInPlaceAndTheToolDoesAlike) {
  // The team read is the requirement's to judge (the bundle tests below).
  signedPeer();
  ASSERT_EQ(::chmod(path_.c_str(), 0750), 0);
  ASSERT_TRUE(signExecutable(path_, testPki().leaf.identity(), "com.ovak.zefra.other"));
  EXPECT_EQ(image().codeLength, program_.size()) << "one block, not two";
  EXPECT_EQ(verify()->identifier, "com.ovak.zefra.other");
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0750));
  // The hash covers the code from its first byte (peers check the last).
  testing::damage(path_, 0);
  EXPECT_FALSE(verify());
  testing::writeFile(path_, program_);
  EXPECT_EQ(verify().error().message, "code is not signed");

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"sign", "--key", ZEFRA_TEST_SIGNING_KEY, "--cert", ZEFRA_TEST_SIGNING_CHAIN,
            "--identifier", "com.ovak.zefra.client", path_},
           {"verify", "--identifier", "com.ovak.zefra.client", "--team", "K4T9QZ2M7B", "--anchor",
            ZEFRA_TEST_ANCHOR_FILE, path_},
           {"verify", "--requirement", kUpdateRequirement, ZEFRA_TEST_BUNDLE_DIR}}) {
    args.insert(args.begin(), ZEFRA_TEST_CODESIGN_TOOL);
    std::string output;
    EXPECT_EQ(testing::run(args, &output), 0) << args[1] << ": " << output;
  }
  EXPECT_NE(testing::run({ZEFRA_TEST_CODESIGN_TOOL, "verify", "--team", "k4t9qz2m7b", path_}), 0);
}

TEST_F(SignedFileTest, EveryByteBeforeTheTrailerIsCovered) {
  const Credential rsaLeaf = testing::issue({.rsa = true}, &testPki().root);
  for (const Credential* signer : {&rsaLeaf, &testPki().leaf}) {
    signedPeer(*signer);
    SignedImage original = image();
    ASSERT_TRUE(verifies(original));
    // Besides single bits: 0x20 turns letter case (OpenSSL compares names
    // folded), 0x0a turns rsaEncryption into sha256WithRSAEncryption.
    for (std::uint8_t mask : {0x01, 0x0a, 0x20, 0xff}) {
      for (std::size_t i = 0; i < original.payload.size() + original.cms.size(); ++i) {
        SignedImage changed = original;
        std::size_t inPayload = original.payload.size();
        (i < inPayload ? changed.payload[i] : changed.cms[i - inPayload]) ^= char(mask);
        EXPECT_FALSE(verifies(changed)) << "block byte " << i << " xor " << int(mask);
      }
    }
  }
}

// A CMS built with OpenSSL directly, in shapes the signer never writes.
std::string makeCms(const std::string& payload, std::vector<const Credential*> signers,
                    unsigned flags, const EVP_MD* digest = EVP_sha256(), X509* extra = nullptr) {
  ossl::CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
  for (const Credential* signer : signers) {
    CMS_add1_signer(cms.get(), signer->cert(), signer->key.get(), digest, flags);
  }
  if (extra) CMS_add1_cert(cms.get(), extra);
  ossl::BioPtr content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
  CMS_final(cms.get(), content.get(), nullptr, flags);
  std::string der(static_cast<std::size_t>(i2d_CMS_ContentInfo(cms.get(), nullptr)), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_CMS_ContentInfo(cms.get(), &out);
  return der;
}

TEST_F(SignedFileTest, RefusesCmsOfAnyOtherShape) {
  signedPeer();
  const SignedImage original = image();
  auto verifiesWith = [&](std::string cms) {
    SignedImage changed = original;
    changed.cms = std::move(cms);
    return verifies(changed);
  };
  constexpr unsigned kDetached = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
  const std::string& payload = original.payload;
  const Credential* leaf = &testPki().leaf;
  ASSERT_TRUE(verifiesWith(makeCms(payload, {leaf}, kDetached))) << "the control case";

  Credential second = testing::issue({}, &testPki().root);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"two signers", makeCms(payload, {leaf, &second}, kDetached)},
      {"content inside", makeCms(payload, {leaf}, CMS_BINARY | CMS_NOSMIMECAP)},
      {"SHA-384", makeCms(payload, {leaf}, kDetached, EVP_sha384())},
      {"no signed attributes", makeCms(payload, {leaf}, kDetached | CMS_NOATTR)},
      {"no signer certificate", makeCms(payload, {leaf}, kDetached | CMS_NOCERTS)},
      {"extra certificate", makeCms(payload, {leaf}, kDetached, EVP_sha256(), second.cert())},
      {"trailing byte", original.cms + std::string(1, '\0')},
  };
  for (const auto& [name, cms] : cases) EXPECT_FALSE(verifiesWith(cms)) << name;
}

TEST_F(SignedFileTest, NoSystemStoreOrEnvironmentWidensTheTrust) {
  Credential otherRoot = testing::issue(testing::caSpec("Environment Root"));
  // A file, and one folder under the name OpenSSL looks a subject up by.
  char hashed[16];
  std::snprintf(hashed, sizeof hashed, "/%08lx.0", X509_subject_name_hash(otherRoot.cert()));
  testing::writeFile(dir_.path() + hashed, otherRoot.certPem(), 0644);
  ::setenv("SSL_CERT_FILE", (dir_.path() + hashed).c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);
  signedPeer(testing::issue({}, &otherRoot));
  EXPECT_FALSE(verify());
  for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR"}) ::unsetenv(name);
}

// A certificate valid now passes the updates' check: every bundle test.
TEST_F(SignedFileTest, PeersIgnoreValidityTimeAndUpdatesCheckIt) {
  for (long start : {-30L * 86400, 86400L}) {  // expired, not yet valid
    const testing::CertSpec spec{.notBeforeSeconds = start, .notAfterSeconds = start + 29 * 86400};
    signedPeer(testing::issue(spec, &testPki().root));
    EXPECT_TRUE(verify(VerifyOptions::forPeers())) << start;
    EXPECT_FALSE(verify(VerifyOptions::forUpdates())) << start;
  }
}

// A self-signed CA is taken: testPki().root.anchor() in every test here.
TEST(TrustAnchorTest, IsExactlyOneSelfSignedCa) {
  const Credential& root = testPki().root;
  EXPECT_FALSE(TrustAnchor::fromPem(root.certPem() + root.certPem())) << "two";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue(testing::caSpec("Sub"), &root).certPem()))
      << "not self-signed";
  EXPECT_FALSE(TrustAnchor::fromPem(testing::issue({}).certPem())) << "no CA";
}

// What the update requirement's clauses read as is proved where an install
// applies it: install_update_test refuses another team and installs this one.
TEST(RequirementTest, ParsesTheRequirementLanguageAndNothingElse) {
  EXPECT_FALSE(parseRequirement("anchor apple generic")->teamIdentifier);
  for (const char* text : {R"(identifier "com.ovak.zefra.helper")", "anchor apple generic and",
                           "anchor apple generic or identifier x",
                           R"(anchor apple generic and identifier "a" and identifier "b")",
                           R"(anchor apple generic and certificate leaf[subject.CN] = "x")"}) {
    EXPECT_FALSE(parseRequirement(text)) << text;
  }
}

// Each test has a bundle laid out as the build makes them, in a fresh place.
class CodeVerifyTest : public SignedFileTest {
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
  std::string at(const std::string& relative) const { return bundle_ + "/" + relative; }

  static inline const CodeRequirement kRequirement{"com.ovak.zefra.helper", testing::kTeam};
  static constexpr const char* kUnit = "Contents/Resources/unit.service";
  static constexpr const char* kLink = "Contents/Resources/link";
  std::string bundle_;
  int copies_ = 0;
};

// Another team than the requirement's is refused as the install refuses it
// (install_update_test).
TEST_F(CodeVerifyTest, SignedBundleVerifiesUnderItsRequirementOnly) {
  ASSERT_TRUE(sign());
  // A group-writable file (another umask at unpacking) keeps the seal.
  ASSERT_EQ(::chmod(at(kUnit).c_str(), 0664), 0);
  ASSERT_TRUE(verify()) << verify().error().message;

  EXPECT_FALSE(verify({"com.ovak.zefra.other", testing::kTeam}));
  EXPECT_FALSE(verify(kRequirement, testing::issue(testing::caSpec("Other Root"))));
}

TEST_F(CodeVerifyTest, AnyChangeAfterSigningBreaksTheSeal) {
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"file added", [&] { testing::writeFile(at("Contents/Resources/extra"), "x", 0644); }},
      {"file changed", [&] { testing::writeFile(at(kUnit), "[Unit]\r\n", 0644); }},
      {"execute bit",
       [&] { fs::permissions(at(kUnit), fs::perms::owner_exec, fs::perm_options::add); }},
      {"link made a file", [&] { testing::writeFile(at(kLink), "[Unit]\n"); }},
      {"empty directory added", [&] { fs::create_directory(at("Contents/Resources/more")); }},
      {"main executable signed alone",
       [&] {
         (void)signExecutable(at("Contents/Linux/zefra-helper"), testPki().leaf.identity(),
                              "com.ovak.zefra.helper");
       }},
  };
  for (const auto& [name, change] : changes) {
    SetUp();
    ASSERT_TRUE(sign() && verify()) << name;
    change();
    EXPECT_FALSE(verify()) << name;
  }
}

TEST_F(CodeVerifyTest, NestedSignedCodeMustVerifyToo) {
  // The seal is made over the changed tool, so only its own signature can
  // catch it.
  testing::damage(at("Contents/Linux/tool"), 100);
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify()) << "damaged";
  SetUp();
  signTool(testing::issue({.units = {"Z9Z9Z9Z9Z9"}}, &testPki().root));
  ASSERT_TRUE(sign());
  EXPECT_FALSE(verify()) << "another team";
}

}  // namespace
}  // namespace zefra::codesign
