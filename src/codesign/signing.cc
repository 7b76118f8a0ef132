#include "codesign/signing.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "base/unique_fd.h"
#include "codesign/bundle_seal.h"
#include "codesign/signature_block.h"
#include "platform/files/atomic_file.h"
#include "platform/files/small_file.h"

namespace zefra::codesign {
namespace {

using platform::AtomicFile;
using platform::readSmallFile;

// Where the code of a file to be (re-)signed ends. An old block must be
// intact: its payload has to agree with its trailer, or the code's end is
// unknown and signing would seal whatever happens to be there.
Result<std::uint64_t> codeLengthForSigning(int fd, std::uint64_t fileSize) {
  auto located = locateBlock(fd);
  if (!located) return Error{0, "cannot replace the signature: " + located.error().message};
  if (!*located) return fileSize;
  const BlockExtent& extent = **located;
  std::string payload(extent.payloadLength, '\0');
  if (!platform::readAt(fd, payload, extent.codeLength)) {
    return Error{0, "cannot replace the signature: its payload cannot be read"};
  }
  auto decoded = decodePayload(payload);
  if (!decoded || decoded->codeLength != extent.codeLength) {
    return Error{0, "cannot replace the signature: the old one is damaged"};
  }
  return extent.codeLength;
}

// Copies the first `length` bytes of `in` to `out` and hashes exactly the
// bytes written, so a file changing meanwhile cannot split the two.
Result<Sha256> copyAndHash(int in, AtomicFile& out, std::uint64_t length) {
  ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), ossl::sha256Md(), nullptr) != 1) {
    return ossl::error("cannot start SHA-256");
  }
  auto copied = platform::readInChunks(in, length, [&](std::string_view chunk) {
    EVP_DigestUpdate(ctx.get(), chunk.data(), chunk.size());
    return out.write(chunk);
  });
  if (!copied) return copied.error();
  Sha256 digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1)
    return ossl::error("SHA-256 failed");
  return digest;
}

Status signFile(const std::string& path, const SigningIdentity& identity,
                std::string_view identifier, std::optional<Sha256> resourceSeal) {
  if (auto valid = validateIdentifier(identifier); !valid) return valid.error();
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return errnoError("cannot open " + path, errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return errnoError("cannot inspect " + path, errno);
  auto codeLength = codeLengthForSigning(in.get(), static_cast<std::uint64_t>(st.st_size));
  if (!codeLength) return codeLength.error();

  auto out = AtomicFile::create(path, 0600);
  if (!out) return out.error();
  auto codeHash = copyAndHash(in.get(), *out, *codeLength);
  if (!codeHash) return Error{codeHash.error().code, path + ": " + codeHash.error().message};
  SignedPayload payload;
  payload.identifier = std::string(identifier);
  payload.codeLength = *codeLength;
  payload.codeHash = *codeHash;
  payload.resourceSeal = resourceSeal;
  std::string encoded = encodePayload(payload);
  auto cms = identity.sign(encoded);
  if (!cms) return cms.error();
  std::string block = buildBlock(encoded, *cms);
  if (auto written = out->write(block); !written) return written;
  if (::fchmod(out->fd(), st.st_mode & 07777) != 0) {
    return errnoError("cannot set the mode of the signed copy", errno);
  }
  return out->commit();
}

}  // namespace

Result<SigningIdentity> SigningIdentity::fromPem(std::string_view keyPem,
                                                 std::string_view chainPem) {
  auto key = ossl::readPrivateKey(keyPem);
  if (!key) return key.error();
  auto certs = ossl::readCertificates(chainPem);
  if (!certs) return Error{0, "signing chain: " + certs.error().message};
  SigningIdentity identity;
  identity.key_ = std::move(*key);
  identity.leaf_ = std::move((*certs)[0]);
  if (X509_check_private_key(identity.leaf_.get(), identity.key_.get()) != 1) {
    ossl::takeErrors();
    return Error{0, "the private key does not belong to the first certificate of the chain"};
  }
  identity.intermediates_.reset(sk_X509_new_null());
  if (!identity.intermediates_) return ossl::error("cannot hold the chain");
  for (std::size_t i = 1; i < certs->size(); ++i) {
    if (sk_X509_push(identity.intermediates_.get(), (*certs)[i].get()) <= 0) {
      return ossl::error("cannot hold the chain");
    }
    (void)(*certs)[i].release();
  }
  return identity;
}

Result<SigningIdentity> SigningIdentity::load(const std::string& keyPath,
                                              const std::string& chainPath) {
  auto key = readSmallFile(keyPath);
  if (!key) return key.error();
  auto chain = readSmallFile(chainPath);
  if (!chain) return chain.error();
  return fromPem(*key, *chain);
}

Result<std::string> SigningIdentity::sign(std::string_view payload) const {
  constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
  ossl::CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, kFlags | CMS_PARTIAL));
  if (!cms) return ossl::error("cannot sign");
  if (!CMS_add1_signer(cms.get(), leaf_.get(), key_.get(), ossl::sha256Md(), kFlags)) {
    return ossl::error("cannot sign");
  }
  for (int i = 0; i < sk_X509_num(intermediates_.get()); ++i) {
    if (CMS_add1_cert(cms.get(), sk_X509_value(intermediates_.get(), i)) != 1) {
      return ossl::error("cannot sign");
    }
  }
  ossl::BioPtr content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
  if (!content || CMS_final(cms.get(), content.get(), nullptr, kFlags) != 1) {
    return ossl::error("cannot sign");
  }
  unsigned char* der = nullptr;
  int length = i2d_CMS_ContentInfo(cms.get(), &der);
  if (length <= 0) return ossl::error("cannot encode the signature");
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

Status signExecutable(const std::string& path, const SigningIdentity& identity,
                      std::string_view identifier) {
  return signFile(path, identity, identifier, std::nullopt);
}

Status signBundle(const std::string& bundlePath, const SigningIdentity& identity,
                  std::string_view identifier) {
  auto layout = readBundleLayout(bundlePath);
  if (!layout) return layout.error();
  auto seal = computeResourceSeal(*layout);
  if (!seal) return seal.error();
  return signFile(layout->executable, identity, identifier, seal->digest);
}

}  // namespace zefra::codesign
