// The registration flow, the dialogs and the self-heal throttle, with a
// scripted agent, a recording responder and the clock seam: each a table of
// what the delegate sees and what it does.
#include <gtest/gtest.h>

#include "app/flow_support.h"
#include "base/clock.h"
#include "platform/log.h"
#include "support/temp_dir.h"

namespace zefra::app::testing {
namespace {

using platform::AgentStatus;
using Events = std::vector<std::string>;

constexpr const char* kBundle = "/Users/u/Applications/Zefra Helper.app";
constexpr const char* kInstalled = "alert:Zefra Helper installed";
constexpr const char* kUpdated = "alert:Zefra Helper updated";
constexpr const char* kApproval = "alert:Zefra Helper needs your approval";
constexpr const char* kInstallFailed = "alert:Couldn't install Zefra Helper";
constexpr const char* kOpenLoginItems = "open-login-items";

class FlowTest : public ::testing::Test {
 protected:
  FlowTest() : defaults_(temp_.path() + "/defaults.json") {}

  // Also the start of each case: a new delegate and agent, nothing recorded.
  void SetUp() override {
    delegate_.reset();
    events_.clear();
    agent_ = std::make_shared<ScriptedAgent>(events_);
    services_ = scriptedServices(events_, agent_, defaults_);
    for (auto key : {"RegisteredAgentVersion", "RegisteredAgentPath", "LastRegistrationSelfHeal"}) {
      (void)defaults_.removeObject(key);
    }
  }
  void TearDown() override {
    // Whatever the flow left queued on the main queue runs before we go.
    onMainQueue([] {});
    delegate_.reset();
  }

  HelperDelegate& delegate() {
    if (!delegate_) {
      DelegateSettings settings;
      settings.services = services_;
      delegate_ = std::make_shared<HelperDelegate>(settings);
    }
    return *delegate_;
  }
  void launch(bool interactive) {
    onMainQueue([&] { delegate().handleLaunch(interactive); });
  }
  void answer(std::vector<int> answers) {
    static_cast<RecordingResponder&>(*services_.alerts).answer(std::move(answers));
  }
  void record(const std::string& version, const std::string& path) {
    (void)defaults_.setObject("RegisteredAgentVersion", version);
    (void)defaults_.setObject("RegisteredAgentPath", path);
  }
  std::optional<std::string> recorded(const char* key) { return defaults_.stringForKey(key); }
  // Events without the status reads, which every path makes.
  Events actions() {
    Events out;
    for (auto& event : events_.events()) {
      if (event != "status") out.push_back(event);
    }
    return out;
  }

