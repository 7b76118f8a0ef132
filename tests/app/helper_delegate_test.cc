#include "app/helper_delegate.h"

#include "app/flow_support.h"
#include "support/helper_fixture.h"
#include "tools/tool_service.h"

namespace zefra::app::testing {
namespace {

class HelperDelegateTest : public HelperFixture {
 protected:
  // A delegate whose agent is enabled and current and whose probe answers;
  // `onStatus` runs as the launch reads the agent's status.
  std::shared_ptr<HelperDelegate> make(std::optional<platform::LaunchEvent> event,
                                       bool trusted = true,
                                       std::function<void()> onStatus = nullptr) {
    DelegateSettings settings;
    settings.launchEvent = event;
    settings.peerIsTrusted = [trusted](const ipc::ServerConnection&) { return trusted; };
    settings.makeService = [] { return tools::ToolService::create(); };
    settings.listenerOptions.runtimeDirectory = runtime_;
    if (!defaults_) defaults_.emplace(root_ + "/defaults.json");
    (void)defaults_->setObject("RegisteredAgentVersion", "7");
    (void)defaults_->setObject("RegisteredAgentPath", "/Users/u/Applications/Zefra Helper.app");
    auto agent = std::make_shared<ScriptedAgent>(events_);
    agent->current = platform::AgentStatus::kEnabled;
    agent->onStatus = std::move(onStatus);
    settings.services = scriptedServices(events_, agent, *defaults_);
    return std::make_shared<HelperDelegate>(settings);
  }
  EventLog events_;
  std::optional<platform::UserDefaults> defaults_;
};

// A reopen before the launch decision waits for it; one after it is declined.
TEST_F(HelperDelegateTest, OnlyTheOpenApplicationEventMakesALaunchInteractive) {
  const std::pair<std::optional<platform::LaunchEvent>, bool> cases[] = {
      {std::nullopt, false},
      {platform::parseLaunchEvent("aevt:oapp"), true},
      {platform::parseLaunchEvent("aevt:rapp"), false},
  };
  for (const auto& [event, interactive] : cases) {
    auto delegate = make(event);
    onMainQueue([&] {
      if (interactive) {
        EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
        EXPECT_TRUE(delegate->reopenPending());
        EXPECT_FALSE(delegate->launchInteractive().has_value());
      }
      delegate->applicationDidFinishLaunching();
      EXPECT_FALSE(delegate->reopenPending());
      EXPECT_EQ(delegate->launchInteractive(), interactive);
      EXPECT_FALSE(delegate->applicationShouldHandleReopen(true));
    });
  }
}

// An interactive launch shows the status dialog unless a client was served
// meanwhile (before the second of the status check has passed). Only another
// trusted process counts: not our own connection, as the self-probe's is,
// nor a peer refused.
TEST_F(HelperDelegateTest, InteractiveLaunchShowsTheStatusOnlyWhenNoClientWasServed) {
  enum Meanwhile { kNothing, kOwnConnection, kRefusedClient, kClient };
  for (Meanwhile meanwhile : {kNothing, kOwnConnection, kRefusedClient, kClient}) {
    SCOPED_TRACE(meanwhile);
    events_.clear();
    auto delegate = make(platform::parseLaunchEvent("aevt:oapp"), meanwhile != kRefusedClient, [&] {
      if (meanwhile == kOwnConnection) {
        auto own = connect();
        EXPECT_TRUE(own && (*own)->ping());
      }
      if (meanwhile == kRefusedClient || meanwhile == kClient) {
        EXPECT_EQ(client({"ping"}).status, meanwhile == kClient ? 0 : 77);
      }
    });
    onMainQueue([&] { delegate->applicationDidFinishLaunching(); });
    ASSERT_TRUE(events_.waitFor("probe"));  // 1.5 s: after the status check's second
    const bool served = onMainQueue<bool>([&] { return delegate->servedConnection(); });
    EXPECT_EQ(served, meanwhile == kClient);
    EXPECT_EQ(events_.count("alert:Zefra Helper 1.7 is installed"), served ? 0u : 1u);
    onMainQueue([&] { delegate.reset(); });
  }
}

}  // namespace
}  // namespace zefra::app::testing
