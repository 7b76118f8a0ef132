// Who is served: the whole check of a connecting peer under the compiled
// anchor, with real processes started from executables signed in every way
// that matters; then hostile local programs against that admission and the
// binding of a connection to its process and program, built for real as an
// unprivileged user would: exec and descriptor hand-over, injected
// libraries (through the environment, or a mount namespace of the
// attacker's own), a sender named by a process that administers its own pid
// namespace, frames written before an exec, images that must cost no hash.
#include "xpc/acceptance/peer_validation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "codesign/peer_code_checker.h"
#include "ipc/framed_socket.h"
#include "ipc/listener.h"
#include "support/codesign_fixture.h"
#include "support/eventually.h"
#include "support/fork_exec.h"
#include "support/ping_only_helper.h"
#include "support/temp_dir.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

extern char** environ;

namespace zefra::xpc {
namespace {

using testing::CertSpec;
using testing::Credential;
using testing::Peer;

std::string libmPath() {
  void* handle = ::dlopen("libm.so.6", RTLD_NOW);
  link_map* map = nullptr;
  if (!handle || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return "";
  return std::filesystem::canonical(map->l_name).string();
}

// Binds ZEFRA_LIB over ZEFRA_OVER and, with ZEFRA_PRELOAD, puts an
// /etc/ld.so.preload naming it in an overlay over /etc; then runs the peer.
constexpr const char* kPrivateMounts =
    "set -e; mount --bind \"$ZEFRA_LIB\" \"$ZEFRA_OVER\"; if [ -n \"$ZEFRA_PRELOAD\" ]; then "
    "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$ZEFRA_UP,workdir=$ZEFRA_WORK\" /etc; "
    "echo \"$ZEFRA_PRELOAD\" > /etc/ld.so.preload; fi; exec \"$@\"";

class EverySender : public ::testing::TestWithParam<ipc::SenderIdentity> {
 protected:
  void SetUp() override {
    ipc::ListenerOptions options(dir_.path());
    options.admission = admitPeer;
    options.senderIdentity = GetParam();
    listener_ = std::move(ipc::Listener::open(
                              "svc",
                              [](ipc::ServerConnection& connection) {
                                connection.setExportedInterface(makeHelperInterface());
                                connection.setExportedObject(makeExportedObject(
                                    std::make_shared<zefra::testing::PingOnlyHelper>()));
                                return connection.peerAdmitted();
                              },
                              options)
                              .value());
  }

  // The peer program's exit status (0 served, 1 refused), run as
  // `wrapper... program socket args...`.
  int run(const std::string& program, std::vector<std::string> args,
          const std::vector<std::string>& extraEnv = {}, std::vector<std::string> wrapper = {},
          std::atomic<pid_t>* started = nullptr) {
    args.insert(args.begin(), {program, listener_->path()});
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e), name = entry.substr(0, entry.find('=') + 1);
      if (std::none_of(extraEnv.begin(), extraEnv.end(),
                       [&](const std::string& own) { return own.starts_with(name); })) {
        env.emplace_back(entry);
      }
    }
    const pid_t pid = testing::forkExec(std::move(args), std::move(env));
    if (started) *started = pid;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  testing::TempDir dir_;
  std::unique_ptr<ipc::Listener> listener_;
  const std::string signed_ = ZEFRA_TEST_SIGNED_PEER, plain_ = ZEFRA_TEST_PEER_PROGRAM;
};

TEST_P(EverySender, ServesOnlyTheAdmittedProcessAndProgram) {
  const std::string libm = libmPath(), copy = dir_.path() + "/libm.so.6";
  ASSERT_FALSE(libm.empty());
  testing::writeFile(copy, testing::readFile(libm));
  // A folder of the system's library tree for the attacker to cover.
  std::string folder;
  for (const char* candidate : {"/usr/lib/mime", "/usr/lib/locale", "/usr/lib/os-release"}) {
    if (std::filesystem::is_directory(candidate)) folder = candidate;
  }
  ASSERT_FALSE(folder.empty());
  for (const char* sub : {"/lib", "/up", "/work"})
    std::filesystem::create_directory(dir_.path() + sub);
  testing::writeFile(dir_.path() + "/lib/libzefra-injected.so", testing::readFile(libm));
  const std::vector<std::string> ownMounts = {"/usr/bin/unshare", "-Urm", "/bin/sh", "-c",
                                              kPrivateMounts,     "sh"};
  const std::vector<std::string> mountEnv = {"ZEFRA_UP=" + dir_.path() + "/up",
                                             "ZEFRA_WORK=" + dir_.path() + "/work",
                                             // The runtime checks its place among the libraries;
                                             // the peer is refused, not the sanitizer's run.
                                             "ASAN_OPTIONS=verify_asan_link_order=0"};
  auto mounts = [&](std::vector<std::string> env) {
    env.insert(env.end(), mountEnv.begin(), mountEnv.end());
    return env;
  };
  struct Row {
    const char* what;
    std::string program;
    std::vector<std::string> args, env, wrapper;
    int status;
  };
  const std::vector<Row> rows = {
      {"signed", signed_, {"ping"}, {}, {}, 0},
      {"unsigned", plain_, {"ping"}, {}, {}, 1},
      {"exec of an unsigned program after a ping", signed_, {"exec", plain_}, {}, {}, 1},
      {"exec of an unsigned program right after connect", signed_, {"exec-now", plain_}, {}, {}, 1},
      {"exec of a signed program", signed_, {"exec", signed_}, {}, {}, 1},
      {"descriptor passed to an unsigned process", signed_, {"pass", plain_}, {}, {}, 1},
      {"descriptor passed to a signed process", signed_, {"pass", signed_}, {}, {}, 1},
      {"LD_PRELOAD", signed_, {"ping"}, {"LD_PRELOAD=" + copy, mountEnv.back()}, {}, 1},
      {"LD_LIBRARY_PATH", signed_, {"ping"}, {"LD_LIBRARY_PATH=" + dir_.path()}, {}, 1},
      {"library loaded from outside the system's", signed_, {"dlopen", copy}, {}, {}, 1},
      {"system library loaded", signed_, {"dlopen", "libm.so.6"}, {}, {}, 0},
      {"a mount namespace of its own",
       signed_,
       {"ping"},
       mounts({"ZEFRA_LIB=" + libm, "ZEFRA_OVER=" + libm}),
       ownMounts,
       0},
      {"preloaded through a private /etc/ld.so.preload from a folder bound over the system's",
       signed_,
       {"ping"},
       mounts({"ZEFRA_LIB=" + dir_.path() + "/lib", "ZEFRA_OVER=" + folder,
               "ZEFRA_PRELOAD=" + folder + "/libzefra-injected.so"}),
       ownMounts,
       1},
      {"a system library replaced by a copy in a mount namespace",
       signed_,
       {"ping"},
       mounts({"ZEFRA_LIB=" + copy, "ZEFRA_OVER=" + libm}),
       ownMounts,
       1},
      // Root of its own user and pid namespace, the unsigned process may
      // name any process of that namespace as the sender.
      {"sender named by an unsigned process in its own pid namespace",
       signed_,
       {"pass", plain_, "forge"},
       {},
       {"/usr/bin/unshare", "-Urp", "--fork"},
       1},
  };
  // Where user namespaces are switched off, nobody can build those attacks.
  const bool namespaces = testing::run({"unshare", "-Urm", "true"}) == 0;
  for (const Row& row : rows) {
    if (!row.wrapper.empty() && !namespaces) continue;
    EXPECT_EQ(run(row.program, row.args, row.env, row.wrapper), row.status) << row.what;
  }
}

TEST_P(EverySender, NothingWrittenBeforeTheAdmittedProgramRanIsServed) {
  // An unsigned program connects, writes a call, forks a reader and execs
  // the signed peer, which only waits; the helper, stopped meanwhile (its
  // I/O thread held here), accepts only after the exec. The reader's
  // answer to the nonce comes from another process.
  std::atomic<pid_t> attacker{0};
  std::promise<void> held, released;
  asio::post(ipc::ipcContext(), [&, signedPeer = signed_] {
    held.set_value();
    testing::eventually([&] {
      std::error_code error;
      const pid_t pid = attacker;
      return pid && std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) ==
                        signedPeer;
    });
    released.set_value();
  });
  held.get_future().wait();
  EXPECT_EQ(run(plain_, {"prelude", signed_}, {}, {}, &attacker), 1);
  released.get_future().wait();
}

INSTANTIATE_TEST_SUITE_P(Identity, EverySender,
                         ::testing::Values(ipc::SenderIdentity::kCredentials,
                                           ipc::SenderIdentity::kPidfd));

// An image that is not validly signed by the team costs no hash, even when it
// changes its timestamps before every connect (the refusal cache never hits).
TEST(UnsignedImages, AreRefusedWithoutAHash) {
  testing::TempDir dir;
  testing::Listener listener(dir.path() + "/socket");
  const std::string program = testing::readFile(ZEFRA_TEST_PEER_PROGRAM),
                    signedBytes = testing::readFile(ZEFRA_TEST_SIGNED_PEER);
  auto block = [&](const std::string& path) {
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    auto located = codesign::locateBlock(fd.get()).value().value();
    return signedBytes.substr(located.codeLength);
  }(ZEFRA_TEST_SIGNED_PEER);
  // The unsigned program grown to `size` (sparse), ending in `tail`.
  auto image = [&](const std::string& name, off_t size, const std::string& tail) {
    const std::string path = dir.path() + "/" + name;
    testing::writeFile(path, program);
    base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(::pwrite(fd.get(), tail.data(), tail.size(), size - static_cast<off_t>(tail.size())),
              static_cast<ssize_t>(tail.size()));
    return path;
  };
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"unsigned", image("plain", static_cast<off_t>(program.size()), "")},
      {"64 MiB ending in a signed program's block", image("padded", 64 << 20, block)},
      {"2 GiB, larger than any program of ours", image("huge", off_t{2} << 30, block)},
  };
  codesign::PeerCodeChecker checker(codesign::TrustAnchor::compiled().value());
  for (const auto& [what, path] : rows) {
    for (int second = 1; second <= 3; ++second) {
      const struct timespec times[2] = {{second, 0}, {second, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
      Peer peer(listener, path);
      ASSERT_TRUE(peer.connected()) << what;
      EXPECT_FALSE(checker.check(peer.connection())) << what;
    }
  }
  const auto stats = checker.stats();
  EXPECT_EQ(stats.verified, 0u) << "nothing hashed";
  EXPECT_EQ(stats.oversized, 3u);
  EXPECT_EQ(stats.unhashed, 3 * (rows.size() - 1));
}

class PeerValidationTest : public ::testing::Test {
 protected:
  std::string signedBy(const Credential& signer) {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM,
                               dir_.path() + "/peer" + std::to_string(++files_), signer,
                               "com.ovak.zefra.test");
  }
  bool trusted(const std::string& executable) {
    Peer peer(listener_, executable);
    EXPECT_TRUE(peer.connected()) << executable;
    return peerIsTrusted(peer.connection());
  }

  // The compiled anchor's key, to issue more leaves; none for a release anchor.
  const std::unique_ptr<Credential> anchor_ =
      std::string(ZEFRA_TEST_ANCHOR_KEY).empty()
          ? nullptr
          : std::make_unique<Credential>(
                Credential::load(ZEFRA_TEST_ANCHOR_FILE, ZEFRA_TEST_ANCHOR_KEY));
  testing::TempDir dir_;
  testing::Listener listener_{dir_.path() + "/socket"};
  int files_ = 0;
};

