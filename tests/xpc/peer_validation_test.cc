// Who is served: the whole check of a connecting peer under the compiled
// anchor, with real processes started from executables signed in every way
// that matters; then hostile local programs against that admission and the
// binding of a connection to its process and program, built for real as an
// unprivileged user would: exec and descriptor hand-over, injected
// libraries (through the environment, or a mount namespace of the
// attacker's own), frames written before an exec, images that must cost no
// hash; and the code checker's own rules: the running image, the peer's user
// and life, the cache of verdicts and its hashing slots. What is served then
// passes the helper's interface, whose class sets and shapes come first.
#include "xpc/acceptance/peer_validation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "codesign/code_file_systems.h"
#include "codesign/peer_code_checker.h"
#include "ipc/io_thread.h"
#include "ipc/listener.h"
#include "platform/files/files.h"
#include "platform/process/child_process.h"
#include "platform/process/mount_table.h"
#include "platform/process/peer_process.h"
#include "support/codesign_fixture.h"
#include "support/eventually.h"
#include "support/listening_socket.h"
#include "support/ping_only_helper.h"
#include "support/temp_dir.h"
#include "wire/message.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"
#include "xpc/run_options_wire.h"

namespace zefra::xpc {
namespace {

namespace fs = std::filesystem;
using codesign::PeerCodeChecker;
using platform::identifyPeer;
using platform::PeerProcess;
using testing::CertSpec;
using testing::Credential;
using testing::kTeam;
using testing::Peer;
using wire::IpcValue;
using S = Selector;

const auto str = [](const char* text) { return IpcValue::string(text); };
const auto data = [](const char* bytes) { return IpcValue::data(Bytes::copy(bytes)); };
const auto list = [](std::vector<IpcValue> values) { return IpcValue::array(std::move(values)); };
const auto dict = [](const char* key, IpcValue v) {
  return IpcValue::map({{str(key), std::move(v)}});
};
const auto integer = [](std::int64_t value) { return IpcValue::integer(value); };

const char* kRun = "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:";

// A run's arguments with the one at `index` replaced, or the options added.
std::vector<IpcValue> runWith(std::size_t index, IpcValue value) {
  std::vector<IpcValue> arguments = {
      str("run-1"),    str("pandoc"), list({str("-o"), str("out.pdf")}),
      data("# Title"), str("/tmp"),   dict("LANG", str("C"))};
  arguments.resize(std::max(arguments.size(), index + 1));
  arguments[index] = std::move(value);
  return arguments;
}

TEST(HelperInterface, ClassSetsReachIntoCollectionsArityAndTheOneWayRule) {
  // The selector, whether the values are its reply's, the values, admitted.
  // The helper's own replies pass the client's check in the proxy and
  // end-to-end tests; here what they must not be.
  const std::vector<std::tuple<S, bool, std::vector<IpcValue>, bool>> rows = {
      {S::kRun, false, runWith(0, str("run-1")), true},
      {S::kRun, false, runWith(0, data("id")), false},
      {S::kRun, false, runWith(2, list({data("b")})), false},
      {S::kRun, false, runWith(2, list({IpcValue()})), false},
      {S::kRun, false, runWith(3, str("text")), false},
      {S::kRun, false, runWith(5, dict("N", data("1"))), false},
      {S::kRunWithOptions, false, runWith(6, IpcValue()), true},
      {S::kRunWithOptions, false, runWith(6, dict("stream", data("1"))), false},
      {S::kToolInventory, true, {dict("t", dict("v", data("x")))}, false},
      {S::kPing, true, {data("2.0")}, false},
      {S::kPing, false, {str("x")}, false},
      {S::kPrepareForUpdate, true, {integer(1)}, false},
      {S::kRun, true, {data("out"), data(""), integer(1LL << 31)}, false},
      {S::kRun, true, {data("out"), data(""), IpcValue()}, false},
  };
  std::shared_ptr<Interface> interface = makeHelperInterface();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& [selector, ofReply, values, admitted] = rows[i];
    const std::string name = selectorName(selector);
    const bool got = ofReply ? interface->checkReply(name, values).ok()
                             : interface->checkCall(name, values).ok();
    EXPECT_EQ(got, admitted) << "row " << i;
  }
  EXPECT_TRUE(interface->checkCall(kRun, std::vector<IpcValue>(6)).ok()) << "nil at the top";
  EXPECT_FALSE(interface->checkCall("pingWithReply", {}).ok()) << "unknown selector";
  EXPECT_FALSE(interface->checkReply("cancelWithRunID:", {}).ok()) << "cancel has no reply";
  // Only cancel is one-way: it alone may, and must, come with call ID 0.
  EXPECT_EQ(interface->checkCall("cancelWithRunID:", {str("r")}).value(), false);
}

// Nil reads as empty; what the class sets admit yet is not the declared
// shape is refused before the method is entered. The options dictionary
// admits numbers, booleans and the list of folders, nowhere else they could
// hide; its keys and kinds are read strictly. That absent and empty input
// cross as themselves, the proxy's test shows through the transport; that
// each option reaches the run, the built client's (end-to-end tests).
TEST(HelperInterface, BindingReadsNilAsEmptyAndRefusesOtherShapesAndOptions) {
  ExportedObject object(std::make_shared<zefra::testing::PingOnlyHelper>());
  EXPECT_TRUE(object.bind(kRun, std::vector<IpcValue>(6), {}).ok());
  EXPECT_EQ(readRunOptions(IpcValue()).value().outputLimit, std::nullopt);
  for (const auto& arguments :
       {runWith(2, str("-o")), runWith(2, list({list({str("a")})})), runWith(5, str("LANG=C")),
        runWith(5, dict("A", dict("B", str(""))))}) {
    EXPECT_FALSE(object.bind(kRun, arguments, {}).ok());
  }
  const auto yes = IpcValue::boolean(true);
  for (const IpcValue& options :
       {dict("stream", integer(1)), dict("timeout", IpcValue::real(-1)),
        dict("timeout", IpcValue::real(std::numeric_limits<double>::quiet_NaN())),
        dict("outputLimit", integer(-1)), dict("outputLimit", IpcValue::real(1)),
        dict("memoryLimit", integer(1)), IpcValue::map({{integer(1), yes}}), yes,
        dict("confine", str("/a")), dict("confine", list({integer(1)}))}) {
    EXPECT_FALSE(object.bind(selectorName(S::kRunWithOptions), runWith(6, options), {}).ok());
  }
}

// Binds ZEFRA_LIB over ZEFRA_OVER and, with ZEFRA_PRELOAD, puts an
// /etc/ld.so.preload naming it in an overlay over /etc; then runs the peer.
constexpr const char* kPrivateMounts =
    "set -e; mount --bind \"$ZEFRA_LIB\" \"$ZEFRA_OVER\"; if [ -n \"$ZEFRA_PRELOAD\" ]; then "
    "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$ZEFRA_UP,workdir=$ZEFRA_WORK\" /etc; "
    "echo \"$ZEFRA_PRELOAD\" > /etc/ld.so.preload; fi; exec \"$@\"";
// Copies ZEFRA_PROGRAM into a tmpfs on ZEFRA_AT, holds it on descriptor 3 and
// detaches the mount; then runs the peer (/proc/self/fd/3), whose code lies
// on a device its mounts no longer list.
constexpr const char* kDetachedMount =
    "set -e; mount -t tmpfs none \"$ZEFRA_AT\"; cp \"$ZEFRA_PROGRAM\" \"$ZEFRA_AT/peer\"; "
    "exec 3<\"$ZEFRA_AT/peer\"; umount -l \"$ZEFRA_AT\"; exec \"$@\"";

// A peer that leaves for a user namespace of its own while its program is
// looked at, where it could make /proc name a signed file as that program, is
// refused however the check went. The peer, a child, reads its connection:
// the nonce comes to a served peer, the end to a refused one.
TEST(SenderGateTest, APeerThatLeavesOurUserNamespaceDuringItsCheckIsRefused) {
  testing::TempDir dir;
  int channel[2];  // the test's end, the peer's
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
  ipc::ListenerOptions options(dir.path());
  std::promise<void> asked;
  options.admission = [&](std::shared_ptr<const PeerProcess>, std::function<void(Status)> done) {
    char left = 0;
    if (::write(channel[0], "u", 1) != 1 || ::read(channel[0], &left, 1) != 1) left = 0;
    done(left == 'y' ? Status(Ok{}) : Status(Error{EPERM, "the peer could not leave"}));
    asked.set_value();
  };
  auto listener = ipc::Listener::open(
      "svc", [](ipc::ServerConnection&) { return true; }, options);
  ASSERT_TRUE(listener);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const base::UniqueFd socket = testing::connectTo((*listener)->path());
    char byte;
    if (!socket || ::read(channel[1], &byte, 1) != 1) ::_exit(2);
    const bool left = ::unshare(CLONE_NEWUSER) == 0;
    if (::write(channel[1], left ? "y" : "n", 1) != 1 || !left) ::_exit(3);
    ::_exit(::read(socket.get(), &byte, 1) > 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  for (int fd : channel) ::close(fd);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "no user namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 1) << "served after leaving our user namespace";
}

class EverySender : public ::testing::TestWithParam<ipc::SenderIdentity> {
 protected:
  void SetUp() override {
    ipc::ListenerOptions options(dir_.path());
    options.admission = admitPeer;
    options.senderIdentity = GetParam();
    auto serve = [](ipc::ServerConnection& connection) {
      connection.setExportedInterface(makeHelperInterface());
      connection.setExportedObject(makeExportedObject(std::make_shared<testing::PingOnlyHelper>()));
      return connection.peerAdmitted();
    };
    listener_ = ipc::Listener::open("svc", serve, options).value();
  }
  // The btrfs a test may have mounted goes before its folder.
  void TearDown() override { (void)::umount2((dir_.path() + "/btrfs").c_str(), MNT_DETACH); }

  // `program socket args...` through env(1) after `prefix`: variables to
  // set, then perhaps a wrapper command. The sanitizer's runtime checks its
  // place among the libraries: the peer is to be refused, not its run.
  std::vector<std::string> peer(const std::string& program, const std::vector<std::string>& args,
                                std::vector<std::string> prefix = {}) {
    prefix.insert(prefix.begin(), {"/usr/bin/env", "ASAN_OPTIONS=verify_asan_link_order=0"});
    prefix.insert(prefix.end(), {program, listener_->path()});
    prefix.insert(prefix.end(), args.begin(), args.end());
    return prefix;
  }
  // The exit status of `command` (of the peer program: 0 served, 1 refused),
  // or the signal that ended it; its process is `started_` meanwhile.
  int run(std::vector<std::string> command) {
    platform::SpawnOptions options;
    options.executable = command.front();
    options.arguments.assign(command.begin() + 1, command.end());
    platform::ChildProcess peer = platform::spawnProcess(options).value();
    started_ = peer.pid();
    return peer.wait();
  }

  testing::TempDir dir_;
  std::unique_ptr<ipc::Listener> listener_;
  std::atomic<pid_t> started_{0};
  const std::string signed_ = ZEFRA_TEST_SIGNED_PEER, plain_ = ZEFRA_TEST_PEER_PROGRAM;
};

TEST_P(EverySender, ServesOnlyTheAdmittedProcessAndProgram) {
  link_map* loaded = nullptr;
  ASSERT_EQ(::dlinfo(::dlopen("libm.so.6", RTLD_NOW), RTLD_DI_LINKMAP, &loaded), 0);
  // A copy of a system library, in a folder to bind over a folder of the
  // system's library tree.
  const std::string libm = fs::canonical(loaded->l_name),
                    copy = dir_.path() + "/lib/libzefra-injected.so",
                    folder =
                        fs::is_directory("/usr/lib/locale") ? "/usr/lib/locale" : "/usr/lib/mime";
  for (const char* sub : {"/lib", "/up", "/work"}) fs::create_directory(dir_.path() + sub);
  testing::writeFile(copy, testing::readFile(libm));
  // In a mount namespace of its own, which a peer gets from a privileged
  // parent only (the test runs as root): in a user namespace of its own it
  // is refused before its code is looked at.
  auto mounted = [&](const std::string& lib, const std::string& over, const std::string& preload) {
    return peer(signed_, {"ping"},
                {"ZEFRA_LIB=" + lib, "ZEFRA_OVER=" + over, "ZEFRA_PRELOAD=" + preload,
                 "ZEFRA_UP=" + dir_.path() + "/up", "ZEFRA_WORK=" + dir_.path() + "/work",
                 "/usr/bin/unshare", "-m", "/bin/sh", "-c", kPrivateMounts, "sh"});
  };
  const std::vector<std::tuple<const char*, std::vector<std::string>, int>> rows = {
      {"signed", peer(signed_, {"ping"}), 0},
      {"unsigned", peer(plain_, {"ping"}), 1},
      {"exec of an unsigned program right after connect", peer(signed_, {"exec-now", plain_}), 1},
      // Once admitted, the connection is its process's and program's: even a
      // signed program after an exec or in another process is refused (an
      // unsigned one all the more).
      {"exec of a signed program after a ping", peer(signed_, {"exec", signed_}), 1},
      {"the connection handed on to a signed child process", peer(signed_, {"pass", signed_}), 1},
      // A system library, so that only the loader's instructions show it.
      {"LD_PRELOAD", peer(signed_, {"ping"}, {"LD_PRELOAD=" + libm}), 1},
      {"library loaded from outside the system's", peer(signed_, {"dlopen", copy}), 1},
      {"a mount namespace of its own", mounted(libm, libm, ""), 0},
      // Its own user namespace lets it make /proc name a signed file as its
      // program, whatever it runs; and an unprivileged peer needs one for a
      // pid namespace of its own, where it could name others as the sender.
      {"a user namespace of its own", peer(signed_, {"ping"}, {"/usr/bin/unshare", "-Ur"}), 1},
      // Only a privileged parent gives one without a user namespace.
      {"a pid namespace of its own", peer(signed_, {"ping"}, {"/usr/bin/unshare", "-p", "--fork"}),
       1},
      {"preloaded through a private /etc/ld.so.preload from a folder bound over the system's",
       mounted(dir_.path() + "/lib", folder, folder + "/libzefra-injected.so"), 1},
      {"a system library replaced by a copy in a mount namespace", mounted(copy, libm, ""), 1},
      {"a signed program on a mount its namespace no longer lists",
       peer("/proc/self/fd/3", {"ping"},
            {"ZEFRA_PROGRAM=" + signed_, "ZEFRA_AT=" + dir_.path() + "/work", "/usr/bin/unshare",
             "-m", "/bin/sh", "-c", kDetachedMount, "sh"}),
       1},
      // Its stat names a subvolume's device, its mappings the file system's.
      {"a signed program on btrfs", peer(dir_.path() + "/btrfs/peer", {"ping"}), 0},
  };
  // Mounted in our own mounts, where its tools and driver are, for the time
  // of the test: in a mount namespace of the peer's own, a path there could
  // name another subvolume's file of the same inode number.
  const std::string btrfsAt = dir_.path() + "/btrfs";
  const bool btrfs =
      testing::run({"/bin/sh", "-c",
                    "PATH=$PATH:/usr/sbin:/sbin; mkdir \"$1\"; "
                    "truncate -s 128M \"$1.img\" && mkfs.btrfs -q \"$1.img\" >/dev/null && "
                    "mount -o loop \"$1.img\" \"$1\" && cp \"$0\" \"$1/peer\"",
                    signed_, btrfsAt}) == 0;
  // Where user namespaces are switched off, nobody can build those attacks.
  const bool namespaces = testing::run({"unshare", "-Urm", "true"}) == 0;
  for (const auto& [what, command, status] : rows) {
    if (std::ranges::count(command, "/usr/bin/unshare") && !namespaces) continue;
    if (std::ranges::count(command, "-m") && ::geteuid() != 0) continue;
    if (command[2] == btrfsAt + "/peer" && !btrfs) continue;
    EXPECT_EQ(run(command), status) << what;
  }
}

TEST_P(EverySender, NothingWrittenBeforeTheAdmittedProgramRanIsServed) {
  // An unsigned program connects, writes a call, forks a reader and execs
  // the signed peer, which only waits; the helper, stopped meanwhile (its
  // I/O thread held here), accepts only after the exec. The reader's
  // answer to the nonce comes from another process.
  std::promise<void> held, released;
  asio::post(ipc::ipcContext(), [&, signedPeer = signed_] {
    held.set_value();
    testing::eventually([&] {
      std::error_code error;
      const pid_t pid = started_;
      return pid && fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == signedPeer;
    });
    released.set_value();
  });
  held.get_future().wait();
  EXPECT_EQ(run(peer(plain_, {"prelude", signed_})), 1);
  released.get_future().wait();
}

INSTANTIATE_TEST_SUITE_P(Identity, EverySender,
                         ::testing::Values(ipc::SenderIdentity::kCredentials,
                                           ipc::SenderIdentity::kPidfd));

// Code on FUSE is refused before a file of it is opened: its server could show
// the helper the signed bytes while the kernel runs others. Lines as the
// kernel writes them; the device is looked up in the peer's own mounts.
TEST(CodeFileSystemsTest, CodeServedByFuseOrOnAnUnlistedDeviceIsRefused) {
  const std::string mountinfo =
      "29 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
      "30 29 0:44 / /home/ana/remote\\040dir rw,nosuid,nodev,relatime shared:170 - fuse.sshfs "
      "ana@host:/srv rw,user_id=1000,group_id=1000\n"
      "31 29 8:17 / /media/ana/USB rw,nosuid,nodev,relatime shared:180 - fuseblk /dev/sdb1 "
      "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096\n"
      "32 29 0:47 / /tmp/.mount_Tool rw,nosuid,nodev,relatime - fuse Tool.AppImage "
      "ro,user_id=1000,group_id=1000\n"
      "33 29 0:25 / /tmp rw,nosuid,nodev - tmpfs tmpfs rw,size=8192k\n";
  // The devices of the code, and whether it is served.
  const std::vector<std::pair<std::vector<dev_t>, bool>> rows = {
      {{::makedev(8, 2), ::makedev(0, 25)}, true},  // after every FUSE line: all were read
      {{::makedev(8, 2), ::makedev(0, 44)}, false},
      {{::makedev(8, 17)}, false},
      {{::makedev(0, 47)}, false},
      {{::makedev(0, 4)}, false},
  };
  for (const auto& [devices, served] : rows) {
    EXPECT_EQ(codesign::checkCodeFileSystems(devices, mountinfo).ok(), served) << devices.back();
  }
}

// The helper's own table, kept between peers, is read again once a mount
// came: a FUSE mount made after the last read must not pass for unlisted.
TEST(CodeFileSystemsTest, TheKeptMountTableFollowsNewMounts) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const platform::PeerProcess self{::getpid(), ::getuid(), platform::openPidfd(::getpid()).value()};
  ASSERT_TRUE(platform::mountInfoOf(self));  // kept from here on
  testing::TempDir dir;
  ASSERT_EQ(::mount("zefra", dir.path().c_str(), "tmpfs", 0, nullptr), 0);
  const auto mounted = platform::fileIdentity(dir.path());
  auto table = platform::mountInfoOf(self);
  ::umount(dir.path().c_str());
  ASSERT_TRUE(mounted && table);
  EXPECT_EQ(platform::fileSystemType(*table, mounted->device), "tmpfs");
}

// The check of a peer's code, by the checker itself and by the helper's
// acceptance, with peers signed for the occasion.
class PeerCheckTest : public ::testing::Test {
 protected:
  // Others may enter: one test runs its peer as another user.
  void SetUp() override { ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0); }

