#include "app/helper_delegate.h"

#include <future>

#include "app/flow_support.h"
#include "platform/dispatch/main_queue.h"
#include "support/helper_fixture.h"
#include "tools/tool_service.h"

namespace zefra::app::testing {
namespace {

class HelperDelegateTest : public HelperFixture {
 protected:
  std::shared_ptr<HelperDelegate> make(
      std::optional<platform::LaunchEvent> event,
      std::function<bool(const ipc::ServerConnection&)> peerCheck = nullptr,
      std::function<void()> onStatus = nullptr) {
    ensureMainQueueRuns();
    DelegateSettings settings;
    settings.launchEvent = event;
    settings.peerIsTrusted =
        peerCheck ? peerCheck : [](const ipc::ServerConnection&) { return true; };
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
  std::shared_ptr<HelperDelegate> launch(
      std::optional<platform::LaunchEvent> event,
      std::function<bool(const ipc::ServerConnection&)> peerCheck = nullptr,
      std::function<void()> onStatus = nullptr) {
    auto delegate = make(event, std::move(peerCheck), std::move(onStatus));
    onMainQueue([&] { delegate->applicationDidFinishLaunching(); });
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
    onMainQueue([&] {
      EXPECT_EQ(delegate->launchInteractive(), interactive);
      EXPECT_FALSE(delegate->applicationShouldHandleReopen(true));
    });
  }
}

TEST_F(HelperDelegateTest, AReopenBeforeTheLaunchDecisionWaitsForIt) {
  auto delegate = make(platform::parseLaunchEvent("aevt:oapp"));
  onMainQueue([&] {
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate->reopenPending());
    EXPECT_FALSE(delegate->launchInteractive().has_value());
    delegate->applicationDidFinishLaunching();
    EXPECT_FALSE(delegate->reopenPending());
    EXPECT_EQ(delegate->launchInteractive(), true);
  });
}

TEST_F(HelperDelegateTest, OnlyAnotherTrustedProcessCountsAsServed) {
  for (bool trusted : {true, false}) {
    auto delegate =
        launch(std::nullopt, [trusted](const ipc::ServerConnection&) { return trusted; });
    if (trusted) {
      // Our own connection, as the self-probe's, is not a client.
      auto own = connect();
      ASSERT_TRUE(own && (*own)->ping());
      EXPECT_FALSE(onMainQueue<bool>([&] { return delegate->servedConnection(); }));
    }
    auto ping = client({"ping"});
    EXPECT_EQ(ping.status, trusted ? 0 : 77);
    if (!trusted) {
      EXPECT_NE(ping.err.find("signed by the maker's team"), std::string::npos) << ping.err;
    }
    // The acceptance posted its mark before the client's ping was answered.
    EXPECT_EQ(onMainQueue<bool>([&] { return delegate->servedConnection(); }), trusted);
    onMainQueue([&] { delegate.reset(); });
  }
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
