#include "platform/code_signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>

#include "platform/cms_shape.h"
#include "platform/codesign_fixture.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

using testing::Credential;

TEST(SignaturePayload, RoundTripsAndRefusesAnythingOffTheFormat) {
  SignedPayload payload{"com.ovak.zefra.client", 0x0102030405, {}, std::nullopt};
  payload.codeHash.fill(0xab);
  const std::string good = encodePayload(payload);
  for (bool sealed : {false, true}) {
    if (sealed) payload.resourceSeal = ossl::sha256("seal");
    auto decoded = decodePayload(encodePayload(payload));
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(encodePayload(*decoded), encodePayload(payload)) << "sealed " << sealed;
  }

  auto altered = [&](std::size_t at, char value) {
    std::string bytes = good;
    bytes[at] = value;
    return bytes;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"wrong tag", altered(0, 'X')},
      {"next version", altered(9, 2)},
      {"unknown flag", altered(11, 2)},
      {"seal flag without a seal", altered(11, 1)},
      {"identifier longer than its length", altered(good.size() - 22, 20)},
      {"identifier shorter than its length", altered(good.size() - 22, 22)},
      {"byte after the identifier", good + "x"},
      {"cut short", good.substr(0, 40)},
      {"identifier with a slash", altered(good.size() - 1, '/')},
      {"identifier with a NUL", altered(good.size() - 1, '\0')},
  };
  for (const auto& [name, bytes] : cases) EXPECT_FALSE(decodePayload(bytes)) << name;
}

std::string trailer(std::uint32_t payload, std::uint32_t cms, char version = 1, char reserved = 0) {
  std::string block = buildBlock(std::string(payload, 'p'), std::string(cms, 'c'));
  std::string tail = block.substr(block.size() - kTrailerSize);
  tail[11] = version;
  tail[15] = reserved;
  return tail;
}

TEST(SignatureTrailer, LocatesTheBlockAndRefusesAMagicWhoseBlockDoesNotFit) {
  auto noMagic = parseTrailer(std::string(kTrailerSize, 'x'), 1000);
  ASSERT_TRUE(noMagic);
  EXPECT_FALSE(*noMagic) << "no magic, no block";
  auto parsed = parseTrailer(trailer(60, 900), 5000);
  ASSERT_TRUE(parsed && *parsed);
  EXPECT_EQ((*parsed)->payloadLength, 60u);
  EXPECT_EQ((*parsed)->cmsLength, 900u);
  EXPECT_EQ((*parsed)->codeLength, 5000u - 60 - 900 - kTrailerSize);
  EXPECT_TRUE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize)) << "exactly the file";

  EXPECT_FALSE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize - 1)) << "larger than file";
  EXPECT_FALSE(parseTrailer(trailer(0, 900), 5000)) << "no payload";
  EXPECT_FALSE(parseTrailer(trailer(60, 0), 5000)) << "no CMS";
  EXPECT_FALSE(parseTrailer(trailer(kMaxPayloadSize + 1, 900), 1 << 30)) << "payload too long";
  EXPECT_FALSE(parseTrailer(trailer(60, kMaxCmsSize + 1), 1 << 30)) << "CMS too long";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 2), 5000)) << "next version";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 1, 1), 5000)) << "reserved field";
  EXPECT_FALSE(parseTrailer(std::string(kSignatureMagic), 5000)) << "magic alone";
}

TEST(CmsShape, RefusesLongFormLengthsThatFitTheShortForm) {
  // SEQUENCE with a two-byte length form for 5 bytes of content.
  EXPECT_FALSE(checkCmsShape(std::string("\x30\x81\x05\x02\x01\x01\x05\x00", 8)));
  EXPECT_FALSE(checkCmsShape(""));
}

// Files signed under a throw-away anchor.
class SignedFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<Credential>(testing::issue(testing::caSpec("Signature Test Root")));
    leaf_ = std::make_unique<Credential>(testing::issue(testing::leafSpec(), root_.get()));
  }
  static void TearDownTestSuite() {
    leaf_.reset();
    root_.reset();
  }

  std::string signedPeer(const Credential& signer = *leaf_) {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, dir_.path() + "/peer", signer,
                               "com.ovak.zefra.test");
  }
  Result<SigningInfo> verify(const std::string& path) {
    return verifyExecutable(path, root_->anchor(), VerifyOptions::forPeers());
  }
  bool verifies(const SignedImage& image) {
    return verifySignedImage(image, root_->anchor(), VerifyOptions::forPeers()).ok();
  }
  SignedImage imageOf(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    auto image = readSignedImage(fd.get());
    EXPECT_TRUE(image) << image.error().message;
    return image ? std::move(image.value()) : SignedImage{};
  }

  static inline std::unique_ptr<Credential> root_;
  static inline std::unique_ptr<Credential> leaf_;
  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  testing::TempDir dir_;
};