// Damaged signatures, expired certificates and peers that exit are the
// codesign tests'; here the whole check under the compiled anchor.
TEST_F(PeerValidationTest, AcceptsOnlyCodeOfTheTeamUnderTheCompiledAnchor) {
  EXPECT_TRUE(trusted(ZEFRA_TEST_SIGNED_PEER)) << "signed by the build";
  std::string plain = dir_.path() + "/plain";
  testing::writeFile(plain, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  Credential otherRoot = testing::issue(testing::caSpec("Other Anchor"));
  std::vector<std::pair<const char*, std::string>> refused = {
      {"unsigned", plain},
      {"another anchor", signedBy(testing::issue(testing::leafSpec(), &otherRoot))},
  };
  if (anchor_) {  // leaves under the compiled anchor need its key
    Credential intermediate = testing::issue(testing::caSpec("Team Intermediate"), anchor_.get());
    EXPECT_TRUE(trusted(signedBy(testing::issue(testing::leafSpec(), &intermediate))));
    CertSpec notCa = testing::caSpec("Not A CA"), tlsOnly = testing::caSpec("TLS Intermediate");
    notCa.ca = false;
    tlsOnly.extendedKeyUsage = "serverAuth";
    Credential notCaIssuer = testing::issue(notCa, anchor_.get());
    Credential tlsIssuer = testing::issue(tlsOnly, anchor_.get());
    const std::string cn = "Zefra Tests Code Signing", usage = "critical,digitalSignature";
    const std::vector<std::pair<const char*, CertSpec>> leaves = {
        {"another team", testing::leafSpec({"Z9Z9Z9Z9Z9"})},
        {"team in lower case", testing::leafSpec({"k4t9qz2m7b"})},
        {"team with a trailing space", testing::leafSpec({"K4T9QZ2M7B "})},
        {"two teams", testing::leafSpec({testing::kTeam, "Z9Z9Z9Z9Z9"})},
        {"the team twice", testing::leafSpec({testing::kTeam, testing::kTeam})},
        {"no team", testing::leafSpec({})},
        {"no code signing usage", {{testing::kTeam}, cn, false, usage, "clientAuth"}},
        {"no extended key usage", {{testing::kTeam}, cn, false, usage, ""}},
        {"no digital signature", {{testing::kTeam}, cn, false, "keyAgreement", "codeSigning"}},
        {"a CA as leaf",
         {{testing::kTeam}, cn, true, "digitalSignature,keyCertSign", "codeSigning"}},
    };
    for (const auto& [what, spec] : leaves) {
      refused.emplace_back(what, signedBy(testing::issue(spec, anchor_.get())));
    }
    refused.insert(
        refused.end(),
        {{"issuer that is no CA", signedBy(testing::issue(testing::leafSpec(), &notCaIssuer))},
         {"issuer limited to TLS", signedBy(testing::issue(testing::leafSpec(), &tlsIssuer))},
         {"the anchor itself", signedBy(*anchor_)}});
  }
  for (const auto& [name, executable] : refused) EXPECT_FALSE(trusted(executable)) << name;
}

// This test program is signed by the build like the helper is, which may
// connect to itself; what is no connected socket is never trusted.
TEST_F(PeerValidationTest, TheHelperMayConnectToItselfAndNoSocketIsTrusted) {
  base::UniqueFd client = listener_.connectSelf();
  base::UniqueFd accepted = listener_.accept();
  ASSERT_TRUE(accepted.valid());
  EXPECT_TRUE(peerIsTrusted(accepted.get()));
  EXPECT_EQ(peerProcessIdentifier(accepted.get()), ::getpid());
  EXPECT_FALSE(peerIsTrusted(-1));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  base::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  EXPECT_FALSE(peerIsTrusted(readEnd.get()));
  EXPECT_FALSE(peerProcessIdentifier(readEnd.get()));
}

}  // namespace
}  // namespace zefra::xpc
