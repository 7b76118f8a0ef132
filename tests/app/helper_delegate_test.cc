// The delegate, with a scripted agent and alerts and the clock seam: the
// registration flow, the dialogs and the self-heal throttle, each a table of
// what the delegate sees and what it does. Then over real sockets and the
// real workspace: when a launch is interactive, when the status shows, when
// the host's quitting ends it, and the self-probe's dialling of the service
// names.
#include "app/helper_delegate.h"

#include <signal.h>

#include <algorithm>
#include <future>
#include <mutex>

#include "app/self_heal.h"
#include "base/clock.h"
#include "ipc/listener.h"
#include "platform/dispatch/main_queue.h"
#include "platform/log.h"
#include "support/helper_fixture.h"
#include "support/listening_socket.h"
#include "tools/tool_service.h"

namespace zefra::app::testing {
namespace {

// Events in order, as a test waits for them.
struct EventLog {
  void add(std::string event) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  std::size_t count(const std::string& event) const { return std::ranges::count(events(), event); }
  // Waits (generously) until `event` has been seen `times` times.
  bool waitFor(const std::string& event, std::size_t times = 1) const {
    return zefra::testing::eventually([&] { return count(event) >= times; });
  }

  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// The agent, the alerts and the other services as the test scripts them,
// logging what they saw: "status", "register", "unregister",
// "open-login-items", "probe", "open:<path>", "quarantine:<path>",
// "terminate", "alert:<message>". Every operation gets this one agent, and
// the alerts take `answers` in order (kAlertNoAnswer when they run out).
class ScriptedDesktop final : public EventLog,
                              public platform::AgentService,
                              public platform::AlertResponder {
 public:
  platform::AgentStatus status() override {
    add("status");
    if (onStatus) onStatus();
    std::lock_guard lock(mu_);
    return current;
  }
  base::Status registerAndReturnError() override {
    add("register");
    std::lock_guard lock(mu_);
    if (registerFailures-- > 0) return base::Error{1, "The operation couldn't be completed."};
    current = statusAfterRegister;
    return base::Ok{};
  }
  base::Status unregisterAndReturnError() override {
    add("unregister");
    std::lock_guard lock(mu_);
    if (unregisterFails) return base::Error{1, "Operation not permitted"};
    current = platform::AgentStatus::kNotRegistered;
    return base::Ok{};
  }
  void openSystemSettingsLoginItems() override { add("open-login-items"); }
  int runModal(const platform::Alert& alert) override {
    add("alert:" + alert.messageText);
    std::lock_guard lock(mu_);
    if (answers.empty()) return platform::kAlertNoAnswer;
    const int answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }

  // Set before the delegate starts.
  platform::AgentStatus current = platform::AgentStatus::kEnabled;
  platform::AgentStatus statusAfterRegister = platform::AgentStatus::kEnabled;
  int registerFailures = 0;  // the first N registrations fail
  bool unregisterFails = false;
  std::function<void()> onStatus;
  std::vector<int> answers;
  bool probeAnswers = true;  // whether a service answers the self-probe
};

// Runs `work` on the main queue, which runs for the whole test program as
// the entry point runs it, and waits for it.
void onMainQueue(const std::function<void()>& work) {
  static std::once_flag started;
  std::call_once(started,
                 [] { std::thread([] { platform::MainQueue::shared().run(); }).detach(); });
  std::promise<void> done;
  platform::MainQueue::shared().async([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

constexpr const char* kBundle = "/Users/u/Applications/Zefra Helper.app";

using platform::AgentStatus;
using Events = std::vector<std::string>;
using nlohmann::json;

constexpr const char* kInstalled = "alert:Zefra Helper installed";
constexpr const char* kUpdated = "alert:Zefra Helper updated";
constexpr const char* kApproval = "alert:Zefra Helper needs your approval";
constexpr const char* kInstallFailed = "alert:Couldn't install Zefra Helper";
constexpr const char* kStatus = "alert:Zefra Helper 1.7 is installed";

// A delegate on the scripted services, which log to the agent, made when
// first used; its peers are trusted and served as the helper serves them,
// under the runtime directory. Unless a case says otherwise, the agent is
// enabled and its record is this copy's.
class HelperDelegateTest : public HelperFixture {
 protected:
  void SetUp() override {
    HelperFixture::SetUp();
    settings_.peerIsTrusted = [](const ipc::ServerConnection&) { return true; };
    settings_.makeService = [] { return tools::ToolService::create(); };
    settings_.listenerOptions.runtimeDirectory = runtime_;
    reset();
  }
  void TearDown() override {
    reset();
    HelperFixture::TearDown();
  }
  // Also the start of each case: the last delegate gone (on the main queue,
  // after whatever it left queued there), a new agent, this copy recorded.
  void reset() {
    onMainQueue([&] { delegate_.reset(); });
    std::filesystem::remove(defaults_.path());
    record("7", kBundle);
    const auto desktop = agent_ = std::make_shared<ScriptedDesktop>();
    // Where copies lie and their quarantine only the translocation test
    // needs, and the running applications only the real workspace's test.
    services_ = AppServices();
    services_.agentService = [desktop] { return desktop; };
    services_.alerts = desktop;
    services_.defaults = &defaults_;
    services_.bundlePath = [] { return std::string(kBundle); };
    services_.infoDictionary = {{"CFBundleVersion", "7"}, {"CFBundleShortVersionString", "1.7"}};
    services_.homeDirectory = "/Users/u";
    services_.openApplication = [desktop](const std::string& path, auto completion) {
      desktop->add("open:" + path);
      std::thread(completion).detach();
    };
    services_.machServiceAnswers = [desktop](std::function<void(bool)> completion) {
      desktop->add("probe");
      completion(desktop->probeAnswers);
    };
    services_.observeTerminations = [](platform::Workspace::Observer) {};
    services_.terminate = [desktop] { desktop->add("terminate"); };
  }
  HelperDelegate& delegate() {
    if (!delegate_) delegate_ = std::make_shared<HelperDelegate>(settings_);
    return *delegate_;
  }
  // No record when `version` is null.
  void record(const char* version, const std::string& path) {
    (void)defaults_.setObject("RegisteredAgentVersion", version ? json(version) : json());
    (void)defaults_.setObject("RegisteredAgentPath", version ? json(path) : json());
  }
  // The recorded value, "" when none.
  std::string recorded(const char* key) { return defaults_.stringForKey(key).value_or(""); }
  // Events without the status reads, which every path makes.
  Events actions() {
    Events out = agent_->events();
    std::erase(out, "status");
    return out;
  }

  platform::UserDefaults defaults_{temp_.path() + "/defaults.json"};
  std::shared_ptr<ScriptedDesktop> agent_;
  DelegateSettings settings_;
  AppServices& services_ = settings_.services;
  std::shared_ptr<HelperDelegate> delegate_;
};

// A copy run from where the system moved it hands over to the installed copy,
// its quarantine cleared, or says it could not.
TEST_F(HelperDelegateTest, TranslocatedCopyHandsOverOrShowsTheQuarantineAlert) {
  const std::string home = kBundle, system = "/Applications/Zefra Helper.app";
  // The copies present, the status of clearing the quarantine, what follows.
  const std::tuple<std::vector<std::string>, int, Events> cases[] = {
      {{}, 0, {kInstallFailed}},
      {{home}, 1, {"quarantine:" + home, kInstallFailed}},
      {{home, system}, 0, {"quarantine:" + system, "open:" + system, "terminate"}},
  };
  for (const auto& [present, quarantineStatus, expected] : cases) {
    reset();
    services_.bundlePath = [] { return "/var/folders/x/AppTranslocation/A/Zefra Helper.app"; };
    services_.fileExists = [&](auto& path) { return std::ranges::count(present, path) > 0; };
    services_.clearQuarantine = [&](const std::string& path) {
      agent_->add("quarantine:" + path);
      return quarantineStatus;
    };
    // The quarantine alert shows in agent mode too.
    onMainQueue([&] { delegate().handleLaunch(false); });
    ASSERT_TRUE(agent_->waitFor(expected.back()));
    EXPECT_EQ(agent_->events(), expected);  // no "register"
  }
}

TEST_F(HelperDelegateTest, StatusRecordAndProbeDecideWhatALaunchDoes) {
  using enum AgentStatus;
  const char* reg = "register";
  enum Twist { kNone, kApprovalAfter, kFailsThrice, kMoved, kReregister, kNoVersions, kNoAnswer };
  // The agent's status, whether interactive, the version recorded before and
  // after (none when null), the twist, and what the delegate does.
  const std::tuple<AgentStatus, bool, const char*, Twist, const char*, Events> cases[] = {
      {kRequiresApproval, false, nullptr, kNone, nullptr, {}},
      {kRequiresApproval, true, nullptr, kNone, nullptr, {kApproval, "open-login-items"}},
      // Without a record the first install shows its alert even in agent mode.
      {kNotRegistered, false, nullptr, kNone, "7", {"register", kInstalled}},
      {kNotRegistered, false, "6", kNone, "7", {"register"}},
      {kNotRegistered, true, "6", kNone, "7", {"register", kUpdated}},
      {kNotRegistered, true, nullptr, kApprovalAfter, "7", {reg, kApproval, "open-login-items"}},
      // Three attempts, spaced out without holding the main queue, then one
      // alert when interactive, else one log line.
      {kNotRegistered, false, nullptr, kFailsThrice, nullptr, {reg, reg, reg}},
      {kNotRegistered, true, nullptr, kFailsThrice, nullptr, {reg, reg, reg, kInstallFailed}},
      // A changed version, path or "--reregister": unregistered (its failure
      // ignored), then registered.
      {kEnabled, true, "7", kMoved, "7", {"unregister", "register", kUpdated}},
      {kEnabled, true, "7", kReregister, "7", {"unregister", "register", kUpdated}},
      {kEnabled, true, "7", kNoVersions, "0", {"unregister", "register", kUpdated}},
      // Unchanged: the probe, and healing in agent mode shows nothing either.
      {kEnabled, false, "7", kNone, "7", {"probe"}},
      {kEnabled, false, "7", kNoAnswer, "7", {"probe", "unregister", "register"}},
  };
  for (const auto& [status, interactive, recordedVersion, twist, versionAfter, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(expected));
    reset();
    agent_->current = status;
    if (twist == kApprovalAfter) agent_->statusAfterRegister = kRequiresApproval;
    if (twist == kFailsThrice) agent_->registerFailures = 3;
    agent_->unregisterFails = status == kEnabled && interactive;  // registered all the same
    record(recordedVersion, twist == kMoved ? "/Applications/Zefra Helper.app" : kBundle);
    if (twist == kReregister) services_.arguments = {"/x/zefra-helper", "--reregister"};
    if (twist == kNoVersions) services_.infoDictionary = nlohmann::json::object();
    agent_->probeAnswers = twist != kNoAnswer;
    agent_->answers = {platform::kAlertFirstButton};
    platform::ScopedLogCapture log;
    const auto started = std::chrono::steady_clock::now();
    onMainQueue([&] { delegate().handleLaunch(interactive); });
    ASSERT_TRUE(expected.empty() ||
                agent_->waitFor(expected.back(), std::ranges::count(expected, expected.back())));
    onMainQueue([] {});
    EXPECT_EQ(actions(), expected);
    EXPECT_GE(std::chrono::steady_clock::now() - started, twist == kFailsThrice ? 1400ms : 0ms);
    EXPECT_EQ(recorded("RegisteredAgentVersion"), versionAfter ? versionAfter : "");
    EXPECT_EQ(recorded("RegisteredAgentPath"), versionAfter ? kBundle : "");
    const bool logs = twist == kNoAnswer || (twist == kFailsThrice && !interactive);
    EXPECT_EQ(log.lines().size(), logs ? 1u : 0u);
  }
}

TEST_F(HelperDelegateTest, StatusDialogButtons) {
  using enum AgentStatus;
  constexpr int k1 = platform::kAlertFirstButton, k2 = platform::kAlertSecondButton;
  constexpr const char* kUninstall = "alert:Uninstall Zefra Helper?";
  constexpr const char* kFailed = "alert:Couldn't uninstall Zefra Helper";
  constexpr const char* kNotInstalled = "alert:Zefra Helper isn't installed";
  const std::tuple<AgentStatus, std::vector<int>, Events> cases[] = {
      {kEnabled, {k1}, {kStatus}},
      {kEnabled, {k2, k2}, {kStatus, kUninstall}},
      {kEnabled, {k2, k1}, {kStatus, kUninstall, "unregister", "terminate"}},
      {kEnabled, {k2, k1}, {kStatus, kUninstall, "unregister", kFailed, "terminate"}},
      // Install is a first install even with a record: never "updated".
      {kNotRegistered, {k1}, {kNotInstalled, "register", kInstalled}},
      {kNotFound, {k2}, {kNotInstalled}},
      {kRequiresApproval, {k2}, {kApproval}},
  };
  for (const auto& [status, answers, expected] : cases) {
    reset();
    agent_->current = status;
    agent_->unregisterFails = std::ranges::count(expected, kFailed) == 1;
    agent_->answers = answers;
    onMainQueue([&] { delegate().showStatus(); });
    ASSERT_TRUE(agent_->waitFor(expected.back()));
    EXPECT_EQ(actions(), expected);
    const bool uninstalled = agent_->count("unregister") == 1;
    EXPECT_EQ(recorded("RegisteredAgentVersion"), uninstalled ? "" : "7");
    EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
    if (uninstalled) {
      // A heal or registration already on its way does nothing after it.
      onMainQueue([&] {
        delegate().selfHealRegistration("7");
        delegate().registerAgent("7", false, false, 3);
      });
      EXPECT_EQ(actions(), expected);
      EXPECT_EQ(defaults_.doubleForKey("LastRegistrationSelfHeal"), 0);
    }
  }
}

// A registration that stopped answering is healed, silently, at most once in
// 300 s by the stored time; a stored time in the future holds it off too.
TEST_F(HelperDelegateTest, SelfHealIsThrottledByTheStoredTime) {
  base::ScopedClockOverride clock(1'000'000);
  platform::ScopedLogCapture log;
  // When, the time stored before unless 0, whether it heals: nothing stored;
  // the heal's own time, exactly 300 s and one past; a stored time ahead
  // that holds off what would otherwise heal.
  const std::tuple<double, double, bool> steps[] = {{1'000'000, 0, true},
                                                    {1'000'300, 0, false},
                                                    {1'000'301, 0, true},
                                                    {1'000'700, 1'000'800, false}};
  std::size_t healed = 0;
  for (const auto& [at, stored, heals] : steps) {
    clock.set(at);
    if (stored) (void)defaults_.setObject("LastRegistrationSelfHeal", stored);
    onMainQueue([&] { delegate().selfHealRegistration("7"); });
    healed += heals ? 1 : 0;
    // A heal unregisters on the pool and registers back on the main queue.
    ASSERT_TRUE(agent_->waitFor("register", healed));
    onMainQueue([] {});
    EXPECT_EQ(actions().size(), 2 * healed) << at << ": only unregister and register";
    EXPECT_EQ(defaults_.doubleForKey("LastRegistrationSelfHeal") == at, heals);
  }
  EXPECT_EQ(log.lines().size(), healed);
}

// Only a launch by the open-application event (not one without an event,
// nor a reopen event) is interactive. It shows the status dialog unless a
// client was served meanwhile (before the second of the status check has
// passed). Only another trusted process counts: not our own connection, as
// the self-probe's is, nor a peer refused. A reopen before the launch
// decision waits for it, then shows the status at once, and not again at the
// second.
TEST_F(HelperDelegateTest, OnlyAnOpenedLaunchShowsTheStatusAndOnlyWhenNoClientWasServed) {
  enum Meanwhile { kNoEvent, kReopenEvent, kOwnConnection, kRefusedClient, kClient, kReopen };
  for (Meanwhile meanwhile :
       {kNoEvent, kReopenEvent, kOwnConnection, kRefusedClient, kClient, kReopen}) {
    SCOPED_TRACE(meanwhile);
    const bool opened = meanwhile != kNoEvent && meanwhile != kReopenEvent;
    reset();
    settings_.launchEvent = meanwhile == kNoEvent
                                ? std::nullopt
                                : platform::parseLaunchEvent(opened ? "aevt:oapp" : "aevt:rapp");
    settings_.peerIsTrusted = [meanwhile](auto&) { return meanwhile != kRefusedClient; };
    agent_->onStatus = [&] {
      if (meanwhile == kOwnConnection) {
        auto own = connect();
        EXPECT_TRUE(own && (*own)->ping());
      }
      if (meanwhile == kRefusedClient || meanwhile == kClient) {
        EXPECT_EQ(client({"ping"}).status, meanwhile == kClient ? 0 : 77);
      }
    };
    std::size_t shownAtLaunch = 0;  // read before the main queue can run the second's check
    onMainQueue([&] {
      if (meanwhile == kReopen) delegate().applicationShouldHandleReopen(false);
      delegate().applicationDidFinishLaunching();
      shownAtLaunch = agent_->count(kStatus);
    });
    EXPECT_EQ(shownAtLaunch, meanwhile == kReopen ? 1u : 0u);
    const std::size_t shown = opened && meanwhile != kClient ? 1u : 0u;
    ASSERT_TRUE(agent_->waitFor("probe"));            // 1.5 s: after the status check's second
    EXPECT_TRUE(!shown || agent_->waitFor(kStatus));  // a starved main queue runs it late
    onMainQueue([] {});
    EXPECT_EQ(agent_->count(kStatus), shown);
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
  for (auto [name, identifier] : applications)
    running.push_back(zefra::testing::startStandInApplication(root_, name, identifier));
  const auto real = defaultAppServices();
  services_.observeTerminations = real.observeTerminations;
  services_.runningApplications = real.runningApplications;
  auto quits = std::make_shared<EventLog>();  // outlives the test, as the observer does
  onMainQueue([&] {
    delegate().applicationDidFinishLaunching();
    // Observers run in the order they were added: the delegate has judged
    // each termination by the time this one hears of it.
    platform::Workspace::shared().addTerminationObserver(
        [quits](const platform::TerminationNotification& notification) {
          quits->add(std::to_string(notification.application->processIdentifier()));
        });
  });
  for (std::size_t i = 0; i < running.size(); ++i) {
    stop(running[i], SIGKILL);
    ASSERT_TRUE(quits->waitFor(std::to_string(running[i].pid())));
    onMainQueue([] {});
    EXPECT_EQ(agent_->count("terminate"), i + 1 == running.size() ? 1u : 0u)
        << applications[i].first;
  }
}

// The self-probe dials the service names in turn: the first that answers
// decides, and the second is dialled only when the first does not; a silent
// name costs its whole time-out.
TEST_F(HelperDelegateTest, TheSelfProbesFirstNameThatAnswersDecides) {
  enum Peer { kNobody, kServes, kRefuses, kSilent };
  // The peers at the group's name and the team's, whether one answers, the
  // one name a peer saw dialled, and the least time it takes (seconds).
  const std::tuple<Peer, Peer, bool, const char*, double> rows[] = {
      {kServes, kServes, true, kGroup, 0},
      {kSilent, kServes, true, kTeam, kProbeTimeout},
      {kNobody, kRefuses, false, kTeam, 0},
  };
  HelperDelegate& serving = delegate();
  for (const auto& [first, second, answers, dialled, atLeast] : rows) {
    SCOPED_TRACE(first);
    EventLog heard;  // the names the peers saw dialled
    std::vector<base::UniqueFd> silent;
    std::vector<std::unique_ptr<ipc::Listener>> listeners;
    for (const auto& [name, peer] : {std::pair{kGroup, first}, std::pair{kTeam, second}}) {
      const std::string path = runtime_ + "/" + name;
      std::filesystem::remove(path);
      if (peer == kSilent) silent.push_back(zefra::testing::listenWithoutAccepting(path));
      if (peer != kServes && peer != kRefuses) continue;
      // Served by the delegate as the helper serves it, or refusing every peer.
      auto listener = ipc::Listener::open(
          name,
          [&, name, refuse = peer == kRefuses](ipc::ServerConnection& connection) {
            heard.add(name);
            return !refuse && serving.acceptConnection(connection);
          },
          ipc::ListenerOptions(runtime_));
      ASSERT_TRUE(listener) << listener.error().message;
      listeners.push_back(std::move(listener).value());
    }
    auto answered = std::make_shared<std::promise<bool>>();
    const auto started = std::chrono::steady_clock::now();
    machServiceAnswers([answered](bool yes) { answered->set_value(yes); },
                       ipc::ConnectOptions(runtime_));
    auto future = answered->get_future();
    ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(future.get(), answers);
    EXPECT_GE(took.count(), atLeast);
    EXPECT_EQ(heard.events(), std::vector<std::string>{dialled});
  }
}

}  // namespace
}  // namespace zefra::app::testing
