#pragma once

// Test support for code signing: certificates made on the spot, signed
// copies of programs, and peer processes that connect to a listening socket.
// Free of gtest so that the benchmarks can use it.

#include <grp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codesign/signing.h"
#include "codesign/verify.h"
#include "platform/process/capture.h"
#include "platform/process/pidfd.h"
#include "platform/socket/socket_file.h"
#include "support/text.h"

namespace zefra::testing {

namespace ossl = codesign::ossl;
using base::UniqueFd;

inline constexpr const char* kTeam = "K4T9QZ2M7B";

// Flips the low bit of the byte at `at`.
inline void damage(const std::string& path, std::size_t at) {
  std::string bytes = readFile(path);
  bytes[at] ^= 1;
  writeFile(path, bytes);
}

// Subject O=Zefra Tests, OU=<each unit>, CN=<commonName>; by default a
// code-signing leaf of the team.
struct CertSpec {
  std::vector<std::string> units = {kTeam};
  std::string commonName = "Zefra Tests Code Signing";
  bool ca = false;
  std::string keyUsage = "critical,digitalSignature";  // "" leaves it out
  std::string extendedKeyUsage = "codeSigning";        // "" leaves it out
  long notBeforeSeconds = -3600;                       // relative to now
  long notAfterSeconds = 365L * 86400;
  bool rsa = false;  // an RSA key instead of P-256
};

inline CertSpec caSpec(const std::string& commonName) {
  return {{}, commonName, true, "critical,keyCertSign,cRLSign", ""};
}

struct Credential {
  ossl::EvpPkeyPtr key;
  std::vector<ossl::X509Ptr> chain;  // its certificate, then what signatures carry above it

  // From PEM files (the build's development PKI).
  static Credential load(const std::string& certPath, const std::string& keyPath) {
    return {take(ossl::readPrivateKey(readFile(keyPath))),
            take(ossl::readCertificates(readFile(certPath)))};
  }

  X509* cert() const { return chain.front().get(); }
  std::string certPem() const { return ossl::toPem(cert()); }
  codesign::SigningIdentity identity() const {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* keyPem = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &keyPem);
    std::string chainPem;
    for (const auto& link : chain) chainPem += ossl::toPem(link.get());
    return take(codesign::SigningIdentity::fromPem({keyPem, std::size_t(size)}, chainPem));
  }
  codesign::TrustAnchor anchor() const { return take(codesign::TrustAnchor::fromPem(certPem())); }
};

// Issued by `issuer`, or self-signed without one.
inline Credential issue(const CertSpec& spec, const Credential* issuer = nullptr) {
  Credential made;
  made.key.reset(spec.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  X509* cert = made.chain.emplace_back(X509_new()).get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), std::random_device()() & 0x7fffffff);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.notBeforeSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.notAfterSeconds);
  X509_set_pubkey(cert, made.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  auto add = [name](const char* field, const std::string& value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  };
  add("O", "Zefra Tests");
  for (const auto& unit : spec.units) add("OU", unit);
  add("CN", spec.commonName);
  X509* issuerCert = issuer ? issuer->cert() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuerCert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : std::vector<std::pair<int, std::string>>{
           {NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
           {NID_key_usage, spec.keyUsage},
           {NID_ext_key_usage, spec.extendedKeyUsage},
           {NID_subject_key_identifier, "hash"},
           {NID_authority_key_identifier, issuer ? "keyid" : ""}}) {
    if (value.empty()) continue;
    std::unique_ptr<X509_EXTENSION, ossl::Deleter<X509_EXTENSION_free>> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    if (!ext || !X509_add_ext(cert, ext.get(), -1)) throw std::runtime_error("extension " + value);
  }
  if (!X509_sign(cert, (issuer ? issuer : &made)->key.get(), EVP_sha256())) {
    throw std::runtime_error("X509_sign: " + ossl::takeErrors());
  }
  // The issuer's chain travels along unless the issuer is the root.
  if (issuer && X509_check_issued(issuerCert, issuerCert) != X509_V_OK) {
    for (const auto& link : issuer->chain) made.chain.push_back(ossl::upRef(link.get()));
  }
  return made;
}

// A throw-away anchor with one leaf of the team under it, made once per
// test program.
struct TestPki {
  Credential root = issue(caSpec("Test Root"));
  Credential leaf = issue({}, &root);
};
inline const TestPki& testPki() {
  static const TestPki pki;
  return pki;
}

// Copies `source` to `target` and signs the copy; returns `target`.
inline std::string signedCopy(const std::string& source, const std::string& target,
                              const Credential& signer, const std::string& identifier) {
  writeFile(target, readFile(source));
  take(codesign::signExecutable(target, signer.identity(), identifier));
  return target;
}

// Runs a program found through PATH; its exit status (or the number of the
// signal that ended it), with its stdout and stderr.
inline int run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  platform::CaptureOptions options;
  options.spawn.executable = "/usr/bin/env";
  options.spawn.arguments = argv;
  options.inputFromPipe = false;
  platform::Captured ran = take(platform::captureProcess(options));
  if (output) *output = ran.standardOutput.str() + ran.standardError.str();
  return ran.status.value();
}

// A listening Unix socket that other users may connect to.
class Listener {
 public:
  explicit Listener(const std::string& path) : path_(path) {
    platform::SocketFile file;
    fd_ = take(platform::bindSocketFile(path, file));
    if (::chmod(path.c_str(), 0777) != 0) die("chmod " + path);
  }
  const std::string& path() const { return path_; }

  // The next connection; invalid after a generous time-out, or once the
  // process behind `pidfd` has exited without connecting.
  UniqueFd accept(int pidfd = -1) const {
    struct pollfd pollers[2] = {{fd_.get(), POLLIN, 0}, {pidfd, POLLIN, 0}};
    if (::poll(pollers, pidfd >= 0 ? 2 : 1, 30000) < 1 || !(pollers[0].revents & POLLIN)) {
      return UniqueFd();
    }
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// A peer program (peer_program.cc) connected to a Listener; killed and
// reaped when destroyed.
class Peer {
 public:
  // Runs `executable`, optionally as another user (needs root).
  Peer(const Listener& listener, const std::string& executable, std::optional<uid_t> asUser = {}) {
    std::string socket = listener.path(), stay = "stay";
    pid_ = ::fork();
    if (pid_ < 0) die("fork");
    if (pid_ == 0) {
      if (asUser &&
          (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) {
        ::_exit(126);
      }
      char* argv[] = {const_cast<char*>(executable.c_str()), socket.data(), stay.data(), nullptr};
      ::execv(executable.c_str(), argv);
      ::_exit(127);
    }
    connection_ = listener.accept(take(platform::openPidfd(pid_)).get());
  }
  ~Peer() {
    connection_.reset();
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  pid_t pid() const { return pid_; }
  int connection() const { return connection_.get(); }
  bool connected() const { return connection_.valid(); }

 private:
  pid_t pid_ = -1;
  UniqueFd connection_;
};

}  // namespace zefra::testing
