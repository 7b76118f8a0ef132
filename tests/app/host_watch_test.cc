// Quitting with the last instance of the host, over the real workspace.
#include <gtest/gtest.h>
#include <signal.h>

#include "app/flow_support.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"

namespace zefra::app::testing {
namespace {

TEST(HostWatchTest, OnlyTheLastHostInstanceEndsTheHelper) {
  // Ended in this order: neither a look-alike nor a first instance of two
  // ends the helper; the last instance does.
  const std::pair<const char*, const char*> applications[] = {
      {"Other Helper", "com.ovak.zefra.helper"},
      {"Other Case", "com.ovak.Zefra"},
      {"Zefra Writer", "com.ovak.zefra"},
      {"Zefra Writer Copy", "com.ovak.zefra"},
  };
  zefra::testing::TempDir temp;
  std::vector<platform::ChildProcess> running;
  for (auto [name, identifier] : applications) {
    running.push_back(zefra::testing::startStandInApplication(temp.path(), name, identifier));
  }
  EventLog events;
  platform::UserDefaults defaults(temp.path() + "/defaults.json");
  DelegateSettings settings;
  settings.services = scriptedServices(events, std::make_shared<ScriptedAgent>(events), defaults);
  // The workspace as the helper uses it.
  const auto real = defaultAppServices();
  settings.services.observeTerminations = real.observeTerminations;
  settings.services.runningApplications = real.runningApplications;
  settings.peerIsTrusted = [](const ipc::ServerConnection&) { return true; };
  settings.makeService = [] { return nullptr; };
  settings.listenerOptions.runtimeDirectory = temp.path();
  auto delegate = std::make_shared<HelperDelegate>(settings);
  onMainQueue([&] {
    delegate->applicationDidFinishLaunching();
    // Observers run in the order they were added: the delegate has judged
    // each termination by the time this one hears of it.
    platform::Workspace::shared().addTerminationObserver(
        [&events](const platform::TerminationNotification& notification) {
          events.add("quit:" + notification.application->bundleIdentifier().value_or(""));
        });
  });
  for (std::size_t i = 0; i < running.size(); ++i) {
    const std::string quit = std::string("quit:") + applications[i].second;
    const auto before = events.count(quit);
    ASSERT_TRUE(running[i].signal(SIGKILL));
    running[i].wait();
    ASSERT_TRUE(events.waitFor(quit, before + 1));
    onMainQueue([] {});
    EXPECT_EQ(events.count("terminate"), i + 1 == running.size() ? 1u : 0u)
        << applications[i].first;
  }
  onMainQueue([&] { delegate.reset(); });
}

}  // namespace
}  // namespace zefra::app::testing
