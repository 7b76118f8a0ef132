#include "platform/agent_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/executable_search.h"
#include "platform/process_table.h"
#include "platform/small_file.h"
#include "platform/unique_fd.h"
#include "support/listening_socket.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kNames[] = {"group.com.ovak.zefra.helper",
                                  "K4T9QZ2M7B.com.ovak.zefra.helper"};

// PATH for the length of a test.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path)
      : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

std::vector<pid_t> ourChildren() {
  std::vector<pid_t> children;
  auto table = snapshotProcessTable();
  if (!table) return children;
  for (const auto& entry : *table) {
    if (entry.ppid == ::getpid()) children.push_back(entry.pid);
  }
  return children;
}

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    fs::create_directories(root_ + "/bin");
    fs::create_directories(root_ + "/runtime");
    fs::permissions(root_ + "/runtime", fs::perms::owner_all);
    // A path that needs quoting in both formats.
    const std::string contents = root_ + "/Zefra Helper 100%.app/Contents";
    fs::create_directories(contents + "/Linux");
    fs::copy(ZEFRA_TEST_AGENT_RESOURCES, contents + "/Resources");
    executable_ =
        zefra::testing::writeExecutable(contents + "/Linux/zefra-helper",
                                        "#!/bin/sh\n: > '" + root_ + "/started'\nexec sleep 60\n");
    locations_.resourcePath = contents + "/Resources";
    locations_.executablePath = executable_;
    locations_.configHome = root_ + "/config";
    locations_.runtimeDirectory = root_ + "/runtime";
    locations_.serviceNames = {kNames[0], kNames[1]};
  }
  std::shared_ptr<AgentService> agent() {
    return agentServiceWithPlistName(kAgentPlistName, locations_);
  }
  // A systemctl that logs its arguments and reports `isEnabled`.
  void standInSystemctl(bool reachable) {
    zefra::testing::writeExecutable(root_ + "/bin/systemctl", R"(#!/bin/sh
echo "$*" >> ')" + root_ + R"(/systemctl.log'
case "$2" in
  show-environment) exit )" + std::string(reachable ? "0" : "1") + R"( ;;
  is-enabled) cat ')" + root_ + R"(/is-enabled' 2>/dev/null || echo disabled ;;
esac
exit 0
)");
  }
  std::string systemctlLog() {
    auto text = readSmallFile(root_ + "/systemctl.log");
    return text ? text.value() : "";
  }

  zefra::testing::TempDir temp_;
  std::string root_;
  std::string executable_;
  AgentLocations locations_;
};

TEST_F(AgentServiceTest, AutostartEntryRegistersStartsAndReadsTheUsersSwitch) {
  standInSystemctl(false);
  ScopedPath path(root_ + "/bin:/usr/bin:/bin");
  const std::string entry = root_ + "/config/autostart/com.ovak.zefra.helper.desktop";
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);
  EXPECT_FALSE(agent()->unregisterAndReturnError());

  ASSERT_TRUE(agent()->registerAndReturnError());
  EXPECT_EQ(agent()->status(), AgentStatus::kEnabled);
  const std::string text = readSmallFile(entry).value();
  EXPECT_NE(
      text.find("Exec=\"" + root_ + "/Zefra Helper 100%%.app/Contents/Linux/zefra-helper\"\n"),
      std::string::npos)
      << text;
  // Nobody held the sockets, so the agent was started in the background.
  const auto children = ourChildren();
  ASSERT_EQ(children.size(), 1u);
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       !fs::exists(root_ + "/started") && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(fs::exists(root_ + "/started"));
  (void)signalProcess(children[0], SIGKILL);

  for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=x\n" << off << "\n";
    EXPECT_EQ(agent()->status(), AgentStatus::kRequiresApproval) << off;
  }
  ASSERT_TRUE(agent()->unregisterAndReturnError());
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);
  EXPECT_FALSE(fs::exists(entry));

  fs::remove_all(locations_.resourcePath);
  EXPECT_EQ(agent()->status(), AgentStatus::kNotFound);
  EXPECT_FALSE(agent()->registerAndReturnError());
}

TEST_F(AgentServiceTest, AutostartStartsNothingWhileAnyProcessHoldsASocket) {
  standInSystemctl(false);
  ScopedPath path(root_ + "/bin:/usr/bin:/bin");
  for (const char* held : kNames) {
    // Listening but never answering, as a copy that refuses itself would.
    UniqueFd holder = zefra::testing::listenWithoutAccepting(root_ + "/runtime/" + held);
    ASSERT_TRUE(agent()->registerAndReturnError());
    EXPECT_TRUE(ourChildren().empty()) << held;
    holder.reset();
    fs::remove(root_ + "/runtime/" + held);
  }
}

