// Quitting with the last instance of the host, over the real workspace.
#include <gtest/gtest.h>
#include <signal.h>

#include "app/flow_support.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"

namespace zefra::app::testing {
namespace {

class HostWatchTest : public ::testing::Test {
 protected:
  // Ends `application` and waits until the workspace has told everyone.
  void quit(platform::ChildProcess& application, const std::string& identifier) {
    const auto before = events_.count("quit:" + identifier);
    ASSERT_TRUE(application.signal(SIGKILL));
    application.wait();
    ASSERT_TRUE(events_.waitFor("quit:" + identifier, before + 1));
  }

  zefra::testing::TempDir temp_;
  EventLog events_;
};

TEST_F(HostWatchTest, OnlyTheLastHostInstanceEndsTheHelper) {
  auto first =
      zefra::testing::startStandInApplication(temp_.path(), "Zefra Writer", "com.ovak.zefra");
  auto second =
      zefra::testing::startStandInApplication(temp_.path(), "Zefra Writer Copy", "com.ovak.zefra");
  auto helperLike = zefra::testing::startStandInApplication(temp_.path(), "Other Helper",
                                                            "com.ovak.zefra.helper");
  auto otherCase =
      zefra::testing::startStandInApplication(temp_.path(), "Other Case", "com.ovak.Zefra");

  platform::UserDefaults defaults(temp_.path() + "/defaults.json");
  DelegateSettings settings;
  settings.services = scriptedServices(events_, std::make_shared<ScriptedAgent>(events_), defaults);
  // The workspace as the helper uses it.
  const auto real = defaultAppServices();
  settings.services.observeTerminations = real.observeTerminations;
  settings.services.runningApplications = real.runningApplications;
  settings.peerIsTrusted = [](const ipc::ServerConnection&) { return true; };
  settings.makeService = [] { return nullptr; };
  settings.listenerOptions.runtimeDirectory = temp_.path();
  auto delegate = std::make_shared<HelperDelegate>(settings);
  onMainQueue([&] {
    delegate->applicationDidFinishLaunching();
    // Observers run in the order they were added: the delegate has judged
    // each termination by the time this one hears of it.
    platform::Workspace::shared().addTerminationObserver(
        [this](const platform::TerminationNotification& notification) {
          events_.add("quit:" + notification.application->bundleIdentifier().value_or(""));
        });
  });

  quit(helperLike, "com.ovak.zefra.helper");
  quit(otherCase, "com.ovak.Zefra");
  quit(first, "com.ovak.zefra");
  onMainQueue([] {});
  EXPECT_EQ(events_.count("terminate"), 0u);
  quit(second, "com.ovak.zefra");
  EXPECT_EQ(events_.count("terminate"), 1u);
  onMainQueue([&] { delegate.reset(); });
}

}  // namespace
}  // namespace zefra::app::testing
