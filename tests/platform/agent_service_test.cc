#include "platform/desktop/agent_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/unique_fd.h"
#include "platform/files/small_file.h"
#include "platform/process/executable_search.h"
#include "platform/process/process_table.h"
#include "support/listening_socket.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"
#include "support/user_manager.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kNames[] = {"group.com.ovak.zefra.helper",
                                  "K4T9QZ2M7B.com.ovak.zefra.helper"};

// Variables of this process for the length of a test.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> values) {
    for (auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      old_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (auto& [name, value] : old_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> old_;
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
  // A systemctl that reaches a manager or not; one that is reached refuses
  // every change, which no real manager can be made to do on cue.
  void standInSystemctl(bool reachable) {
    zefra::testing::writeExecutable(root_ + "/bin/systemctl", R"(#!/bin/sh
case "$2" in
  show-environment) exit )" + std::string(reachable ? "0" : "1") + R"( ;;
esac
echo "Failed: refused" >&2
exit 1
)");
  }
  std::string unitDirectory() const { return root_ + "/config/systemd/user/"; }

  zefra::testing::TempDir temp_;
  std::string root_;
  std::string executable_;
  AgentLocations locations_;
};

TEST_F(AgentServiceTest, AutostartEntryRegistersStartsAndReadsTheUsersSwitch) {
  standInSystemctl(false);
  ScopedEnvironment path({{"PATH", root_ + "/bin:/usr/bin:/bin"}});
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
  ScopedEnvironment path({{"PATH", root_ + "/bin:/usr/bin:/bin"}});
  for (const char* held : kNames) {
    // Listening but never answering, as a copy that refuses itself would.
    UniqueFd holder = zefra::testing::listenWithoutAccepting(root_ + "/runtime/" + held);
    ASSERT_TRUE(agent()->registerAndReturnError());
    EXPECT_TRUE(ourChildren().empty()) << held;
    holder.reset();
    fs::remove(root_ + "/runtime/" + held);
  }
}

TEST_F(AgentServiceTest, SystemdBackendWritesVerifiableUnitsAndReportsARefusingManager) {
  standInSystemctl(true);
  ScopedEnvironment path({{"PATH", root_ + "/bin:/usr/bin:/bin"}});
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);
  auto refused = agent()->registerAndReturnError();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "systemctl enable failed with status 1");
  EXPECT_TRUE(ourChildren().empty());  // systemd starts it, on demand
  const std::string service =
      readSmallFile(unitDirectory() + "com.ovak.zefra.helper.service").value();
  EXPECT_NE(service.find("ExecStart=\"" + root_ +
                         "/Zefra Helper 100%%.app/Contents/Linux/zefra-helper\"\n"),
            std::string::npos);

  // systemd's own reading of the units, the quoted executable included.
  const std::string units = unitDirectory();
  const std::string command =
      "XDG_RUNTIME_DIR='" + root_ + "/runtime' /usr/bin/systemd-analyze --user verify '" + units +
      "com.ovak.zefra.helper.service' '" + units + "com.ovak.zefra.helper.socket' '" + units +
      "com.ovak.zefra.helper-team.socket' 2>&1";
  if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }

  // The refusal is reported, and the units go all the same.
  EXPECT_FALSE(agent()->unregisterAndReturnError());
  EXPECT_TRUE(fs::is_empty(units));
  auto again = agent()->unregisterAndReturnError();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "Zefra Helper is not registered as a login item");
  fs::remove_all(locations_.resourcePath);
  EXPECT_EQ(agent()->status(), AgentStatus::kNotFound);
}

TEST_F(AgentServiceTest, AgainstARunningUserManager) {
  std::unique_ptr<zefra::testing::UserManager> manager;
  ZEFRA_START_USER_MANAGER(manager,
                           (zefra::testing::UserManager::World{root_ + "/home", root_ + "/config",
                                                               root_ + "/runtime", ""}));
  // systemctl finds the units where the helper wrote them through the same variables.
  ScopedEnvironment world({{"HOME", root_ + "/home"},
                           {"XDG_CONFIG_HOME", root_ + "/config"},
                           {"XDG_RUNTIME_DIR", root_ + "/runtime"}});
  const std::string service = "com.ovak.zefra.helper.service";
  const std::string socket = "com.ovak.zefra.helper.socket";
  auto registered = agent()->registerAndReturnError();
  ASSERT_TRUE(registered) << registered.error().message << manager->log();
  EXPECT_EQ(agent()->status(), AgentStatus::kEnabled);
  for (const char* name : kNames) {
    EXPECT_EQ(fs::status(root_ + "/runtime/" + name).type(), fs::file_type::socket) << name;
  }
  // A connect starts the executable, its awkward path quoted right.
  UniqueFd client = zefra::testing::connectTo(root_ + "/runtime/" + kNames[1]);
  ASSERT_TRUE(client);
  for (auto deadline = std::chrono::steady_clock::now() + 60s;
       !fs::exists(root_ + "/started") && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(fs::exists(root_ + "/started"));
  EXPECT_EQ(manager->state({"is-active", service}), "active");

  // Unregistered from another process, the running service goes too.
  ASSERT_TRUE(agent()->unregisterAndReturnError());
  EXPECT_EQ(agent()->status(), AgentStatus::kNotRegistered);
  for (const auto& unit : {service, socket, std::string("com.ovak.zefra.helper-team.socket")}) {
    EXPECT_FALSE(fs::exists(unitDirectory() + unit)) << unit;
    EXPECT_EQ(manager->state({"is-active", unit}), "inactive") << unit;
  }

  // A masked socket, as the user leaves it, asks for approval.
  ASSERT_TRUE(agent()->registerAndReturnError());
  fs::remove(unitDirectory() + socket);
  fs::create_symlink("/dev/null", unitDirectory() + socket);
  EXPECT_EQ(agent()->status(), AgentStatus::kRequiresApproval);
}

}  // namespace
}  // namespace zefra::platform
