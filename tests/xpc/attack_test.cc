// Hostile local programs against the acceptance and the check of every
// frame's sender, built for real: a signed peer that execs or passes its
// connection to an unsigned one, injected libraries, an oversized image.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "codesign/codesign_fixture.h"
#include "codesign/peer_code_checker.h"
#include "platform/ipc_listener.h"
#include "support/temp_dir.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"
#include "xpc/peer_validation.h"

extern char** environ;

namespace zefra::xpc {
namespace {

class PingOnly : public ZefraHelperProtocol {
 public:
  bool offers(Selector) const override { return true; }
  void pingWithReply(PingReply reply) override { reply("1.0"); }
  void toolInventoryWithReply(InventoryReply reply) override { reply({}); }
  void runWithRunID(std::string, std::string, std::vector<std::string>,
                    std::optional<platform::Bytes>, std::optional<std::string>, Environment,
                    RunReply reply) override {
    reply(platform::Bytes(), platform::Bytes(), 0);
  }
  void cancelWithRunID(std::string) override {}
  void prepareForUpdateWithReply(PrepareReply reply) override { reply(true); }
  void installUpdateFromZipAt(std::string, InstallReply reply) override { reply(false, ""); }
};

std::string libmPath() {
  void* handle = ::dlopen("libm.so.6", RTLD_NOW);
  link_map* map = nullptr;
  if (!handle || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return "";
  return map->l_name;
}

class EverySender : public ::testing::TestWithParam<platform::SenderIdentity> {
 protected:
  void SetUp() override {
    platform::ListenerOptions options(dir_.path());
    options.senderCheck = checkSender;
    options.senderIdentity = GetParam();
    listener_ = std::move(platform::Listener::open(
                              "svc",
                              [](platform::ServerConnection& connection) {
                                if (!peerIsTrusted(connection.nativeHandle())) return false;
                                connection.setExportedInterface(makeHelperInterface());
                                connection.setExportedObject(
                                    makeExportedObject(std::make_shared<PingOnly>()));
                                return true;
                              },
                              options)
                              .value());
  }

  // The peer program's exit status: 0 served, 1 refused.
  int run(const std::string& program, std::vector<std::string> args,
          const std::vector<std::string>& extraEnv = {}) {
    args.insert(args.begin(), {program, listener_->path()});
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::vector<char*> argv, envp;
      for (auto& a : args) argv.push_back(a.data());
      for (auto& e : env) envp.push_back(e.data());
      argv.push_back(nullptr);
      envp.push_back(nullptr);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  testing::TempDir dir_;
  std::unique_ptr<platform::Listener> listener_;
};

TEST_P(EverySender, ServesOnlySignedUninjectedSenders) {
  const std::string signedPeer = ZEFRA_TEST_SIGNED_PEER, plain = ZEFRA_TEST_PEER_PROGRAM;
  const std::string libm = libmPath(), copy = dir_.path() + "/libm.so.6";
  ASSERT_FALSE(libm.empty());
  testing::writeFile(copy, testing::readFile(libm));
  struct Row {
    const char* what;
    std::string program;
    std::vector<std::string> args, env;
    int status;
  };
  const std::vector<Row> rows = {
      {"signed", signedPeer, {"ping"}, {}, 0},
      {"unsigned", plain, {"ping"}, {}, 1},
      {"exec of an unsigned program after a ping", signedPeer, {"exec", plain}, {}, 1},
      {"exec of an unsigned program right after connect", signedPeer, {"exec-now", plain}, {}, 1},
      {"exec of a signed program", signedPeer, {"exec", signedPeer}, {}, 0},
      {"descriptor passed to an unsigned process", signedPeer, {"pass", plain}, {}, 1},
      {"descriptor passed to a signed process", signedPeer, {"pass", signedPeer}, {}, 0},
      {"LD_PRELOAD", signedPeer, {"ping"}, {"LD_PRELOAD=" + copy, "ASAN_OPTIONS=verify_asan_link_order=0"}, 1},
      {"LD_LIBRARY_PATH", signedPeer, {"ping"}, {"LD_LIBRARY_PATH=" + dir_.path()}, 1},
      {"library loaded from outside the system's", signedPeer, {"dlopen", copy}, {}, 1},
      {"system library loaded", signedPeer, {"dlopen", "libm.so.6"}, {}, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(run(row.program, row.args, row.env), row.status) << row.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Identity, EverySender,
                         ::testing::Values(platform::SenderIdentity::kCredentials,
                                           platform::SenderIdentity::kPidfd));

TEST(OversizedImage, IsRefusedUnreadAndTheRefusalHeld) {
  testing::TempDir dir;
  testing::Listener listener(dir.path() + "/socket");
  // The unsigned program made 2 GiB sparse, ending in a signed one's block.
  const std::string path = dir.path() + "/huge", tail = testing::readFile(ZEFRA_TEST_SIGNED_PEER);
  testing::writeFile(path, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  {
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    const std::size_t keep = std::min<std::size_t>(tail.size(), 64 << 10);
    ASSERT_EQ(::pwrite(fd.get(), tail.data() + tail.size() - keep, keep, (off_t{2} << 30) - keep),
              static_cast<ssize_t>(keep));
  }
  codesign::PeerCodeChecker checker(codesign::TrustAnchor::compiled().value());
  for (int attempt = 0; attempt < 2; ++attempt) {
    testing::Peer peer(listener, path);
    ASSERT_TRUE(peer.connected());
    auto verdict = checker.check(peer.connection());
    ASSERT_FALSE(verdict);
    EXPECT_NE(verdict.error().message.find("larger than 64 MiB"), std::string::npos)
        << verdict.error().message;
  }
  const auto stats = checker.stats();
  EXPECT_EQ(stats.verified, 0u) << "nothing hashed";
  EXPECT_EQ(stats.oversized, 1u);
  EXPECT_EQ(stats.refusalHits, 1u) << "the second connect is answered from the cache";
}

}  // namespace
}  // namespace zefra::xpc
