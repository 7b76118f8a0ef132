// The registration flow, the dialogs and the self-heal throttle, with a
// scripted agent, a recording responder and the clock seam.
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
constexpr const char* kInstalledText =
    "Zefra Writer can now compile with the tools installed on this Mac (pandoc, pandoc-crossref, "
    "LaTeX\u2026). You can delete the downloaded copy \u2014 the helper runs automatically when "
    "needed. Remove it any time by opening Zefra Helper again, or in System Settings \u25b8 "
    "General \u25b8 Login Items & Extensions.";
constexpr const char* kSelfHealLine =
    "Zefra Helper: Mach service didn't route \u2014 re-registering the agent (programmatic Login "
    "Items off/on)";

constexpr const char* kInstalled = "alert:Zefra Helper installed";
constexpr const char* kUpdated = "alert:Zefra Helper updated";
constexpr const char* kApproval = "alert:Zefra Helper needs your approval";
constexpr const char* kStatus = "alert:Zefra Helper 1.7 is installed";
constexpr const char* kUninstall = "alert:Uninstall Zefra Helper?";
constexpr const char* kNotInstalled = "alert:Zefra Helper isn't installed";

class FlowTest : public ::testing::Test {
 protected:
  FlowTest() : defaults_(temp_.path() + "/defaults.json") {}

  void SetUp() override {
    agent_ = std::make_shared<ScriptedAgentState>();
    responder_ = std::make_shared<RecordingResponder>(events_);
    services_ = scriptedServices(events_, agent_, responder_, defaults_);
  }
  void TearDown() override {
    // Whatever the flow left queued on the main queue runs before we go.
    onMainQueue([] {});
    delegate_.reset();
  }

  // A new delegate, agent and responder for the next case, with nothing recorded.
  void fresh() {
    SetUp();
    delegate_.reset();
    events_.clear();
    for (auto key : {"RegisteredAgentVersion", "RegisteredAgentPath", "LastRegistrationSelfHeal"}) {
      (void)defaults_.removeObject(key);
    }
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
  std::shared_ptr<ScriptedAgentState> agent_;
  std::shared_ptr<RecordingResponder> responder_;
  AppServices services_;
  std::shared_ptr<HelperDelegate> delegate_;
};

TEST_F(FlowTest, TranslocatedCopyHandsOverOrShowsTheQuarantineAlert) {
  struct Case {
    std::vector<std::string> present;
    int quarantineStatus;
    Events expected;
  };
  const std::string home = kBundle, system = "/Applications/Zefra Helper.app";
  const char* failed = "alert:Couldn't install Zefra Helper";
  const Case cases[] = {
      {{}, 0, {failed}},
      {{home}, 1, {"quarantine:" + home, failed}},
      {{home}, 0, {"quarantine:" + home, "open:" + home, "terminate"}},
      {{home, system}, 0, {"quarantine:" + system, "open:" + system, "terminate"}},
  };
  for (const auto& c : cases) {
    fresh();
    services_.bundlePath = [] {
      return std::string("/private/var/folders/x/AppTranslocation/A/d/Zefra Helper.app");
    };
    services_.fileExists = [present = c.present](const std::string& path) {
      return std::find(present.begin(), present.end(), path) != present.end();
    };
    auto base = services_.clearQuarantine;
    services_.clearQuarantine = [base, status = c.quarantineStatus](const std::string& path) {
      base(path);
      return status;
    };
    launch(false);  // the quarantine alert shows in agent mode too
    ASSERT_TRUE(events_.waitFor(c.expected.back()));
    EXPECT_EQ(events_.events(), c.expected);
    EXPECT_FALSE(recorded("RegisteredAgentVersion"));
  }
}

TEST_F(FlowTest, StatusRecordAndProbeDecideWhatALaunchDoes) {
  using enum AgentStatus;
  struct Case {
    AgentStatus status;
    bool interactive;
    const char* recordedVersion;  // nothing recorded when null
    Events expected;
    const char* versionAfter = "7";  // null: none recorded
    std::string recordedPath = kBundle;
    std::vector<std::string> arguments = {};
    bool noVersions = false;  // records "0" and shows "?"
    bool probeAnswers = true;
    AgentStatus statusAfterRegister = kEnabled;
  };
  const Events changed = {"unregister", "register", kUpdated};
  const Case cases[] = {
      {kRequiresApproval, false, nullptr, {}, nullptr},
      {kRequiresApproval, true, nullptr, {kApproval, "open-login-items"}, nullptr},
      // Without a record the first install shows its alert even in agent mode.
      {kNotRegistered, false, nullptr, {"register", kInstalled}},
      {kNotRegistered, false, "6", {"register"}},
      {kNotRegistered, true, "6", {"register", kUpdated}},
      {kNotFound, true, nullptr, {"register", kInstalled}},
      {kNotRegistered,
       true,
       nullptr,
       {"register", kApproval, "open-login-items"},
       "7",
       kBundle,
       {},
       false,
       true,
       kRequiresApproval},
      // A changed version, path or "--reregister": unregistered (its failure
      // ignored), then registered.
      {kEnabled, true, "6", changed},
      {kEnabled, true, "7", changed, "7", "/Applications/Zefra Helper.app"},
      {kEnabled, true, "7", changed, "7", kBundle, {"/x/zefra-helper", "--reregister"}},
      {kEnabled, true, "7", changed, "0", kBundle, {}, true},
      // Unchanged: the probe, and healing in agent mode shows nothing either (the
      // interactive status dialog is the delegate test's, with real clients).
      {kEnabled, false, "7", {"probe"}},
      {kEnabled, false, "7", {"probe", "unregister", "register"}, "7", kBundle, {}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.expected));
    fresh();
    agent_->status = c.status;
    agent_->statusAfterRegister = c.statusAfterRegister;
    agent_->unregisterFails = c.expected == changed;  // registered all the same
    if (c.recordedVersion) record(c.recordedVersion, c.recordedPath);
    services_.arguments = c.arguments;
    if (c.noVersions) services_.infoDictionary = nlohmann::json::object();
    services_.machServiceAnswers = [this, answers = c.probeAnswers](auto done) {
      events_.add("probe");
      done(answers);
    };
    responder_->answer({platform::kAlertFirstButton});
    platform::ScopedLogCapture log;
    launch(c.interactive);
    if (!c.expected.empty()) {
      ASSERT_TRUE(events_.waitFor(c.expected.back()));
    }
    onMainQueue([] {});
    EXPECT_EQ(actions(), c.expected);
    EXPECT_EQ(recorded("RegisteredAgentVersion"),
              c.versionAfter ? std::optional<std::string>(c.versionAfter)
                             : (c.recordedVersion ? std::optional<std::string>(c.recordedVersion)
                                                  : std::nullopt));
    if (c.versionAfter) {
      EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
    }
    EXPECT_EQ(log.lines().size(), c.probeAnswers ? 0u : 1u);
    for (const auto& alert : responder_->alerts()) {
      const std::string title = "alert:" + alert.messageText;
      if (title == kInstalled) {
        EXPECT_EQ(alert.informativeText, kInstalledText);
      }
      if (title == kUpdated) {
        EXPECT_EQ(alert.informativeText, std::string("Version ") + (c.noVersions ? "?" : "1.7") +
                                             " is now installed and will run automatically "
                                             "when Zefra Writer needs it.");
      }
      if (title == kApproval) {
        EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Open Login Items\u2026", "Later"}));
      }
    }
  }
}

