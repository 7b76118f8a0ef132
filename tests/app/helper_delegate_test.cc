// The delegate over real sockets and the real workspace: when a launch is
// interactive, when the status shows, when the host's quitting ends it, and
// the self-probe's dialling of the service names.
#include "app/helper_delegate.h"

#include <signal.h>

#include <mutex>

#include "app/flow_support.h"
#include "app/self_heal.h"
#include "ipc/listener.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "tools/tool_service.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace zefra::app::testing {
namespace {

class HelperDelegateTest : public HelperFixture {
 protected:
  // A delegate whose agent is enabled and current and whose probe answers;
  // `onStatus` runs as the launch reads the agent's status. The workspace
  // is the real one, as the helper uses it, or none.
  std::shared_ptr<HelperDelegate> make(std::optional<platform::LaunchEvent> event,
                                       bool trusted = true,
                                       std::function<void()> onStatus = nullptr,
                                       bool realWorkspace = false) {
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
    if (realWorkspace) {
      const auto real = defaultAppServices();
      settings.services.observeTerminations = real.observeTerminations;
      settings.services.runningApplications = real.runningApplications;
    }
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

// Quitting with the last instance of the host, over the real workspace.
TEST_F(HelperDelegateTest, OnlyTheLastHostInstanceEndsTheHelper) {
  // Ended in this order: neither a look-alike nor a first instance of two
  // ends the helper; the last instance does.
  const std::pair<const char*, const char*> applications[] = {
      {"Other Helper", "com.ovak.zefra.helper"},
      {"Other Case", "com.ovak.Zefra"},
      {"Zefra Writer", "com.ovak.zefra"},
      {"Zefra Writer Copy", "com.ovak.zefra"},
  };
  std::vector<platform::ChildProcess> running;
  for (auto [name, identifier] : applications) {
    running.push_back(zefra::testing::startStandInApplication(root_, name, identifier));
  }
  auto delegate = make(std::nullopt, true, nullptr, true);
  auto quits = std::make_shared<EventLog>();  // outlives the test, as the observer does
  onMainQueue([&] {
    delegate->applicationDidFinishLaunching();
    // Observers run in the order they were added: the delegate has judged
    // each termination by the time this one hears of it.
    platform::Workspace::shared().addTerminationObserver(
        [quits](const platform::TerminationNotification& notification) {
          quits->add(notification.application->bundleIdentifier().value_or(""));
        });
  });
  for (std::size_t i = 0; i < running.size(); ++i) {
    const auto before = quits->count(applications[i].second);
    ASSERT_TRUE(running[i].signal(SIGKILL));
    running[i].wait();
    ASSERT_TRUE(quits->waitFor(applications[i].second, before + 1));
    onMainQueue([] {});
    EXPECT_EQ(events_.count("terminate"), i + 1 == running.size() ? 1u : 0u)
        << applications[i].first;
  }
  onMainQueue([&] { delegate.reset(); });
}

constexpr const char* kFirst = "group.com.ovak.zefra.helper";
constexpr const char* kSecond = "K4T9QZ2M7B.com.ovak.zefra.helper";

enum class Peer { kNobody, kServes, kRefuses, kSilent };

class ProbeTest : public ::testing::Test {
 protected:
  // `name` served as the helper serves it, or refusing every peer (each
  // recording which name the peer dialled), or held by a socket that never
  // accepts.
  void hold(const char* name, Peer peer) {
    if (peer == Peer::kSilent) {
      silent_.push_back(zefra::testing::listenWithoutAccepting(runtime_ + "/" + name));
    }
    if (peer != Peer::kServes && peer != Peer::kRefuses) return;
    auto listener = ipc::Listener::open(
        name,
        [this, name, refuse = peer == Peer::kRefuses](ipc::ServerConnection& connection) {
          std::lock_guard lock(mu_);
          dialled_.push_back(name);
          if (refuse) return false;
          connection.setExportedInterface(xpc::makeHelperInterface());
          connection.setExportedObject(xpc::makeExportedObject(tools::ToolService::create()));
          return true;
        },
        ipc::ListenerOptions(runtime_));
    ASSERT_TRUE(listener) << listener.error().message;
    listeners_.push_back(std::move(listener).value());
  }

  zefra::testing::TempDir temp_;  // private, as a runtime directory must be
  const std::string runtime_ = temp_.path();
  const ipc::ConnectOptions options_{runtime_};
  std::mutex mu_;
  std::vector<std::string> dialled_;
  std::vector<std::unique_ptr<ipc::Listener>> listeners_;
  std::vector<base::UniqueFd> silent_;
};

// The first name that answers decides, and the second is dialled only when
// the first does not; a silent name costs its whole time-out.
TEST_F(ProbeTest, TheFirstNameThatAnswersDecides) {
  using enum Peer;
  const struct {
    Peer first, second;
    bool answers;
    std::vector<std::string> dialled;
    double atLeast;  // seconds
  } rows[] = {
      {kServes, kServes, true, {kFirst}, 0},
      {kSilent, kServes, true, {kSecond}, kProbeTimeout},
      {kNobody, kNobody, false, {}, 0},
      {kRefuses, kRefuses, false, {kFirst, kSecond}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    listeners_.clear();
    silent_.clear();
    dialled_.clear();
    for (auto name : {kFirst, kSecond}) std::filesystem::remove(runtime_ + "/" + name);
    hold(kFirst, row.first);
    hold(kSecond, row.second);
    auto answered = std::make_shared<std::promise<bool>>();
    const auto started = std::chrono::steady_clock::now();
    machServiceAnswers([answered](bool yes) { answered->set_value(yes); }, options_);
    auto future = answered->get_future();
    ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(future.get(), row.answers);
    EXPECT_GE(took.count(), row.atLeast);
    std::lock_guard lock(mu_);
    EXPECT_EQ(dialled_, row.dialled);
  }
}

}  // namespace
}  // namespace zefra::app::testing