  std::string signedBy(const Credential& signer = testing::testPki().leaf) {
    return testing::signedCopy(ZEFRA_TEST_PEER_PROGRAM,
                               dir_.path() + "/peer" + std::to_string(++files_), signer,
                               "com.ovak.zefra.test");
  }
  bool trusted(const std::string& executable) {
    Peer peer(listener_, executable);
    EXPECT_TRUE(peer.connected()) << executable;
    return peerIsTrusted(peer.connection());
  }
  // A checker that kills the peer just before it looks whether the peer
  // lives, while `armed` is set, and waits until it has exited (unreaped).
  static PeerCodeChecker killingBeforeLiveness(const bool& armed) {
    PeerCodeChecker::Options options;
    options.beforeLivenessCheck = [&armed](const PeerProcess& peer) {
      if (armed && ::kill(peer.pid, SIGKILL) == 0) {
        platform::waitForPidfdExit(peer.pidfd.get(), base::Deadline::after(60));
      }
    };
    return PeerCodeChecker(testing::testPki().root.anchor(), options);
  }

  const std::string program_ = testing::readFile(ZEFRA_TEST_PEER_PROGRAM);
  testing::TempDir dir_;
  testing::Listener listener_{dir_.path() + "/socket"};
  PeerCodeChecker checker_{testing::testPki().root.anchor()};
  int files_ = 0;
};