TEST_F(SignedFileTest, SignedCopyVerifiesStillRunsAndResignsInPlace) {
  std::string path = signedPeer();
  auto info = verify(path);
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.test");
  EXPECT_EQ(info->teamIdentifier, testing::kTeam);
  EXPECT_EQ(info->codeHash, ossl::sha256(program_));
  // The loader ignores the block: the program runs (and fails to connect).
  EXPECT_EQ(testing::run({path, dir_.path() + "/no-socket", "exit"}), 3);

  ASSERT_EQ(::chmod(path.c_str(), 0750), 0);
  ASSERT_TRUE(signExecutable(path, leaf_->identity(), "com.ovak.zefra.other"));
  EXPECT_EQ(imageOf(path).codeLength, program_.size()) << "one block, not two";
  EXPECT_EQ(testing::readFile(path).substr(0, program_.size()), program_);
  EXPECT_EQ(verify(path)->identifier, "com.ovak.zefra.other");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);

  const std::string original = testing::readFile(path);
  for (std::size_t at : {3, 7}) {  // low bytes of the payload and CMS lengths
    std::string bytes = original;
    bytes[bytes.size() - kTrailerSize + at] ^= 0x10;
    testing::writeFile(path, bytes);
    EXPECT_FALSE(signExecutable(path, leaf_->identity(), "com.ovak.zefra.test"))
        << "where the code ends is unknown " << at;
  }
}

TEST_F(SignedFileTest, EveryByteBeforeTheTrailerIsCovered) {
  testing::CertSpec rsaSpec = testing::leafSpec();
  rsaSpec.rsa = true;
  Credential rsaLeaf = testing::issue(rsaSpec, root_.get());
  for (const Credential* signer : {leaf_.get(), &rsaLeaf}) {
    SignedImage image = imageOf(signedPeer(*signer));
    ASSERT_TRUE(verifies(image));
    // Besides single bits: 0x20 turns letter case (OpenSSL compares names
    // folded), 0x0a turns rsaEncryption into sha256WithRSAEncryption.
    for (std::uint8_t mask : {0x01, 0x0a, 0x20, 0xff}) {
      for (std::size_t i = 0; i < image.payload.size() + image.cms.size(); ++i) {
        SignedImage changed = image;
        char& byte =
            i < image.payload.size() ? changed.payload[i] : changed.cms[i - image.payload.size()];
        byte ^= static_cast<char>(mask);
        EXPECT_FALSE(verifies(changed)) << "block byte " << i << " xor " << int(mask);
      }
    }
  }
  // The code, through the file: first, middle and last byte.
  std::string path = signedPeer();
  const std::string original = testing::readFile(path);
  for (std::size_t at : {std::size_t{0}, program_.size() / 2, program_.size() - 1}) {
    std::string bytes = original;
    bytes[at] ^= 0x01;
    testing::writeFile(path, bytes);
    EXPECT_FALSE(verify(path)) << "code byte " << at;
  }
}

TEST_F(SignedFileTest, ADamagedTrailerIsRefusedAndNoBlockIsNoPass) {
  std::string path = signedPeer();
  const std::string original = testing::readFile(path);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"truncated", original.substr(0, original.size() - 1)},
      {"extended", original + "\n"},
      {"trailer repeated", original + original.substr(original.size() - kTrailerSize)},
  };
  for (std::size_t i = 0; i < kTrailerSize; ++i) {
    cases.emplace_back("trailer byte " + std::to_string(i), original);
    cases.back().second[original.size() - kTrailerSize + i] ^= 0x01;
  }
  for (const auto& [name, bytes] : cases) {
    testing::writeFile(path, bytes);
    EXPECT_FALSE(verify(path)) << name;
  }
  testing::writeFile(path, program_);
  auto info = verify(path);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message, "code is not signed");
}

// A CMS built with OpenSSL directly, in shapes the signer never writes.
std::string makeCms(const std::string& payload, const std::vector<const Credential*>& signers,
                    unsigned flags, const EVP_MD* digest = EVP_sha256(), X509* extra = nullptr) {
  ossl::CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
  for (const Credential* signer : signers) {
    EXPECT_TRUE(CMS_add1_signer(cms.get(), signer->cert.get(), signer->key.get(), digest, flags));
  }
  if (extra) CMS_add1_cert(cms.get(), extra);
  ossl::BioPtr content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
  EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, flags), 1);
  unsigned char* der = nullptr;
  int length = i2d_CMS_ContentInfo(cms.get(), &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

TEST_F(SignedFileTest, RefusesCmsOfAnyOtherShape) {
  SignedImage image = imageOf(signedPeer());
  auto withCms = [&](std::string cms) {
    SignedImage changed = image;
    changed.cms = std::move(cms);
    return changed;
  };
  constexpr unsigned kDetached = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
  const std::string& payload = image.payload;
  const Credential* leaf = leaf_.get();
  ASSERT_TRUE(verifies(withCms(makeCms(payload, {leaf}, kDetached)))) << "the control case";

  Credential second = testing::issue(testing::leafSpec(), root_.get());
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"two signers", makeCms(payload, {leaf, &second}, kDetached)},
      {"content inside", makeCms(payload, {leaf}, CMS_BINARY | CMS_NOSMIMECAP)},
      {"SHA-384", makeCms(payload, {leaf}, kDetached, EVP_sha384())},
      {"no signed attributes", makeCms(payload, {leaf}, kDetached | CMS_NOATTR)},
      {"no signer certificate", makeCms(payload, {leaf}, kDetached | CMS_NOCERTS)},
      {"other content", makeCms("another payload", {leaf}, kDetached)},
      {"extra certificate", makeCms(payload, {leaf}, kDetached, EVP_sha256(), second.cert.get())},
      {"trailing byte", image.cms + std::string(1, '\0')},
      {"garbage", std::string(600, '\x30')},
  };
  for (const auto& [name, cms] : cases) EXPECT_FALSE(verifies(withCms(cms))) << name;
}

}  // namespace
}  // namespace zefra::platform
