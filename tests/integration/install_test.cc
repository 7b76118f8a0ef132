// The helper as a user installs it: a copy in ~/Applications under a real
// systemd user manager of the test's own, which holds the names and starts
// the helper at a client's connect; the helper then changes its own
// registration while it runs as the service. Its dialogs on a terminal.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/files/file_moves.h"
#include "support/helper_fixture.h"
#include "support/process_state.h"
#include "support/user_manager.h"

namespace zefra::app::testing {
namespace {

class InstallTest : public HelperFixture {
 protected:
  static constexpr const char* kService = "com.ovak.zefra.helper.service";
  static constexpr const char* kSocket = "com.ovak.zefra.helper.socket";
  static constexpr const char* kTeamSocket = "com.ovak.zefra.helper-team.socket";

  void SetUp() override {
    HelperFixture::SetUp();
    overrides_["XDG_RUNTIME_DIR"] = runtime_;
    if (auto missing = zefra::testing::UserManager::missingPrerequisite()) {
      if (std::getenv("CI")) FAIL() << "no user manager under CI: " << *missing;
      GTEST_SKIP() << "no systemd user manager of the test's own: " << *missing;
    }
    manager_ = zefra::testing::UserManager::start(
        {root_ + "/home", root_ + "/config", runtime_, root_ + "/helper.log"});
    ASSERT_TRUE(manager_) << "the prerequisites are present, but the manager did not run";
    fs::create_directories(root_ + "/home/Applications");
    fs::copy(ZEFRA_TEST_BUNDLE, copy_, fs::copy_options::recursive);
  }

  std::string property(const char* name) {
    return manager_->state({"show", "-p", name, "--value", kService});
  }
  pid_t servicePid() { return std::stoi(property("MainPID")); }
  // The helper's own start from ~/Applications (no event): it registers,
  // hands the names to the manager and is of no further use.
  void launchFromApplications() {
    auto& first = start(executable_);
    ASSERT_TRUE(eventually([&] { return registered(); })) << log();
    stop(first);  // still registered: the tests go on to use it
  }
  // The record of `version` written, and both sockets enabled and listening.
  bool registered(std::string version = "") {
    if (version.empty()) version = info_["CFBundleVersion"];
    return manager_->systemctl({"is-enabled", kSocket, kTeamSocket}).output ==
               "enabled\nenabled\n" &&
           manager_->systemctl({"is-active", kSocket, kTeamSocket}).output == "active\nactive\n" &&
           defaults().value("RegisteredAgentVersion", "") == version &&
           defaults().value("RegisteredAgentPath", "") == copy_;
  }
  std::string ping(const std::string& service = kGroup) {
    auto pinged = client({"--service", service, "ping"});
    EXPECT_EQ(pinged.status, 0) << pinged.err;
    return pinged.out;
  }
  bool becomesInactive(const char* unit = kService) {
    return eventually([&] { return manager_->state({"is-active", unit}) == "inactive"; });
  }

