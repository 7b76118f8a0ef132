// Where the helper lives and what the desktop session gives it: its agent
// registration, its bundle and launch event, and the private directory of
// its sockets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/desktop/agent_service.h"
#include "platform/desktop/bundle.h"
#include "platform/desktop/launch_event.h"
#include "platform/files/small_file.h"
#include "platform/process/process_table.h"
#include "platform/socket/runtime_dir.h"
#include "support/eventually.h"
#include "support/listening_socket.h"
#include "support/process_state.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;
using namespace zefra::testing;

constexpr const char* kNames[] = {"group.com.ovak.zefra.helper",
                                  "K4T9QZ2M7B.com.ovak.zefra.helper"};

// Sets a variable of this process until the guard returned goes.
std::shared_ptr<void> scopedVariable(const char* name, const std::string& value) {
  std::optional<std::string> old;
  if (const char* set = ::getenv(name)) old = set;
  ::setenv(name, value.c_str(), 1);
  return {nullptr, [=](void*) { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }};
}

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A path that needs quoting in an autostart entry; in a unit, the install
    // test's copy has one.
    const std::string contents = root_ + "/Zefra Helper 100%.app/Contents";
    fs::create_directories(contents + "/Linux");
    fs::copy(ZEFRA_TEST_AGENT_RESOURCES, contents + "/Resources");
    locations_.executablePath = writeFile(contents + "/Linux/zefra-helper",
                                          "#!/bin/sh\n: > \"$0.started\"\nexec sleep 60\n");
    locations_.resourcePath = contents + "/Resources";
    locations_.configHome = root_ + "/config";
    locations_.runtimeDirectory = root_;  // private, as made
    locations_.serviceNames = {kNames[0], kNames[1]};
  }
  std::shared_ptr<AgentService> agent() {
    return agentServiceWithPlistName(kAgentPlistName, locations_);
  }
  // A systemctl that reaches a manager or not; one that is reached refuses
  // every change, which no real manager can be made to do on cue.
  void standInSystemctl(bool reachable) {
    path_ = scopedVariable("PATH", root_ + ":/usr/bin:/bin");
    writeFile(root_ + "/systemctl",
              std::string("#!/bin/sh\n[ \"$2\" = show-environment ] && exit ") +
                  (reachable ? "0" : "1") + "\necho Failed: refused >&2\nexit 1\n");
  }
  std::string unitDirectory() const { return root_ + "/config/systemd/user/"; }

  TempDir temp_;
  const std::string root_ = temp_.path();
  AgentLocations locations_;
  std::shared_ptr<void> path_;
};