TEST_F(AgentServiceTest, SystemdBackendDrivesSystemctlAndWritesVerifiableUnits) {
  standInSystemctl(true);
  ScopedPath path(root_ + "/bin:/usr/bin:/bin");
  const std::string units = root_ + "/config/systemd/user/";
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);
  ASSERT_TRUE(agent()->registerAndReturnError());
  EXPECT_EQ(systemctlLog(),
            "--user show-environment\n--user is-enabled com.ovak.zefra.helper.socket\n"
            "--user show-environment\n--user daemon-reload\n"
            "--user enable --now com.ovak.zefra.helper.socket com.ovak.zefra.helper-team.socket\n");
  EXPECT_TRUE(ourChildren().empty());  // systemd starts it, on demand
  const std::string service = readSmallFile(units + "com.ovak.zefra.helper.service").value();
  EXPECT_NE(service.find("ExecStart=\"" + root_ +
                         "/Zefra Helper 100%%.app/Contents/Linux/zefra-helper\"\n"),
            std::string::npos);

  // systemd's own reading of the units, the quoted executable included.
  const std::string runtime = root_ + "/runtime";
  const std::string command =
      "XDG_RUNTIME_DIR='" + runtime + "' /usr/bin/systemd-analyze --user verify '" + units +
      "com.ovak.zefra.helper.service' '" + units + "com.ovak.zefra.helper.socket' '" + units +
      "com.ovak.zefra.helper-team.socket' 2>&1";
  if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }

  for (auto [state, status] : {std::pair{"enabled", AgentStatus::kEnabled},
                               std::pair{"masked", AgentStatus::kRequiresApproval},
                               std::pair{"disabled", AgentStatus::kNotRegistered}}) {
    std::ofstream(root_ + "/is-enabled") << state << "\n";
    EXPECT_EQ(agent()->status(), status) << state;
  }
  fs::remove(root_ + "/systemctl.log");
  ASSERT_TRUE(agent()->unregisterAndReturnError());
  EXPECT_EQ(systemctlLog(),
            "--user show-environment\n"
            "--user disable --now com.ovak.zefra.helper.socket com.ovak.zefra.helper-team.socket\n"
            "--user daemon-reload\n");
  EXPECT_TRUE(fs::is_empty(units));
  EXPECT_FALSE(agent()->unregisterAndReturnError());
  fs::remove_all(locations_.resourcePath);
  EXPECT_EQ(agent()->status(), AgentStatus::kNotFound);
}

TEST_F(AgentServiceTest, AgainstARunningUserManager) {
  if (!systemdUserManagerReachable()) {
    GTEST_SKIP() << "no systemd user manager is reachable (systemctl --user show-environment "
                    "fails), as on the development machines; the stand-in systemctl covers it";
  }
  // The units get names of their own, so nothing of a real installation is touched.
  const std::string base = "com.ovak.zefra.helper-selftest";
  const std::string resources = root_ + "/selftest-resources";
  fs::create_directories(resources);
  for (const char* unit : {".service", ".socket", "-team.socket"}) {
    std::string text =
        readSmallFile(locations_.resourcePath + "/com.ovak.zefra.helper" + unit).value();
    for (std::size_t at = text.find("com.ovak.zefra.helper"); at != std::string::npos;
         at = text.find("com.ovak.zefra.helper", at + base.size())) {
      text.replace(at, 21, base);
    }
    std::ofstream(resources + "/" + base + unit) << text;
  }
  AgentLocations real = currentAgentLocations();
  real.resourcePath = resources;
  real.executablePath = executable_;
  auto service = agentServiceWithPlistName(base + ".plist", real);
  ASSERT_TRUE(service->registerAndReturnError());
  EXPECT_EQ(service->status(), AgentStatus::kEnabled);
  auto systemctl = findExecutableOnPath("systemctl").value();
  (void)runCommand(systemctl, {"--user", "mask", base + ".socket"});
  EXPECT_EQ(service->status(), AgentStatus::kRequiresApproval);
  (void)runCommand(systemctl, {"--user", "unmask", base + ".socket"});
  EXPECT_TRUE(service->unregisterAndReturnError());
  EXPECT_EQ(service->status(), AgentStatus::kNotRegistered);
}

}  // namespace
}  // namespace zefra::platform