  // A name that needs quoting in a unit, and a '%' escaping there: systemd
  // reads "%u" as the user's name. "%" is the manager's and "$" the shell's:
  // neither may change the path.
  const std::string copy_ = root_ + "/home/Applications/Zefra Helper 100%u $HOME.app";
  const std::string executable_ = copy_ + "/Contents/Linux/zefra-helper";
  const std::string units_ = root_ + "/config/systemd/user/";
  std::unique_ptr<zefra::testing::UserManager> manager_;
  // What the copy's Info.json says, as the built bundle's does.
  const nlohmann::json info_ =
      nlohmann::json::parse(zefra::testing::fileText(ZEFRA_TEST_BUNDLE "/Contents/Info.json"));
  const std::string version_ = info_["CFBundleShortVersionString"];
};

TEST_F(InstallTest, RegistersAndReregistersWhileItRunsAsTheService) {
  // First launch: both sockets enabled and listening, the record written, and
  // a connect starts the service, on either name.
  launchFromApplications();
  EXPECT_EQ(ping(kTeam), version_ + "\n");
  // Delegated to it, the service gives a run a cgroup below its own (each
  // run one of its own is the run cgroups' and the made-ahead spare's tests).
  EXPECT_EQ(property("Delegate"), "yes");
  const auto tool = freeTool();
  writeTool(tool, "sed -n 's/^0:://p' /proc/self/cgroup");
  const auto ran = client({"run", tool});
  EXPECT_TRUE(ran.out.starts_with(property("ControlGroup") + "/zefra-run-")) << ran.out;

  // The manager stops the sockets under the running helper: it goes on
  // answering on them; quitting with the last host, it leaves them to be
  // started again, and the next connect starts it again. Zefra Writer as
  // only the helpers under this manager see it: its bundle lies on a tmpfs of
  // the manager's namespace, so its end is no host's end to the helpers of
  // other tests running meanwhile.
  fs::create_directories(root_ + "/host");
  auto host = manager_->spawnInside(
      {"/bin/sh", "-c",
       "mount -t tmpfs tmpfs \"$1\" && b=\"$1/Zefra Writer.app/Contents\" && "
       "mkdir -p \"$b/Linux\" && cp /bin/sleep \"$b/Linux/app\" && "
       "echo '{\"CFBundleIdentifier\": \"com.ovak.zefra\"}' > \"$b/Info.json\" && "
       "exec \"$b/Linux/app\" 600",
       "sh", root_ + "/host"});
  ASSERT_TRUE(host) << host.error().message;
  const pid_t watching = servicePid();
  ASSERT_EQ(manager_->systemctl({"stop", kSocket, kTeamSocket}).status, 0);
  EXPECT_EQ(ping(), version_ + "\n");
  // It has seen the host once it holds a pidfd on it (and so goes on running).
  ASSERT_TRUE(eventually([&] {
    const auto fds = platform::listDirectory("/proc/" + std::to_string(watching) + "/fdinfo");
    return fds && std::ranges::any_of(fds.value(), [&](const std::string& fd) {
             return zefra::testing::procNumber(watching, "fdinfo/" + fd, "Pid:") == host->pid();
           });
  }));
  stop(*host, SIGKILL);
  ASSERT_TRUE(becomesInactive());
  // Its stop starts the sockets without waiting: they listen a moment later,
  // and the next connect (below) starts the service again.
  EXPECT_TRUE(eventually([&] { return registered(); })) << log();

  // --reregister re-registers the activated helper: it keeps running and
  // answering on the same sockets, and the units are rewritten. (That a
  // failed probe or a changed record leads there is the launch flow's.)
  const std::string dropIn = runtime_ + "/systemd/user/" + kService + ".d";
  fs::create_directories(dropIn);
  std::string quoted = executable_;
  quoted.insert(quoted.find('%'), "%");  // escaped, as the helper writes it
  std::ofstream(dropIn + "/reregister.conf")
      << "[Service]\nExecStart=\nExecStart=\"" << quoted << "\" --reregister\n";
  ASSERT_EQ(manager_->systemctl({"daemon-reload"}).status, 0);
  const auto written = fs::last_write_time(units_ + kService);
  EXPECT_EQ(ping(), version_ + "\n");
  const pid_t activated = servicePid();
  std::error_code gone;  // the units are removed before they are written again
  ASSERT_TRUE(eventually([&] {
    return fs::last_write_time(units_ + kService, gone) != written && registered();
  })) << log();
  EXPECT_EQ(ping(), version_ + "\n");
  EXPECT_EQ(servicePid(), activated);
  EXPECT_EQ(log().find("register failed"), std::string::npos) << log();
}

TEST_F(InstallTest, UpdatesItselfThroughTheClientAndLeavesServiceWhenPrepared) {
  launchFromApplications();
  const std::string archive = root_ + "/update.zip";
  auto made = runProgram(
      ZEFRA_TEST_MAKE_UPDATE,
      {"--key", ZEFRA_TEST_SIGNING_KEY, "--cert", ZEFRA_TEST_SIGNING_CHAIN, "--version", "2",
       "--short-version", "2.0", "--name", "Renamed.app", ZEFRA_TEST_BUNDLE, archive});
  ASSERT_EQ(made.status, 0) << made.err;

  auto installed = client({"install-update", archive});
  EXPECT_EQ(installed.out, "Zefra Helper updated itself.\n") << installed.err;
  ASSERT_TRUE(becomesInactive());
  // Version 2, in under the running name, answers the next connect and
  // registers itself in its turn.
  EXPECT_EQ(ping(), "2.0\n");
  ASSERT_TRUE(eventually([&] { return registered("2"); })) << log();

  EXPECT_EQ(client({"prepare-for-update"}).out, "YES\n");
  // The service ends, and its sockets stop once it has: nothing listens. A
  // unit whose file is gone is enabled nowhere.
  for (const char* unit : {kService, kSocket, kTeamSocket}) {
    ASSERT_TRUE(becomesInactive(unit)) << unit;
    EXPECT_FALSE(fs::exists(units_ + unit)) << unit;
  }
  EXPECT_FALSE(defaults().contains("RegisteredAgentVersion"));
  EXPECT_EQ(defaults()["RegisteredAgentPath"], copy_);
}

// The dialogs' buttons and an uninstall's effect on a manager are the launch
// flow's and the agent service's tests; here the terminal shows the approval
// alert of a masked socket, either of the two, which offers the desktop's
// settings.
TEST_F(InstallTest, AMaskedSocketAsksForApprovalOnTheTerminal) {
  // `systemctl --user mask` refuses units that live in the user's own unit
  // folder, so the user masks one as it would elsewhere: /dev/null in its
  // place.
  launchFromApplications();
  fs::remove(units_ + kTeamSocket);
  fs::create_symlink("/dev/null", units_ + kTeamSocket);
  ASSERT_EQ(manager_->systemctl({"daemon-reload"}).status, 0);
  ASSERT_EQ(manager_->systemctl({"stop", kSocket, kTeamSocket}).status, 0);
  writeTool("gnome-session-properties", ": > '" + root_ + "/settings-opened'");
  // The user opens the copy from a terminal.
  base::UniqueFd terminal(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  ASSERT_TRUE(terminal && ::grantpt(terminal.get()) == 0 && ::unlockpt(terminal.get()) == 0);
  base::UniqueFd tty(::open(::ptsname(terminal.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  auto& opened = start(executable_,
                       {{"ZEFRA_LAUNCH_EVENT", "aevt:oapp"},
                        {"XDG_CURRENT_DESKTOP", "GNOME"},
                        {"PATH", root_ + "/home/.local/bin:/usr/bin:/bin"}},
                       tty.get());
  std::string screen;
  ASSERT_TRUE(eventually([&] {
    char buffer[4096];
    screen.append(buffer, std::max<ssize_t>(::read(terminal.get(), buffer, sizeof buffer), 0));
    return screen.find("Zefra Helper needs your approval") != std::string::npos &&
           screen.ends_with("  1) Open Login Items\u2026\r\n  2) Later\r\nChoose 1-2: ");
  })) << screen;
  ASSERT_TRUE(platform::writeAll(terminal.get(), "1\n"));
  EXPECT_TRUE(eventually([&] { return fs::exists(root_ + "/settings-opened"); }));
  stop(opened);
}

}  // namespace
}  // namespace zefra::app::testing