// Damaged signatures and expired certificates are signature_block_test's,
// unsigned peers the admission's above; here the certificates under the
// compiled anchor.
TEST_F(PeerCheckTest, AcceptsOnlyCodeOfTheTeamUnderTheCompiledAnchor) {
  auto leaf = [&](const CertSpec& spec, const Credential& issuer) {
    return signedBy(testing::issue(spec, &issuer));
  };
  const Credential otherRoot = testing::issue(testing::caSpec("Other Anchor"));
  EXPECT_FALSE(trusted(leaf({}, otherRoot))) << "another anchor";
  if (std::string(ZEFRA_TEST_ANCHOR_KEY).empty()) GTEST_SKIP() << "leaves need the anchor's key";
  const Credential anchor = Credential::load(ZEFRA_TEST_ANCHOR_FILE, ZEFRA_TEST_ANCHOR_KEY);
  const Credential intermediate = testing::issue(testing::caSpec("Team Intermediate"), &anchor);
  EXPECT_TRUE(trusted(leaf({}, intermediate)));
  CertSpec notCa = testing::caSpec("Not A CA"), tlsOnly = testing::caSpec("TLS Intermediate");
  notCa.ca = false;
  tlsOnly.extendedKeyUsage = "serverAuth";
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"another team", leaf({.units = {"Z9Z9Z9Z9Z9"}}, anchor)},
      {"two teams", leaf({.units = {kTeam, "Z9Z9Z9Z9Z9"}}, anchor)},
      {"no team", leaf({.units = {}}, anchor)},
      {"no code signing usage", leaf({.extendedKeyUsage = "clientAuth"}, anchor)},
      {"no extended key usage", leaf({.extendedKeyUsage = ""}, anchor)},
      {"no digital signature", leaf({.keyUsage = "keyAgreement"}, anchor)},
      {"a CA as leaf", leaf({.ca = true, .keyUsage = "digitalSignature,keyCertSign"}, anchor)},
      {"issuer that is no CA", leaf({}, testing::issue(notCa, &anchor))},
      {"issuer limited to TLS", leaf({}, testing::issue(tlsOnly, &anchor))},
      {"the anchor itself", signedBy(anchor)}};
  for (const auto& [name, executable] : refused) EXPECT_FALSE(trusted(executable)) << name;
}

