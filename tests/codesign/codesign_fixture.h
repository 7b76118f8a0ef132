#pragma once

// Test support for code signing: certificates made on the spot with the
// OpenSSL API, and peer processes that connect to a listening socket. Kept
// free of gtest so that the benchmarks can use it.

#include <grp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codesign/openssl_util.h"
#include "codesign/signing.h"
#include "codesign/verify.h"
#include "platform/small_file.h"
#include "platform/unique_fd.h"

namespace zefra::testing {

namespace ossl = codesign::ossl;
using platform::UniqueFd;

inline constexpr const char* kTeam = "K4T9QZ2M7B";

[[noreturn]] inline void die(const std::string& what) {
  throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

inline std::string readFile(const std::string& path) {
  auto bytes = platform::readSmallFile(path, std::size_t{1} << 30);
  if (!bytes) throw std::runtime_error(bytes.error().message);
  return std::move(bytes.value());
}

inline void writeFile(const std::string& path, std::string_view bytes, mode_t mode = 0755) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) die("cannot write " + path);
}

// Through a renamed sibling: a new inode, as a package manager replaces a
// file that may be running.
inline void replaceFile(const std::string& path, std::string_view bytes) {
  writeFile(path + ".new", bytes);
  if (::rename((path + ".new").c_str(), path.c_str()) != 0) die("cannot replace " + path);
}

struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject;  // in order, bytes as given
  bool ca = false;
  std::string keyUsage = "critical,digitalSignature";  // "" leaves it out
  std::string extendedKeyUsage = "codeSigning";        // "" leaves it out
  long notBeforeSeconds = -3600;                       // relative to now
  long notAfterSeconds = 365L * 86400;
  bool rsa = false;  // an RSA key instead of P-256
};

inline CertSpec caSpec(const std::string& commonName) {
  return {{{"O", "Zefra Tests"}, {"CN", commonName}}, true, "critical,keyCertSign,cRLSign", ""};
}

inline CertSpec leafSpec(std::vector<std::string> organisationalUnits = {kTeam}) {
  CertSpec spec;
  spec.subject = {{"O", "Zefra Tests"}};
  for (auto& unit : organisationalUnits) spec.subject.emplace_back("OU", std::move(unit));
  spec.subject.emplace_back("CN", "Zefra Tests Code Signing");
  return spec;
}

struct Credential {
  ossl::EvpPkeyPtr key;
  ossl::X509Ptr cert;
  std::vector<ossl::X509Ptr> intermediates;  // carried in signatures, leaf's issuer first

  // From PEM files (the build's development PKI).
  static Credential load(const std::string& certPath, const std::string& keyPath) {
    auto certs = ossl::readCertificates(readFile(certPath));
    auto key = ossl::readPrivateKey(readFile(keyPath));
    if (!certs || !key) throw std::runtime_error("cannot load " + certPath);
    Credential loaded{std::move(key.value()), std::move(certs.value()[0]), {}};
    for (std::size_t i = 1; i < certs->size(); ++i) {
      loaded.intermediates.push_back(std::move(certs.value()[i]));
    }
    return loaded;
  }

  std::string certPem() const { return ossl::toPem(cert.get()); }
  codesign::SigningIdentity identity() const {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    std::string keyPem(data, static_cast<std::size_t>(size));
    std::string chainPem = certPem();
    for (const auto& above : intermediates) chainPem += ossl::toPem(above.get());
    auto identity = codesign::SigningIdentity::fromPem(keyPem, chainPem);
    if (!identity) throw std::runtime_error(identity.error().message);
    return std::move(identity.value());
  }
  codesign::TrustAnchor anchor() const {
    auto anchor = codesign::TrustAnchor::fromPem(certPem());
    if (!anchor) throw std::runtime_error(anchor.error().message);
    return std::move(anchor.value());
  }
};

