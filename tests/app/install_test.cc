// The helper as a user installs it: a copy in ~/Applications opened without
// a display or terminal, socket activation and the terminal's dialogs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include "app/helper_fixture.h"
#include "platform/small_file.h"

namespace zefra::app::testing {
namespace {

constexpr const char* kHealLine =
    "Zefra Helper: Mach service didn't route \u2014 re-registering the agent (programmatic Login "
    "Items off/on)";
constexpr const char* kInstalledLine = "Zefra Helper: alert \"Zefra Helper installed\": ";

const std::string kBuiltBundle =
    fs::path(ZEFRA_TEST_HELPER).parent_path().parent_path().parent_path().string();

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class InstallTest : public HelperFixture {
 protected:
  std::string applicationsCopy() const { return root_ + "/home/Applications/Zefra Helper.app"; }
  std::string entry() const { return root_ + "/config/autostart/com.ovak.zefra.helper.desktop"; }
  void stop(platform::ChildProcess& helper) {
    ASSERT_TRUE(helper.signal(SIGTERM));
    EXPECT_EQ(helper.wait(), 0);
  }
  // A bounded wait for something that must not happen: the probe and its
  // two time-outs take at most about 4.5 seconds.
  bool staysRunningThroughTheProbe(platform::ChildProcess& helper) {
    return !exitsWithin(helper, 6).has_value();
  }
};

TEST_F(InstallTest, OpeningTheApplicationsCopyInstallsProbesAndHealsOnce) {
  fs::create_directories(root_ + "/home/Applications");
  fs::copy(kBuiltBundle, applicationsCopy(), fs::copy_options::recursive);
  const std::string executable = applicationsCopy() + "/Contents/Linux/zefra-helper";
  const auto info = nlohmann::json::parse(
      platform::readSmallFile(applicationsCopy() + "/Contents/Info.json").value());

  auto* helper = &start(executable);
  ASSERT_TRUE(eventually([&] { return defaults().contains("RegisteredAgentPath"); }));
  EXPECT_EQ(defaults()["RegisteredAgentVersion"], info["CFBundleVersion"]);
  EXPECT_EQ(defaults()["RegisteredAgentPath"], applicationsCopy());
  EXPECT_TRUE(fs::exists(entry()));
  ASSERT_TRUE(eventually([&] { return log().find(kInstalledLine) != std::string::npos; }));
  stop(*helper);

  // Unchanged: it pings itself, is answered, and heals nothing.
  helper = &start(executable);
  EXPECT_TRUE(staysRunningThroughTheProbe(*helper));
  EXPECT_EQ(occurrences(log(), kHealLine), 0u);
  EXPECT_FALSE(defaults().contains("LastRegistrationSelfHeal"));
  stop(*helper);

  // A copy whose bytes no longer match its signature refuses its own probe.
  {
    std::fstream file(executable, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const auto at = bytes.find("fall back to asking for tools manually");
    ASSERT_NE(at, std::string::npos);
    file.seekp(static_cast<std::streamoff>(at));
    file.put('F');
  }
  helper = &start(executable);
  ASSERT_TRUE(eventually([&] { return occurrences(log(), kHealLine) == 1; }));
  EXPECT_TRUE(defaults()["LastRegistrationSelfHeal"].is_number());
  const auto healedAt = defaults()["LastRegistrationSelfHeal"];
  ASSERT_TRUE(eventually([&] { return fs::exists(entry()); }));  // registered again
  stop(*helper);

  helper = &start(executable);
  EXPECT_TRUE(staysRunningThroughTheProbe(*helper));
  EXPECT_EQ(occurrences(log(), kHealLine), 1u);
  EXPECT_EQ(defaults()["LastRegistrationSelfHeal"], healedAt);
  stop(*helper);
}

TEST_F(InstallTest, SocketActivatedHelperServesBothNamesAndLeavesTheSockets) {
  if (access("/usr/bin/systemd-socket-activate", X_OK) != 0) {
    GTEST_SKIP() << "systemd-socket-activate is not installed";
  }
  const std::string first = runtime_ + "/group.com.ovak.zefra.helper";
  const std::string second = runtime_ + "/K4T9QZ2M7B.com.ovak.zefra.helper";
  auto& helper = start(
      "/usr/bin/systemd-socket-activate", {},
      {"-l", first, "-l", second,
       "--fdname=group.com.ovak.zefra.helper:K4T9QZ2M7B.com.ovak.zefra.helper", ZEFRA_TEST_HELPER});
  ASSERT_TRUE(eventually([&] { return fs::exists(first) && fs::exists(second); }));
  for (auto service : {"group.com.ovak.zefra.helper", "K4T9QZ2M7B.com.ovak.zefra.helper"}) {
    auto proxy = connect(service);
    ASSERT_TRUE(proxy) << proxy.error().message;
    EXPECT_TRUE((*proxy)->ping()) << service;
  }
  stop(helper);
  EXPECT_TRUE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second));
}

TEST_F(InstallTest, TerminalDialogsUninstall) {
  // Registered and current, as after a first launch.
  const auto info =
      nlohmann::json::parse(platform::readSmallFile(kBuiltBundle + "/Contents/Info.json").value());
  fs::create_directories(root_ + "/config/com.ovak.zefra.helper");
  std::ofstream(root_ + "/config/com.ovak.zefra.helper/defaults.json") << nlohmann::json{
      {"RegisteredAgentVersion", info["CFBundleVersion"]},
      {"RegisteredAgentPath", kBuiltBundle}}.dump();
  fs::create_directories(root_ + "/config/autostart");
  std::ofstream(entry()) << "[Desktop Entry]\nType=Application\nExec=x\n";

  platform::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  platform::UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal);
  platform::SpawnOptions options;
  options.executable = ZEFRA_TEST_HELPER;
  options.environment = environment({"ZEFRA_LAUNCH_EVENT=aevt:oapp"});
  options.standardInput = platform::Stdio::fromFd(terminal.get());
  options.standardOutput = platform::Stdio::nullDevice();
  options.standardError = platform::Stdio::fromFd(terminal.get());
  auto spawned = platform::spawnProcess(options);
  ASSERT_TRUE(spawned);
  helpers_.push_back(std::move(spawned.value()));
  auto& helper = helpers_.back();
  terminal.reset();