// Started at once unless some process holds a socket already.
TEST_F(AgentServiceTest, AutostartEntryRegistersStartsAndReadsTheUsersSwitch) {
  standInSystemctl(false);
  const std::string entry = root_ + "/config/autostart/com.ovak.zefra.helper.desktop";
  EXPECT_FALSE(agent()->unregisterAndReturnError());  // not registered yet
  for (const char* held : kNames) {
    // Listening but never answering, as a copy that refuses itself would.
    UniqueFd holder = listenWithoutAccepting(root_ + "/" + held);
    ASSERT_TRUE(agent()->registerAndReturnError());
    EXPECT_TRUE(ourChildren().empty()) << held;
  }

  ASSERT_TRUE(agent()->registerAndReturnError());
  EXPECT_EQ(agent()->status(), AgentStatus::kEnabled);
  EXPECT_THAT(readSmallFile(entry).value(),
              ::testing::HasSubstr("Exec=\"" + root_ +
                                   "/Zefra Helper 100%%.app/Contents/Linux/zefra-helper\"\n"));
  // Nobody held the sockets, so the agent was started in the background.
  const auto children = ourChildren();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_TRUE(eventually([&] { return fs::exists(locations_.executablePath + ".started"); }));
  (void)signalProcess(children[0], SIGKILL);

  for (const char* off : {"X-GNOME-Autostart-enabled=false", "Hidden = true\r"}) {
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=x\n" << off << "\n";
    EXPECT_EQ(agent()->status(), AgentStatus::kRequiresApproval) << off;
  }
  ASSERT_TRUE(agent()->unregisterAndReturnError());
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);  // the entry gone

  // Stored repaired, such a path would never match the bundle's again.
  locations_.executablePath = root_ + "/latin\xE9/zefra-helper";
  EXPECT_FALSE(agent()->registerAndReturnError());
  EXPECT_FALSE(fs::exists(entry));
  // Escaped for the quoting, and each of those backslashes for the key file.
  locations_.executablePath = root_ + "/\"`$\\/zefra-helper";
  ASSERT_TRUE(agent()->registerAndReturnError());
  EXPECT_THAT(readSmallFile(entry).value(),
              ::testing::HasSubstr("Exec=\"" + root_ + R"(/\\"\\`\\$\\\\/zefra-helper")"));
  ASSERT_TRUE(agent()->unregisterAndReturnError());

  fs::remove_all(locations_.resourcePath);
  EXPECT_EQ(agent()->status(), AgentStatus::kNotFound);
  EXPECT_FALSE(agent()->registerAndReturnError());
}

// Registering with a real manager, which reads the units and starts their
// quoted executable, is the install test's; no real manager can be made to
// refuse on cue.
TEST_F(AgentServiceTest, SystemdBackendReportsARefusingManager) {
  standInSystemctl(true);
  auto refused = agent()->registerAndReturnError();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "systemctl enable failed with status 1");
  EXPECT_TRUE(fs::exists(unitDirectory() + "com.ovak.zefra.helper.service"));
  // The refusal is reported, and the units go all the same.
  EXPECT_FALSE(agent()->unregisterAndReturnError());
  EXPECT_TRUE(fs::is_empty(unitDirectory()));
  // Paths the manager would take and then never start: refused before any
  // unit is written.
  for (const char* odd : {"Bob's", "a\\b", "tab\t", "latin\xE9"}) {
    locations_.executablePath = root_ + "/" + odd + "/zefra-helper";
    ASSERT_FALSE(agent()->registerAndReturnError()) << odd;
    EXPECT_TRUE(fs::is_empty(unitDirectory())) << odd;
  }
}

// The helper's own bundle is every integration test's; here, an Info that
// cannot be used and an executable that lies in no bundle.
TEST(BundleTest, UnusableInfoIsEmptyAndNoBundleIsTheExecutablesFolder) {
  TempDir dir;
  const std::string app = dir.path() + "/Zefra Helper.app";
  fs::create_directories(app + "/Contents/Linux");
  for (const char* info : {"{\"CFBundleIdentifier\": ", "[\"a\"]"}) {
    std::ofstream(app + "/Contents/Info.json") << info;
    Bundle bundle = Bundle::atExecutablePath(app + "/Contents/Linux/exe");
    EXPECT_TRUE(bundle.isAppBundle());
    EXPECT_EQ(bundle.infoDictionary(), nlohmann::json::object()) << info;
  }
  for (std::string parent :
       {dir.path() + "/bin", dir.path() + "/.app/Contents/Linux", std::string()}) {
    Bundle bundle = Bundle::atExecutablePath(parent + "/exe");
    EXPECT_FALSE(bundle.isAppBundle()) << parent;
    EXPECT_EQ(bundle.resourcePath(), parent.empty() ? "/" : parent);
  }
}

// Which events count as interactive is the launch flow's test.
TEST(BundleTest, LaunchEventParsesExactlyAndIsTakenFromTheEnvironmentOnce) {
  // One short, one long, no colon, a byte outside printable ASCII.
  for (const char* malformed : {"aevt:oap", "aevt:oappp", "aevt-oapp", "aevt:oap\xc3"}) {
    EXPECT_EQ(parseLaunchEvent(malformed), std::nullopt) << malformed;
  }
  const auto first = scopedVariable(kLaunchEventVariable, "aevt:oapp");
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  EXPECT_EQ(getenv(kLaunchEventVariable), nullptr);  // so no child inherits it
  const auto second = scopedVariable(kLaunchEventVariable, "aevt:rapp");
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
}

class RuntimeDirTest : public ::testing::Test {
 protected:
  std::string dir(const std::string& name, mode_t mode) {
    std::string path = root_.path() + "/" + name;
    EXPECT_TRUE(::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0) << path;
    return path;
  }
  testing::TempDir root_;
};

TEST_F(RuntimeDirTest, OnlyAPrivateDirectoryOfTheUserIsTakenOrMade) {
  const std::string fresh = root_.path() + "/fresh";
  EXPECT_EQ(runtimeDirectory(fresh).value(), fresh);
  EXPECT_EQ(fs::symlink_status(fresh).permissions() & fs::perms::all, fs::perms::owner_all);

  const std::string link = root_.path() + "/link", file = root_.path() + "/file";
  ASSERT_EQ(::symlink(fresh.c_str(), link.c_str()), 0);
  std::ofstream(file) << "x";
  for (const std::string& refused :
       {dir("group", 0770), dir("readonly", 0500), link, file, std::string("relative/dir")}) {
    EXPECT_FALSE(runtimeDirectory(refused).ok()) << refused;
  }
  std::string foreign = "/";  // owned by root
  if (::geteuid() == 0) {
    foreign = dir("foreign", 0700);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  EXPECT_EQ(checkPrivateDirectory(foreign).error().code, EPERM);
}

// The override comes first and is checked like any other; a public
// XDG_RUNTIME_DIR is passed over for /tmp.
TEST_F(RuntimeDirTest, TheEnvironmentsChoiceIsCheckedToo) {
  const std::string xdg = dir("xdg", 0700);
  const auto privateXdg = scopedVariable("XDG_RUNTIME_DIR", xdg);
  const auto shared = scopedVariable("ZEFRA_RUNTIME_DIR", dir("shared", 0777));
  EXPECT_FALSE(runtimeDirectory().ok());
  const auto none = scopedVariable("ZEFRA_RUNTIME_DIR", "");
  EXPECT_EQ(runtimeDirectory().value(), xdg);
  const auto publicXdg = scopedVariable("XDG_RUNTIME_DIR", dir("xdg-open", 0755));
  Result<std::string> chosen = runtimeDirectory();
  EXPECT_TRUE(!chosen.ok() || *chosen == "/tmp/zefra-helper-" + std::to_string(::geteuid()));
}

// That a good name is the directory's entry of that name, every raw client of
// transport_test shows (it connects to the path written by hand); here the
// names that are not one short component. The folder is private, as mkdtemp
// makes it, so the longest is refused for its length.
TEST_F(RuntimeDirTest, ServiceNamesThatAreNotOneShortComponentAreRefused) {
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "a/b", std::string(200, 'n')}) {
    EXPECT_FALSE(servicePath(bad, root_.path()).ok()) << bad;
  }
}

}  // namespace
}  // namespace zefra::platform
