#include "codesign/openssl_util.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <climits>

#include "platform/files/small_file.h"

namespace zefra::codesign::ossl {

void initializeCrypto() {
  static const bool initialized =
      OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)initialized;
}

std::string takeErrors() {
  std::string line;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    const char* reason = ERR_reason_error_string(code);
    if (!line.empty()) line += "; ";
    line += reason ? reason : buffer;
    if (data && *data && (flags & ERR_TXT_STRING)) {
      line += " (";
      line += data;
      line += ")";
    }
  }
  return line;
}

Error error(const std::string& what) {
  std::string detail = takeErrors();
  return Error{0, detail.empty() ? what : what + ": " + detail};
}

X509Ptr upRef(X509* cert) {
  X509_up_ref(cert);
  return X509Ptr(cert);
}

Result<std::vector<X509Ptr>> readCertificates(std::string_view pem) {
  if (pem.size() > INT_MAX) return Error{0, "certificate file is too large"};
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return error("cannot read certificates");
  std::vector<X509Ptr> certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert);
  }
  // The loop ends on "no start line" at the end of the input; anything else
  // is a damaged certificate.
  unsigned long last = ERR_peek_last_error();
  if (last && !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
    return error("cannot read certificates");
  }
  ERR_clear_error();
  if (certs.empty()) return Error{0, "no certificate found"};
  return certs;
}

Result<EvpPkeyPtr> readPrivateKey(std::string_view pem) {
  if (pem.size() > INT_MAX) return Error{0, "key file is too large"};
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return error("cannot read the private key");
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) return error("cannot read the private key");
  return key;
}

std::string toPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
    takeErrors();
    return {};
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string subjectLine(const X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) {
    takeErrors();
    return {};
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

const EVP_MD* sha256Md() {
  // Fetched once: an implicit fetch per digest costs a provider lookup.
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

Sha256 sha256(std::string_view bytes) {
  Sha256 digest{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, sha256Md(), nullptr);
  return digest;
}

Result<Sha256> sha256OfFd(int fd, std::uint64_t length) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), sha256Md(), nullptr) != 1) {
    return error("cannot start SHA-256");
  }
  auto read = platform::readInChunks(fd, length, [&](std::string_view chunk) -> Status {
    EVP_DigestUpdate(ctx.get(), chunk.data(), chunk.size());
    return Ok{};
  });
  if (!read) return read.error();
  Sha256 digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1) return error("SHA-256 failed");
  return digest;
}

std::string hex(const Sha256& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (std::uint8_t byte : digest) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xf];
  }
  return out;
}

}  // namespace zefra::codesign::ossl
