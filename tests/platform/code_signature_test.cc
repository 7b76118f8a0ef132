#include "platform/code_signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>

#include "platform/cms_shape.h"
#include "platform/code_sign.h"
#include "platform/code_verify.h"
#include "platform/codesign_fixture.h"

namespace zefra::platform {
namespace {

using testing::Credential;
using testing::TempDir;

SignedPayload samplePayload() {
  SignedPayload payload;
  payload.identifier = "com.ovak.zefra.client";
  payload.codeLength = 0x0102030405;
  payload.codeHash.fill(0xab);
  return payload;
}

std::string trailer(std::uint32_t payload, std::uint32_t cms, std::uint32_t version = 1,
                    std::uint32_t reserved = 0) {
  std::string block = buildBlock(std::string(payload, 'p'), std::string(cms, 'c'));
  std::string tail = block.substr(block.size() - kTrailerSize);
  tail[11] = static_cast<char>(version);
  tail[15] = static_cast<char>(reserved);
  return tail;
}

TEST(SignaturePayload, RoundTripsWithAndWithoutSeal) {
  SignedPayload payload = samplePayload();
  for (bool sealed : {false, true}) {
    if (sealed) payload.resourceSeal = ossl::sha256("seal");
    auto decoded = decodePayload(encodePayload(payload));
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->identifier, payload.identifier);
    EXPECT_EQ(decoded->codeLength, payload.codeLength);
    EXPECT_EQ(decoded->codeHash, payload.codeHash);
    EXPECT_EQ(decoded->resourceSeal, payload.resourceSeal);
  }
}

TEST(SignaturePayload, RefusesAnythingOffTheFormat) {
  const std::string good = encodePayload(samplePayload());
  auto altered = [&](std::size_t at, char value) {
    std::string bytes = good;
    bytes[at] = value;
    return bytes;
  };
  std::string sealFlagWithoutSeal = altered(11, 1);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"wrong tag", altered(0, 'X')},
      {"next version", altered(9, 2)},
      {"unknown flag", altered(11, 2)},
      {"seal flag without a seal", sealFlagWithoutSeal},
      {"identifier longer than its length", altered(good.size() - 22, 20)},
      {"identifier shorter than its length", altered(good.size() - 22, 22)},
      {"byte after the identifier", good + "x"},
      {"cut short", good.substr(0, 40)},
      {"identifier with a slash", altered(good.size() - 1, '/')},
      {"identifier with a NUL", altered(good.size() - 1, '\0')},
  };
  for (const auto& [name, bytes] : cases) {
    EXPECT_FALSE(decodePayload(bytes)) << name;
  }
}

TEST(SignatureTrailer, NoMagicMeansNoBlock) {
  auto parsed = parseTrailer(std::string(kTrailerSize, 'x'), 1000);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(*parsed);
}

TEST(SignatureTrailer, LocatesTheBlock) {
  auto parsed = parseTrailer(trailer(60, 900), 5000);
  ASSERT_TRUE(parsed && *parsed);
  EXPECT_EQ((*parsed)->payloadLength, 60u);
  EXPECT_EQ((*parsed)->cmsLength, 900u);
  EXPECT_EQ((*parsed)->codeLength, 5000u - 60 - 900 - kTrailerSize);
}

TEST(SignatureTrailer, RefusesAMagicWhoseBlockDoesNotFit) {
  EXPECT_FALSE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize - 1)) << "larger than file";
  EXPECT_TRUE(parseTrailer(trailer(60, 900), 60 + 900 + kTrailerSize)) << "exactly the file";
  EXPECT_FALSE(parseTrailer(trailer(0, 900), 5000)) << "no payload";
  EXPECT_FALSE(parseTrailer(trailer(60, 0), 5000)) << "no CMS";
  EXPECT_FALSE(parseTrailer(trailer(kMaxPayloadSize + 1, 900), 1 << 30)) << "payload too long";
  EXPECT_FALSE(parseTrailer(trailer(60, kMaxCmsSize + 1), 1 << 30)) << "CMS too long";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 2), 5000)) << "next version";
  EXPECT_FALSE(parseTrailer(trailer(60, 900, 1, 1), 5000)) << "reserved field";
  EXPECT_FALSE(parseTrailer(std::string(kSignatureMagic), 5000)) << "magic alone";
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

  std::string signedPeer(const std::string& name = "peer") {
    std::string path = dir_ / name;
    testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM, path, *leaf_, "com.ovak.zefra.test");
    return path;
  }
  Result<SigningInfo> verify(const std::string& path) {
    return verifyExecutable(path, root_->anchor(), VerifyOptions::forPeers());
  }
  SignedImage imageOf(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    auto image = readSignedImage(fd.get());
    EXPECT_TRUE(image) << image.error().message;
    return image ? std::move(image.value()) : SignedImage{};
  }
  // A block around a CMS this test builds itself.
  SignedImage imageWithCms(const std::string& path, std::string cms) {
    SignedImage image = imageOf(path);
    image.cms = std::move(cms);
    return image;
  }

  static inline std::unique_ptr<Credential> root_;
  static inline std::unique_ptr<Credential> leaf_;
  TempDir dir_;
};

