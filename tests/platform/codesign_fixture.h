#pragma once

// Test support for code signing: certificates made on the spot with the
// OpenSSL API, scratch directories, and peer processes that connect to a
// listening socket. Kept free of gtest so that the benchmarks can use it.

#include <fcntl.h>
#include <grp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/code_sign.h"
#include "platform/code_verify.h"
#include "platform/openssl_util.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace zefra::testing {

namespace ossl = platform::ossl;
using platform::UniqueFd;

inline constexpr const char* kTeam = "K4T9QZ2M7B";

[[noreturn]] inline void die(const std::string& what) {
  throw std::runtime_error(what + " (" + std::strerror(errno) + ")");
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, std::string_view bytes, mode_t mode = 0755) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) die("cannot write " + path);
}

// Writes to a sibling and renames it over `path`: the inode changes, as when
// a package manager replaces a file that may be running.
inline void replaceFile(const std::string& path, std::string_view bytes) {
  writeFile(path + ".new", bytes);
  if (::rename((path + ".new").c_str(), path.c_str()) != 0) die("cannot replace " + path);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zefra-sig-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) die("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------
// Certificates

struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject;  // in order, bytes as given
  bool ca = false;
  std::string keyUsage = "critical,digitalSignature";  // "" leaves it out
  std::string extendedKeyUsage = "codeSigning";        // "" leaves it out
  long notBeforeSeconds = -3600;                       // relative to now
  long notAfterSeconds = 365L * 86400;
};

inline CertSpec caSpec(const std::string& commonName) {
  CertSpec spec;
  spec.subject = {{"O", "Zefra Tests"}, {"CN", commonName}};
  spec.ca = true;
  spec.keyUsage = "critical,keyCertSign,cRLSign";
  spec.extendedKeyUsage = "";
  return spec;
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

  Credential() = default;
  Credential(Credential&&) = default;
  Credential& operator=(Credential&&) = default;
  Credential(const Credential& other) : cert(ossl::upRef(other.cert.get())) {
    EVP_PKEY_up_ref(other.key.get());
    key.reset(other.key.get());
    for (const auto& intermediate : other.intermediates) {
      intermediates.push_back(ossl::upRef(intermediate.get()));
    }
  }

  std::string certPem() const { return ossl::toPem(cert.get()); }
  std::string keyPem() const {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
  }
  std::string chainPem() const {
    std::string pem = certPem();
    for (const auto& cert : intermediates) pem += ossl::toPem(cert.get());
    return pem;
  }
  platform::SigningIdentity identity() const {
    auto identity = platform::SigningIdentity::fromPem(keyPem(), chainPem());
    if (!identity) throw std::runtime_error(identity.error().message);
    return std::move(identity.value());
  }
  platform::TrustAnchor anchor() const {
    auto anchor = platform::TrustAnchor::fromPem(certPem());
    if (!anchor) throw std::runtime_error(anchor.error().message);
    return std::move(anchor.value());
  }
};

inline void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  if (value.empty()) return;
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  if (!ext || !X509_add_ext(cert, ext, -1)) throw std::runtime_error("extension " + value);
  X509_EXTENSION_free(ext);
}

// Issued by `issuer`, or self-signed without one.
inline Credential issue(const CertSpec& spec, const Credential* issuer = nullptr) {
  Credential made;
  made.key.reset(EVP_EC_gen("P-256"));
  made.cert.reset(X509_new());
  X509* cert = made.cert.get();
  X509_set_version(cert, 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  ossl::Deleter<BN_free> freeBn;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
  freeBn(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.notBeforeSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.notAfterSeconds);
  X509_set_pubkey(cert, made.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  for (const auto& [field, value] : spec.subject) {
    X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  }
  X509* issuerCert = issuer ? issuer->cert.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuerCert, cert, nullptr, nullptr, 0);
  addExtension(cert, &ctx, NID_basic_constraints,
               spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  addExtension(cert, &ctx, NID_key_usage, spec.keyUsage);
  addExtension(cert, &ctx, NID_ext_key_usage, spec.extendedKeyUsage);
  addExtension(cert, &ctx, NID_subject_key_identifier, "hash");
  if (issuer) addExtension(cert, &ctx, NID_authority_key_identifier, "keyid");
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

// A credential from PEM files (the build's development PKI).
inline Credential loadCredential(const std::string& certPath, const std::string& keyPath) {
  Credential loaded;
  auto certs = ossl::readCertificates(readFile(certPath));
  auto key = ossl::readPrivateKey(readFile(keyPath));
  if (!certs || !key) throw std::runtime_error("cannot load " + certPath);
  loaded.cert = std::move(certs.value()[0]);
  for (std::size_t i = 1; i < certs->size(); ++i) {
    loaded.intermediates.push_back(std::move(certs.value()[i]));
  }
  loaded.key = std::move(key.value());
  return loaded;
}

// ---------------------------------------------------------------------------
// Files

// Copies `source` to `target` and signs the copy.
inline void signedCopy(const std::string& source, const std::string& target,
                       const Credential& signer, const std::string& identifier) {
  writeFile(target, readFile(source));
  auto status = platform::signExecutable(target, signer.identity(), identifier);
  if (!status) throw std::runtime_error(status.error().message);
}

inline int run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) die("pipe2");
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    errno = spawned;
    die("posix_spawn " + argv[0]);
  }
  writeEnd.reset();
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(readEnd.get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------
// Peers

// A listening Unix socket in a directory others may enter too.
class Listener {
 public:
  explicit Listener(const std::string& path) : path_(path) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0777) != 0 || ::listen(fd_.get(), 16) != 0) {
      die("listen on " + path);
    }
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

  // A connection from this very process.
  UniqueFd connectSelf() const {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("connect");
    return fd;
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// A peer program connected to a Listener; killed and reaped when destroyed.
class Peer {
 public:
  enum class Mode { kStay, kExitAfterConnect };

  // Runs `executable` as a child, optionally as another user (needs root).
  static Peer start(const Listener& listener, const std::string& executable,
                    Mode mode = Mode::kStay, uid_t asUser = static_cast<uid_t>(-1)) {
    Peer peer;
    std::string modeArg = mode == Mode::kStay ? "stay" : "exit";
    pid_t pid = ::fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
      if (asUser != static_cast<uid_t>(-1) &&
          (::setgroups(0, nullptr) != 0 || ::setgid(asUser) != 0 || ::setuid(asUser) != 0)) {
        ::_exit(126);
      }
      char* argv[] = {const_cast<char*>(executable.c_str()),
                      const_cast<char*>(listener.path().c_str()), modeArg.data(), nullptr};
      ::execve(executable.c_str(), argv, environ);
      ::_exit(127);
    }
    peer.pid_ = pid;
    // Gives up as soon as the child exits without connecting.
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    peer.connection_ = listener.accept(pidfd.get());
    return peer;
  }

  Peer() = default;
  Peer(Peer&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), connection_(std::move(other.connection_)) {}
  Peer& operator=(Peer&&) = delete;
  ~Peer() {
    connection_.reset();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }

  pid_t pid() const { return pid_; }
  int connection() const { return connection_.get(); }
  bool connected() const { return connection_.valid(); }

  // Waits until the peer has exited; it stays a zombie (not reaped).
  void waitUntilExited() const {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
  }
  void killAndWait() const {
    ::kill(pid_, SIGKILL);
    waitUntilExited();
  }

 private:
  pid_t pid_ = -1;
  UniqueFd connection_;
};

}  // namespace zefra::testing
