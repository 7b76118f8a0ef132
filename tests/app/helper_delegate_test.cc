#include "app/helper_delegate.h"

#include <future>

#include "app/flow_support.h"
#include "app/helper_fixture.h"
#include "platform/main_queue.h"
#include "tools/tool_service.h"

namespace zefra::app::testing {
namespace {

class HelperDelegateTest : public HelperFixture {
 protected:
  std::shared_ptr<HelperDelegate> make(std::optional<platform::LaunchEvent> event,
                                       std::function<bool(int)> peerCheck = nullptr,
                                       std::function<void()> onStatus = nullptr) {
    ensureMainQueueRuns();
    DelegateSettings settings;
    settings.launchEvent = event;
    settings.peerIsTrusted = peerCheck ? peerCheck : [](int) { return true; };
    settings.makeService = [] { return tools::ToolService::create(); };
    settings.listenerOptions.runtimeDirectory = runtime_;
    // The agent is enabled and current, and its probe answers.
    if (!defaults_) defaults_.emplace(root_ + "/defaults.json");
    (void)defaults_->setObject("RegisteredAgentVersion", "7");
    (void)defaults_->setObject("RegisteredAgentPath", "/Users/u/Applications/Zefra Helper.app");
    auto agent = std::make_shared<ScriptedAgentState>();
    agent->status = platform::AgentStatus::kEnabled;
    agent->onStatus = onStatus;
    settings.services =
        scriptedServices(events_, agent, std::make_shared<RecordingResponder>(events_), *defaults_);
    return std::make_shared<HelperDelegate>(settings);
  }
  std::shared_ptr<HelperDelegate> launch(std::optional<platform::LaunchEvent> event,
                                         std::function<bool(int)> peerCheck = nullptr,
                                         std::function<void()> onStatus = nullptr) {
    auto delegate = make(event, std::move(peerCheck), std::move(onStatus));
    onMainQueue<bool>([&] {
      delegate->applicationDidFinishLaunching();
      return true;
    });
    return delegate;
  }
  EventLog events_;
  std::optional<platform::UserDefaults> defaults_;
};

TEST_F(HelperDelegateTest, OnlyTheOpenApplicationEventMakesALaunchInteractive) {
  const std::pair<std::optional<platform::LaunchEvent>, bool> cases[] = {
      {std::nullopt, false},
      {platform::parseLaunchEvent("aevt:oapp"), true},
      {platform::parseLaunchEvent("aevt:rapp"), false},
      {platform::parseLaunchEvent("aevt:odoc"), false},
  };
  for (const auto& [event, interactive] : cases) {
    auto delegate = launch(event);
    EXPECT_EQ(onMainQueue<std::optional<bool>>([&] { return delegate->launchInteractive(); }),
              interactive);
    // Both listeners serve, in the order of the service names.
    onMainQueue<bool>([&] {
      EXPECT_EQ(delegate->listeners().size(), 2u);
      EXPECT_EQ(delegate->listeners()[0]->path(), runtime_ + "/group.com.ovak.zefra.helper");
      EXPECT_EQ(delegate->listeners()[1]->path(), runtime_ + "/K4T9QZ2M7B.com.ovak.zefra.helper");
      EXPECT_FALSE(delegate->applicationShouldHandleReopen(true));
      return true;
    });
  }
}

TEST_F(HelperDelegateTest, AReopenBeforeTheLaunchDecisionWaitsForIt) {
  auto delegate = make(platform::parseLaunchEvent("aevt:oapp"));
  onMainQueue<bool>([&] {
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate->reopenPending());
    EXPECT_FALSE(delegate->launchInteractive().has_value());
    delegate->applicationDidFinishLaunching();
    EXPECT_FALSE(delegate->reopenPending());
    EXPECT_EQ(delegate->launchInteractive(), true);
    return true;
  });
}

TEST_F(HelperDelegateTest, ServedConnectionMarksOnlyOtherProcesses) {
  auto delegate = launch(std::nullopt);
  auto own = connect();
  ASSERT_TRUE(own);
  ASSERT_TRUE((*own)->ping());
  EXPECT_FALSE(onMainQueue<bool>([&] { return delegate->servedConnection(); }));

  EXPECT_EQ(client({"ping"}).status, 0);
  // The acceptance posted its mark before the client's ping was answered.
  EXPECT_TRUE(onMainQueue<bool>([&] { return delegate->servedConnection(); }));
}

TEST_F(HelperDelegateTest, RefusedPeersGetNothingAndMarkNothing) {
  auto delegate = launch(std::nullopt, [](int) { return false; });
  EXPECT_EQ(client({"ping"}).status, 69);
  auto proxy = connect();
  if (proxy) {
    EXPECT_FALSE((*proxy)->ping());
  }
  EXPECT_FALSE(onMainQueue<bool>([&] { return delegate->servedConnection(); }));
}

TEST_F(HelperDelegateTest, InteractiveLaunchShowsTheStatusOnlyWhenNoClientWasServed) {
  for (bool served : {false, true}) {
    events_.clear();
    // The launch reads the agent's status while the listeners already serve;
    // a client served then, before the second has passed, holds the dialog back.
    auto delegate = launch(platform::parseLaunchEvent("aevt:oapp"), nullptr, [&, served] {
      if (served) {
        EXPECT_EQ(client({"ping"}).status, 0);
      }
    });
    ASSERT_TRUE(events_.waitFor("probe"));  // 1.5 s: after the status check's second
    onMainQueue([] {});
    EXPECT_EQ(events_.count("alert:Zefra Helper 1.7 is installed"), served ? 0u : 1u);
  }
}

}  // namespace
}  // namespace zefra::app::testing