TEST_F(SignedFileTest, SignedCopyVerifiesAndStillRuns) {
  std::string path = signedPeer();
  auto info = verify(path);
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.test");
  EXPECT_EQ(info->teamIdentifier, testing::kTeam);
  EXPECT_EQ(info->codeHash, ossl::sha256(testing::readFile(ZEFRA_TEST_PEER_PROGRAM)));
  ASSERT_EQ(info->chainSubjects.size(), 2u);
  EXPECT_EQ(info->chainSubjects[1], "CN=Signature Test Root,O=Zefra Tests");
  // The loader ignores the block: the program still runs (and fails to
  // connect to a socket that does not exist).
  EXPECT_EQ(testing::run({path, dir_ / "no-socket", "exit"}), 3);
}

TEST_F(SignedFileTest, ResigningReplacesTheBlock) {
  std::string path = signedPeer();
  ASSERT_TRUE(signExecutable(path, leaf_->identity(), "com.ovak.zefra.other"));
  const std::string program = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  EXPECT_EQ(imageOf(path).codeLength, program.size()) << "one block, not two";
  EXPECT_EQ(testing::readFile(path).substr(0, program.size()), program);
  auto info = verify(path);
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->identifier, "com.ovak.zefra.other");
}

TEST_F(SignedFileTest, SigningKeepsTheModeAndRefusesADamagedBlock) {
  std::string path = signedPeer();
  ASSERT_EQ(::chmod(path.c_str(), 0750), 0);
  ASSERT_TRUE(signExecutable(path, leaf_->identity(), "com.ovak.zefra.test"));
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
  std::string path = signedPeer();
  SignedImage image = imageOf(path);
  auto anchor = root_->anchor();
  ASSERT_TRUE(verifySignedImage(image, anchor, VerifyOptions::forPeers()));
  // Besides single bits: 0x20 turns letter case (names compare folded).
  for (std::uint8_t mask : {0x01, 0x20, 0x80, 0xff}) {
    for (std::size_t i = 0; i < image.payload.size() + image.cms.size(); ++i) {
      SignedImage changed = image;
      if (i < image.payload.size()) {
        changed.payload[i] ^= static_cast<char>(mask);
      } else {
        changed.cms[i - image.payload.size()] ^= static_cast<char>(mask);
      }
      EXPECT_FALSE(verifySignedImage(changed, anchor, VerifyOptions::forPeers()))
          << "block byte " << i << " xor " << int(mask);
    }
  }
  // The code, through the file: first, middle and last byte.
  std::string original = testing::readFile(path);
  for (std::size_t at : {std::size_t{0}, image.codeLength / 2, image.codeLength - 1}) {
    std::string bytes = original;
    bytes[at] ^= 0x01;
    testing::writeFile(path, bytes);
    EXPECT_FALSE(verify(path)) << "code byte " << at;
  }
}