  std::string screen;
  auto readUntil = [&](const std::string& text) {
    while (screen.find(text) == std::string::npos) {
      pollfd ready{master.get(), POLLIN, 0};
      if (::poll(&ready, 1, 60000) <= 0) return false;
      char buffer[4096];
      const ssize_t got = ::read(master.get(), buffer, sizeof buffer);
      if (got <= 0) return false;
      screen.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  };
  const std::string version = info["CFBundleShortVersionString"];
  ASSERT_TRUE(readUntil("Zefra Helper " + version + " is installed")) << screen;
  ASSERT_TRUE(readUntil("  1) OK\r\n  2) Uninstall\u2026\r\nChoose 1-2: ")) << screen;
  ASSERT_TRUE(platform::writeAll(master.get(), "2\n"));
  ASSERT_TRUE(readUntil("Uninstall Zefra Helper?")) << screen;
  ASSERT_TRUE(readUntil("  1) Uninstall\r\n  2) Cancel\r\nChoose 1-2: ")) << screen;
  ASSERT_TRUE(platform::writeAll(master.get(), "1\n"));

  EXPECT_EQ(exitsWithin(helper, 60), std::optional<int>(0));
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_FALSE(defaults().contains("RegisteredAgentVersion"));
  EXPECT_EQ(defaults()["RegisteredAgentPath"], kBuiltBundle);
  EXPECT_FALSE(fs::exists(runtime_ + "/group.com.ovak.zefra.helper"));
}

}  // namespace
}  // namespace zefra::app::testing