  zefra::testing::TempDir temp_;
  platform::UserDefaults defaults_;
  EventLog events_;
  std::shared_ptr<ScriptedAgent> agent_;
  AppServices services_;
  std::shared_ptr<HelperDelegate> delegate_;
};

// A copy run from where the system moved it hands over to the installed copy,
// its quarantine cleared, or says it could not.
TEST_F(FlowTest, TranslocatedCopyHandsOverOrShowsTheQuarantineAlert) {
  const std::string home = kBundle, system = "/Applications/Zefra Helper.app";
  const struct {
    std::vector<std::string> present;
    int quarantineStatus;
    Events expected;
  } cases[] = {
      {{}, 0, {kInstallFailed}},
      {{home}, 1, {"quarantine:" + home, kInstallFailed}},
      {{home}, 0, {"quarantine:" + home, "open:" + home, "terminate"}},
      {{home, system}, 0, {"quarantine:" + system, "open:" + system, "terminate"}},
  };
  for (const auto& c : cases) {
    SetUp();
    services_.bundlePath = [] {
      return std::string("/private/var/folders/x/AppTranslocation/A/d/Zefra Helper.app");
    };
    services_.fileExists = [&c](const std::string& path) {
      return std::ranges::count(c.present, path) > 0;
    };
    services_.clearQuarantine = [this, &c](const std::string& path) {
      events_.add("quarantine:" + path);
      return c.quarantineStatus;
    };
    launch(false);  // the quarantine alert shows in agent mode too
    ASSERT_TRUE(events_.waitFor(c.expected.back()));
    EXPECT_EQ(events_.events(), c.expected);
    EXPECT_FALSE(recorded("RegisteredAgentVersion"));
  }
}

TEST_F(FlowTest, StatusRecordAndProbeDecideWhatALaunchDoes) {
  using enum AgentStatus;
  const char* reg = "register";
  enum Twist { kNone, kApprovalAfter, kFailsThrice, kMoved, kReregister, kNoVersions, kNoAnswer };
  const struct {
    AgentStatus status;
    bool interactive;
    const char* recordedVersion;  // nothing recorded when null
    Twist twist;
    const char* versionAfter;  // null: as it was
    Events expected;
  } cases[] = {
      {kRequiresApproval, false, nullptr, kNone, nullptr, {}},
      {kRequiresApproval, true, nullptr, kNone, nullptr, {kApproval, kOpenLoginItems}},
      // Without a record the first install shows its alert even in agent mode.
      {kNotRegistered, false, nullptr, kNone, "7", {"register", kInstalled}},
      {kNotRegistered, false, "6", kNone, "7", {"register"}},
      {kNotRegistered, true, "6", kNone, "7", {"register", kUpdated}},
      {kNotRegistered, true, nullptr, kApprovalAfter, "7", {reg, kApproval, kOpenLoginItems}},
      // Three attempts, spaced out without holding the main queue, then one
      // alert when interactive, else one log line.
      {kNotRegistered, false, nullptr, kFailsThrice, nullptr, {reg, reg, reg}},
      {kNotRegistered, true, nullptr, kFailsThrice, nullptr, {reg, reg, reg, kInstallFailed}},
      // A changed version, path or "--reregister": unregistered (its failure
      // ignored), then registered.
      {kEnabled, true, "6", kNone, "7", {"unregister", "register", kUpdated}},
      {kEnabled, true, "7", kMoved, "7", {"unregister", "register", kUpdated}},
      {kEnabled, true, "7", kReregister, "7", {"unregister", "register", kUpdated}},
      {kEnabled, true, "7", kNoVersions, "0", {"unregister", "register", kUpdated}},
      // Unchanged: the probe, and healing in agent mode shows nothing either.
      {kEnabled, false, "7", kNone, nullptr, {"probe"}},
      {kEnabled, false, "7", kNoAnswer, nullptr, {"probe", "unregister", "register"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.expected));
    SetUp();
    agent_->current = c.status;
    if (c.twist == kApprovalAfter) agent_->statusAfterRegister = kRequiresApproval;
    if (c.twist == kFailsThrice) agent_->registerFailures = 3;
    agent_->unregisterFails = c.status == kEnabled && c.interactive;  // registered all the same
    if (c.recordedVersion) {
      record(c.recordedVersion, c.twist == kMoved ? "/Applications/Zefra Helper.app" : kBundle);
    }
    if (c.twist == kReregister) services_.arguments = {"/x/zefra-helper", "--reregister"};
    if (c.twist == kNoVersions) services_.infoDictionary = nlohmann::json::object();
    services_.machServiceAnswers = [this, answers = c.twist != kNoAnswer](auto done) {
      events_.add("probe");
      done(answers);
    };
    answer({platform::kAlertFirstButton});
    platform::ScopedLogCapture log;
    const auto started = std::chrono::steady_clock::now();
    launch(c.interactive);
    if (!c.expected.empty()) {
      ASSERT_TRUE(
          events_.waitFor(c.expected.back(), std::ranges::count(c.expected, c.expected.back())));
    }
    onMainQueue([] {});
    EXPECT_EQ(actions(), c.expected);
    if (c.twist == kFailsThrice) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
    }
    const char* versionAfter = c.versionAfter ? c.versionAfter : c.recordedVersion;
    EXPECT_EQ(recorded("RegisteredAgentVersion"),
              versionAfter ? std::optional<std::string>(versionAfter) : std::nullopt);
    if (c.versionAfter) {
      EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
    }
    const bool logs = c.twist == kNoAnswer || (c.twist == kFailsThrice && !c.interactive);
    EXPECT_EQ(log.lines().size(), logs ? 1u : 0u);
  }
}

TEST_F(FlowTest, StatusDialogButtons) {
  using enum AgentStatus;
  constexpr int k1 = platform::kAlertFirstButton, k2 = platform::kAlertSecondButton;
  constexpr const char* kStatus = "alert:Zefra Helper 1.7 is installed";
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
    SetUp();
    record("7", kBundle);
    agent_->current = status;
    agent_->unregisterFails = std::ranges::count(expected, kFailed) == 1;
    answer(answers);
    onMainQueue([&] { delegate().showStatus(); });
    ASSERT_TRUE(events_.waitFor(expected.back()));
    EXPECT_EQ(actions(), expected);
    const bool uninstalled = events_.count("unregister") == 1;
    EXPECT_EQ(recorded("RegisteredAgentVersion").has_value(), !uninstalled);
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
TEST_F(FlowTest, SelfHealIsThrottledByTheStoredTime) {
  base::ScopedClockOverride clock(1'000'000);
  platform::ScopedLogCapture log;
  agent_->current = AgentStatus::kEnabled;
  const struct {
    double at;
    std::optional<double> stored;  // set before the step
    bool heals;
  } steps[] = {
      {1'000'000, std::nullopt, true},  // nothing stored: always heals
      {1'000'200, std::nullopt, false}, {1'000'301, std::nullopt, true},
      {1'000'400, 1'000'500, false},    {1'000'800, std::nullopt, false},
      {1'000'801, std::nullopt, true},
  };
  std::size_t heals = 0;
  for (const auto& step : steps) {
    clock.set(step.at);
    if (step.stored) (void)defaults_.setObject("LastRegistrationSelfHeal", *step.stored);
    onMainQueue([&] { delegate().selfHealRegistration("7"); });
    heals += step.heals ? 1 : 0;
    // A heal unregisters on the pool and registers back on the main queue.
    ASSERT_TRUE(events_.waitFor("register", heals));
    onMainQueue([] {});
    EXPECT_EQ(events_.count("register"), heals) << step.at;
    EXPECT_EQ(actions().size(), 2 * heals) << "only unregister and register, no alert";
    if (step.heals) {
      EXPECT_EQ(defaults_.doubleForKey("LastRegistrationSelfHeal"), step.at);
    }
  }
  EXPECT_EQ(log.lines().size(), heals);
}

}  // namespace
}  // namespace zefra::app::testing