// An image that is not validly signed by the team costs no hash, even when it
// changes its timestamps before every connect (the refusal cache never hits).
TEST_F(PeerCheckTest, UnsignedImagesAreRefusedWithoutAHash) {
  // Signing appends its block to the code as it was.
  const std::string block = testing::readFile(signedBy()).substr(program_.size());
  // The unsigned program grown to `size` (sparse), ending in `tail`.
  auto image = [&](const std::string& name, off_t size, const std::string& tail) {
    const std::string path = dir_.path() + "/" + name;
    testing::writeFile(path, program_);
    fs::resize_file(path, size - tail.size());
    EXPECT_TRUE((std::ofstream(path, std::ios::app | std::ios::binary) << tail).flush());
    return path;
  };
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"unsigned", image("plain", static_cast<off_t>(program_.size()), "")},
      {"64 MiB ending in a signed program's block", image("padded", 64 << 20, block)},
      {"2 GiB, larger than any program of ours", image("huge", off_t{2} << 30, block)},
  };
  for (const auto& [what, path] : rows) {
    for (int second = 1; second <= 3; ++second) {
      const struct timespec times[2] = {{second, 0}, {second, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
      EXPECT_FALSE(checker_.check(Peer(listener_, path).connection())) << what;
    }
  }
  const auto stats = checker_.stats();
  EXPECT_EQ(stats.verified, 0u) << "nothing hashed";
  EXPECT_EQ(stats.oversized, 3u);
  EXPECT_EQ(stats.unhashed, 3 * (rows.size() - 1));
}

// Only a live process of our own user is served.
TEST_F(PeerCheckTest, RefusesAPeerGoneBeforeOrDuringTheCheckOrOfAnotherUser) {
  Peer reaped(listener_, signedBy());
  ASSERT_TRUE(reaped.connected());
  ASSERT_EQ(::kill(reaped.pid(), SIGKILL), 0);
  ASSERT_EQ(::waitpid(reaped.pid(), nullptr, 0), reaped.pid());
  EXPECT_FALSE(checker_.check(reaped.connection())) << "exited and reaped";

  Peer during(listener_, signedBy());
  const bool armed = true;
  EXPECT_FALSE(killingBeforeLiveness(armed).check(during.connection()))
      << "exited during the check";

  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as nobody";
  constexpr uid_t kNobody = 65534;
  Peer other(listener_, signedBy(), kNobody);
  ASSERT_TRUE(other.connected());
  EXPECT_FALSE(checker_.check(other.connection())) << "another user";
}

// A replaced file is unlinked under the running image, as a removed one is.
TEST_F(PeerCheckTest, TheRunningImageCountsNotThePath) {
  const std::string path = signedBy(), signedBytes = testing::readFile(path);
  Peer startedSigned(listener_, path);
  testing::writeFile(path, program_);
  EXPECT_TRUE(checker_.check(startedSigned.connection())) << "signed image, unsigned file";

  Peer startedUnsigned(listener_, path);
  testing::writeFile(path, signedBytes);
  EXPECT_FALSE(checker_.check(startedUnsigned.connection())) << "unsigned image, signed file";
}

// A file changed moments ago is verified every time, as a coarse timestamp
// cannot tell a rewrite in the same tick: the hashing slot test below.
TEST_F(PeerCheckTest, CachesVerdictsOfSettledFilesByFileIdentity) {
  const std::string path = signedBy();
  base::ScopedClockOverride later(base::now() + 3600);  // every file here is settled now
  Peer peer(listener_, path);
  bool kill = false;
  PeerCodeChecker checker = killingBeforeLiveness(kill);
  ASSERT_TRUE(checker.check(peer.connection()));
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(checker.check(peer.connection()));
  EXPECT_EQ(checker.stats().verified, 2u) << "a new mtime is checked again";
  // A cached verdict still needs a live peer: this one dies as its check ends.
  kill = true;
  EXPECT_FALSE(checker.check(peer.connection()));
  EXPECT_EQ(checker.stats().cacheHits, 1u);
  testing::writeFile(path, program_);
  Peer replaced(listener_, path);
  EXPECT_FALSE(checker.check(replaced.connection())) << "another file at the same path";
}

TEST_F(PeerCheckTest, EveryCheckWaitingForAHashingSlotIsAnswered) {
  // One slot and two dozen checks at once, of an image changed moments ago
  // (hashed every time), then of the same image settled: the first hash
  // settles the verdict of everyone waiting, who must pass the slot on.
  PeerCodeChecker::Options options;
  options.concurrentVerifications = 1;
  PeerCodeChecker checker(testing::testPki().root.anchor(), options);
  const std::string path = signedBy();
  const double changed = platform::fileIdentity(path).value().ctimeNs / 1e9;
  Peer peer(listener_, path);
  auto process = std::make_shared<const PeerProcess>(identifyPeer(peer.connection()).value());
  std::atomic<int> answered = 0, valid = 0;
  for (double later : {0.5, 3600.0}) {
    base::ScopedClockOverride clock(changed + later);
    std::vector<std::jthread> callers;
    for (int thread = 0; thread < 4; ++thread) {
      callers.emplace_back([&] {
        for (int i = 0; i < 6; ++i) {
          checker.checkProcess(process, [&](PeerCodeChecker::Verdict verdict) {
            valid += verdict.ok();
            ++answered;
          });
        }
      });
    }
    callers.clear();
    const int expected = later < 1 ? 24 : 48;
    ASSERT_TRUE(testing::eventually([&] { return answered == expected; }))
        << answered << " of " << expected << " checks answered";
  }
  EXPECT_EQ(valid, 48);
  EXPECT_EQ(checker.stats().verified, 25u) << "24 changed moments ago, then one settled";
}

}  // namespace
}  // namespace zefra::xpc