TEST_F(FlowTest, FailedAttemptsEndInOneAlertOrOneLogLine) {
  for (bool interactive : {false, true}) {
    fresh();
    agent_->registerFailures = 3;
    platform::ScopedLogCapture log;
    const auto started = std::chrono::steady_clock::now();
    launch(interactive);
    ASSERT_TRUE(events_.waitFor("register", 3));
    onMainQueue([] {});  // the last attempt has reported
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
    EXPECT_EQ(events_.count("register"), 3u);
    EXPECT_FALSE(recorded("RegisteredAgentVersion"));
    if (interactive) {
      ASSERT_EQ(responder_->alerts().size(), 1u);
      EXPECT_EQ(responder_->alerts()[0].informativeText,
                "Move Zefra Helper to the Applications folder and open it again. If it's already "
                "there, remove Zefra Helper from System Settings \u25b8 General \u25b8 Login "
                "Items & Extensions, then open it once more. (The operation couldn't be "
                "completed.)");
      EXPECT_TRUE(log.lines().empty());
    } else {
      EXPECT_TRUE(responder_->alerts().empty());
      EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                 "Zefra Helper: register failed \u2014 The operation couldn't be "
                                 "completed."}));
    }
  }
  // The main queue kept serving between attempts: nothing above waited on it.
}

TEST_F(FlowTest, StatusDialogButtons) {
  using enum AgentStatus;
  constexpr int k1 = platform::kAlertFirstButton, k2 = platform::kAlertSecondButton;
  constexpr const char* kFailed = "alert:Couldn't uninstall Zefra Helper";
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
    fresh();
    record("7", kBundle);
    agent_->status = status;
    const bool failing = std::ranges::count(expected, kFailed) == 1;
    agent_->unregisterFails = failing;
    responder_->answer(answers);
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
    if (failing) {
      EXPECT_EQ(responder_->alerts().back().informativeText,
                "Remove it in System Settings \u25b8 General \u25b8 Login Items & Extensions "
                "instead. (Operation not permitted)");
    }
  }
}

TEST_F(FlowTest, SelfHealIsThrottledByTheStoredTime) {
  base::ScopedClockOverride clock(1'000'000);
  platform::ScopedLogCapture log;
  agent_->status = AgentStatus::kEnabled;
  struct Step {
    double at;
    std::optional<double> stored;  // set before the step
    bool heals;
  };
  const Step steps[] = {
      {1'000'000, std::nullopt, true},  // nothing stored: always heals
      {1'000'200, std::nullopt, false}, {1'000'301, std::nullopt, true},
      {1'000'400, 1'000'500, false},  // a stored time in the future
      {1'000'800, std::nullopt, false}, {1'000'801, std::nullopt, true},
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
    EXPECT_EQ(events_.count("unregister"), heals) << step.at;
    EXPECT_EQ(events_.count("register"), heals) << step.at;
    if (step.heals) {
      EXPECT_EQ(defaults_.doubleForKey("LastRegistrationSelfHeal"), step.at);
    }
  }
  EXPECT_EQ(log.lines(), std::vector<std::string>(heals, kSelfHealLine));
  EXPECT_TRUE(responder_->alerts().empty());  // re-registering in agent mode is silent
}

}  // namespace
}  // namespace zefra::app::testing