TEST_F(SignedFileTest, ADamagedTrailerIsRefused) {
  std::string path = signedPeer();
  const std::string original = testing::readFile(path);
  for (std::size_t i = 0; i < kTrailerSize; ++i) {
    std::string bytes = original;
    bytes[bytes.size() - kTrailerSize + i] ^= 0x01;
    testing::writeFile(path, bytes);
    EXPECT_FALSE(verify(path)) << "trailer byte " << i;
  }
  testing::writeFile(path, original.substr(0, original.size() - 1));
  EXPECT_FALSE(verify(path)) << "truncated";
  testing::writeFile(path, original + "\n");
  EXPECT_FALSE(verify(path)) << "extended";
  testing::writeFile(path, original + original.substr(original.size() - kTrailerSize));
  EXPECT_FALSE(verify(path)) << "trailer repeated";
  testing::writeFile(path, original);
  EXPECT_TRUE(verify(path));
}

TEST_F(SignedFileTest, UnsignedIsAnErrorNotAPass) {
  std::string path = dir_ / "plain";
  testing::writeFile(path, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  auto info = verify(path);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message, "code is not signed");
}

// CMS structures the signer never writes, built with OpenSSL directly.
std::string cmsDer(CMS_ContentInfo* cms) {
  unsigned char* der = nullptr;
  int length = i2d_CMS_ContentInfo(cms, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

std::string makeCms(const std::string& payload, const std::vector<const Credential*>& signers,
                    unsigned flags, const EVP_MD* digest = EVP_sha256()) {
  ossl::CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
  for (const Credential* signer : signers) {
    EXPECT_TRUE(CMS_add1_signer(cms.get(), signer->cert.get(), signer->key.get(), digest, flags));
  }
  ossl::BioPtr content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
  EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, flags), 1);
  return cmsDer(cms.get());
}

TEST_F(SignedFileTest, RefusesCmsOfAnyOtherShape) {
  std::string path = signedPeer();
  SignedImage image = imageOf(path);
  auto anchor = root_->anchor();
  auto verifies = [&](std::string cms) {
    return verifySignedImage(imageWithCms(path, std::move(cms)), anchor, VerifyOptions::forPeers())
        .ok();
  };
  constexpr unsigned kDetached = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
  ASSERT_TRUE(verifies(makeCms(image.payload, {leaf_.get()}, kDetached))) << "the control case";

  Credential second = testing::issue(testing::leafSpec(), root_.get());
  EXPECT_FALSE(verifies(makeCms(image.payload, {leaf_.get(), &second}, kDetached)))
      << "two signers";
  EXPECT_FALSE(verifies(makeCms(image.payload, {leaf_.get()}, CMS_BINARY | CMS_NOSMIMECAP)))
      << "content inside";
  EXPECT_FALSE(verifies(makeCms(image.payload, {leaf_.get()}, kDetached, EVP_sha384())))
      << "SHA-384";
  EXPECT_FALSE(verifies(makeCms(image.payload, {leaf_.get()}, kDetached | CMS_NOATTR)))
      << "no signed attributes";
  EXPECT_FALSE(verifies(makeCms(image.payload, {leaf_.get()}, kDetached | CMS_NOCERTS)))
      << "no signer certificate";
  EXPECT_FALSE(verifies(makeCms("another payload", {leaf_.get()}, kDetached))) << "other content";
  EXPECT_FALSE(verifies(image.cms + std::string(1, '\0'))) << "trailing byte";
  EXPECT_FALSE(verifies(std::string(600, '\x30'))) << "garbage";

  // An unrelated certificate riding along.
  ossl::CmsPtr withExtra(CMS_sign(nullptr, nullptr, nullptr, nullptr, kDetached | CMS_PARTIAL));
  CMS_add1_signer(withExtra.get(), leaf_->cert.get(), leaf_->key.get(), EVP_sha256(), kDetached);
  CMS_add1_cert(withExtra.get(), second.cert.get());
  ossl::BioPtr content(
      BIO_new_mem_buf(image.payload.data(), static_cast<int>(image.payload.size())));
  CMS_final(withExtra.get(), content.get(), nullptr, kDetached);
  EXPECT_FALSE(verifies(cmsDer(withExtra.get()))) << "extra certificate";
}

TEST(CmsShape, RefusesLongFormLengthsThatFitTheShortForm) {
  // SEQUENCE with a two-byte length form for 5 bytes of content.
  EXPECT_FALSE(checkCmsShape(std::string("\x30\x81\x05\x02\x01\x01\x05\x00", 8)));
  EXPECT_FALSE(checkCmsShape(""));
}

}  // namespace
}  // namespace zefra::platform
