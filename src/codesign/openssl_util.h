#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"

// OpenSSL objects as owning handles, and the few helpers every code-identity
// file needs.
namespace zefra::codesign {

using base::errnoError;
using base::Error;
using base::Ok;
using base::Result;
using base::Status;
using base::UniqueFd;

}  // namespace zefra::codesign

namespace zefra::codesign::ossl {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;

inline void freeCertStack(STACK_OF(X509) * stack) {
  sk_X509_pop_free(stack, X509_free);
}
inline void freeCertStackShallow(STACK_OF(X509) * stack) {
  sk_X509_free(stack);
}
// Owns the stack and the certificates in it.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<freeCertStack>>;
// Owns the stack only; the certificates belong to someone else.
using X509ViewStackPtr = std::unique_ptr<STACK_OF(X509), Deleter<freeCertStackShallow>>;

using Sha256 = std::array<std::uint8_t, 32>;

// Empties this thread's OpenSSL error queue into one line ("" when empty).
// Every failing OpenSSL path calls it, so no stale error leaks into a later
// call on the same thread.
// Initialises the library without reading any configuration file: nothing
// outside the build (OPENSSL_CONF, /etc/ssl/openssl.cnf) may load providers
// into a process that checks signatures. Safe to call more than once.
void initializeCrypto();

std::string takeErrors();
Error error(const std::string& what);  // what + ": " + takeErrors() when there is one

X509Ptr upRef(X509* cert);
Result<std::vector<X509Ptr>> readCertificates(std::string_view pem);
Result<EvpPkeyPtr> readPrivateKey(std::string_view pem);
std::string toPem(X509* cert);

// Subject in the one-line RFC 2253 form.
std::string subjectLine(const X509* cert);

const EVP_MD* sha256Md();
Sha256 sha256(std::string_view bytes);
// Streams `length` bytes of `fd` from offset 0 through SHA-256 with pread,
// so a file that shrinks meanwhile is an error rather than a SIGBUS.
Result<Sha256> sha256OfFd(int fd, std::uint64_t length);
std::string hex(const Sha256& digest);

}  // namespace zefra::codesign::ossl