// Issued by `issuer`, or self-signed without one.
inline Credential issue(const CertSpec& spec, const Credential* issuer = nullptr) {
  Credential made;
  made.key.reset(spec.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  made.cert.reset(X509_new());
  X509* cert = made.cert.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), std::random_device()() & 0x7fffffff);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.notBeforeSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.notAfterSeconds);
  X509_set_pubkey(cert, made.key.get());
  for (const auto& [field, value] : spec.subject) {
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  }
  X509* issuerCert = issuer ? issuer->cert.get() : cert;
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
  if (!X509_sign(cert, issuer ? issuer->key.get() : made.key.get(), EVP_sha256())) {
    throw std::runtime_error("X509_sign");
  }
  if (issuer) {
    // The issuer itself travels along unless it is the root.
    if (X509_check_issued(issuer->cert.get(), issuer->cert.get()) != X509_V_OK) {
      made.intermediates.push_back(ossl::upRef(issuer->cert.get()));
    }
    for (const auto& above : issuer->intermediates) {
      made.intermediates.push_back(ossl::upRef(above.get()));
    }
  }
  return made;
}

// A throw-away anchor with one leaf of the team under it, made once per
// test program.
struct TestPki {
  Credential root = issue(caSpec("Test Root"));
  Credential leaf = issue(leafSpec(), &root);
};
inline const TestPki& testPki() {
  static const TestPki pki;
  return pki;
}

// Copies `source` to `target` and signs the copy; returns `target`.
inline std::string signedCopy(const std::string& source, const std::string& target,
                              const Credential& signer, const std::string& identifier) {
  writeFile(target, readFile(source));
  auto status = codesign::signExecutable(target, signer.identity(), identifier);
  if (!status) throw std::runtime_error(status.error().message);
  return target;
}

// Runs a program found through PATH (no argument holds a quote); its exit
// status, with stdout and stderr.
inline int run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  std::string command;
  for (const auto& arg : argv) command += "'" + arg + "' ";
  FILE* pipe = ::popen((command + "2>&1").c_str(), "re");
  if (!pipe) die("popen " + argv[0]);
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    text.append(buffer, got);
  }
  int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A listening Unix socket that other users may connect to.
class Listener {
 public:
  explicit Listener(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    std::strncpy(addr_.sun_path, path.c_str(), sizeof addr_.sun_path - 1);
    if (!fd_ || ::bind(fd_.get(), address(), sizeof addr_) != 0 ||
        ::chmod(path.c_str(), 0777) != 0 || ::listen(fd_.get(), 16) != 0) {
      die("listen on " + path);
    }
  }
  std::string path() const { return addr_.sun_path; }

  // The next connection; invalid after a generous time-out, or once the
  // process behind `pidfd` has exited without connecting.
  UniqueFd accept(int pidfd = -1) const {
    struct pollfd pollers[2] = {{fd_.get(), POLLIN, 0}, {pidfd, POLLIN, 0}};
    if (::poll(pollers, pidfd >= 0 ? 2 : 1, 30000) < 1 || !(pollers[0].revents & POLLIN)) {
      return UniqueFd();
    }
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  // A connection from this very process.
  UniqueFd connectSelf() const {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), address(), sizeof addr_) != 0) die("connect");
    return fd;
  }

 private:
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  UniqueFd fd_;
  sockaddr_un addr_{AF_UNIX, {}};
};

// A peer program (peer_program.cc) connected to a Listener; killed and
// reaped when destroyed.
class Peer {
 public:
  enum class Mode { kStay, kExitAfterConnect };
  static constexpr uid_t kSameUser = static_cast<uid_t>(-1);

  // Runs `executable`, optionally as another user (needs root).
  Peer(const Listener& listener, const std::string& executable, Mode mode = Mode::kStay,
       uid_t asUser = kSameUser) {
    std::string socket = listener.path(), modeArg = mode == Mode::kStay ? "stay" : "exit";
    pid_ = ::fork();
    if (pid_ < 0) die("fork");
    if (pid_ == 0) {
      if (asUser != kSameUser &&
          (::setgroups(0, nullptr) != 0 || ::setgid(asUser) != 0 || ::setuid(asUser) != 0)) {
        ::_exit(126);
      }
      char* argv[] = {const_cast<char*>(executable.c_str()), socket.data(), modeArg.data(),
                      nullptr};
      ::execv(executable.c_str(), argv);
      ::_exit(127);
    }
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    connection_ = listener.accept(pidfd.get());
  }
  ~Peer() {
    connection_.reset();
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  pid_t pid() const { return pid_; }
  int connection() const { return connection_.get(); }
  bool connected() const { return connection_.valid(); }

  // Waits until the peer has exited, leaving it a zombie (not reaped).
  void waitUntilExited() const {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
  }

 private:
  pid_t pid_ = -1;
  UniqueFd connection_;
};

}  // namespace zefra::testing
