// The registration flow, the dialogs and the self-heal throttle, with a
// scripted agent, a recording responder and the clock seam.
#include <gtest/gtest.h>

#include "app/flow_support.h"
#include "platform/clock.h"
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
  const std::string home = "/Users/u/Applications/Zefra Helper.app";
  const Case cases[] = {
      {{}, 0, {"alert:Couldn't install Zefra Helper"}},
      {{home}, 1, {"quarantine:" + home, "alert:Couldn't install Zefra Helper"}},
      {{home}, 0, {"quarantine:" + home, "open:" + home, "terminate"}},
      {{home, "/Applications/Zefra Helper.app"},
       0,
       {"quarantine:/Applications/Zefra Helper.app", "open:/Applications/Zefra Helper.app",
        "terminate"}},
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
    if (c.expected.back() == "terminate") {
      ASSERT_TRUE(events_.waitFor("terminate"));
    }
    EXPECT_EQ(events_.events(), c.expected);
    EXPECT_FALSE(recorded("RegisteredAgentVersion"));
  }
}

TEST_F(FlowTest, StatusDecidesWhatALaunchDoes) {
  struct Case {
    AgentStatus status;
    bool interactive;
    bool recordedBefore;
    Events expected;
  };
  const Case cases[] = {
      {AgentStatus::kRequiresApproval, false, false, {}},
      {AgentStatus::kRequiresApproval, true, false, {"alert:Zefra Helper needs your approval"}},
      // Without a record the first install shows its alert even in agent mode.
      {AgentStatus::kNotRegistered, false, false, {"register", "alert:Zefra Helper installed"}},
      {AgentStatus::kNotRegistered, false, true, {"register"}},
      {AgentStatus::kNotRegistered, true, true, {"register", "alert:Zefra Helper updated"}},
      {AgentStatus::kNotFound, true, false, {"register", "alert:Zefra Helper installed"}},
  };
  for (const auto& c : cases) {
    fresh();
    if (c.recordedBefore) record("6", kBundle);
    agent_->status = c.status;
    launch(c.interactive);
    EXPECT_EQ(actions(), c.expected) << static_cast<int>(c.status) << " " << c.interactive;
    const bool registered = c.status != AgentStatus::kRequiresApproval;
    EXPECT_EQ(recorded("RegisteredAgentVersion"),
              registered ? std::optional<std::string>("7")
                         : (c.recordedBefore ? std::optional<std::string>("6") : std::nullopt));
  }
  EXPECT_EQ(responder_->alerts().back().informativeText, kInstalledText);
  EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
}

TEST_F(FlowTest, ChangedRegistrationIsUnregisteredThenRegistered) {
  struct Case {
    std::string version, path;
    std::vector<std::string> arguments;
    bool noVersions = false;  // records "0" and shows "?"
  };
  const Case cases[] = {{"6", kBundle, {}},
                        {"7", "/Applications/Zefra Helper.app", {}},
                        {"7", kBundle, {"/x/zefra-helper", "--reregister"}},
                        {"7", kBundle, {}, true}};
  for (const auto& c : cases) {
    fresh();
    agent_->status = AgentStatus::kEnabled;
    agent_->unregisterFails = true;  // registered all the same
    record(c.version, c.path);
    services_.arguments = c.arguments;
    if (c.noVersions) services_.infoDictionary = nlohmann::json::object();
    launch(true);
    ASSERT_TRUE(events_.waitFor("alert:Zefra Helper updated"));
    EXPECT_EQ(actions(), (Events{"unregister", "register", "alert:Zefra Helper updated"}));
    EXPECT_EQ(responder_->alerts().back().informativeText,
              std::string("Version ") + (c.noVersions ? "?" : "1.7") +
                  " is now installed and will run automatically when Zefra Writer needs it.");
    EXPECT_EQ(recorded("RegisteredAgentVersion"), c.noVersions ? "0" : "7");
    EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
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

TEST_F(FlowTest, ApprovalPendingAfterRegistering) {
  agent_->statusAfterRegister = AgentStatus::kRequiresApproval;
  responder_->answer({platform::kAlertFirstButton});
  launch(true);
  EXPECT_EQ(actions(),
            (Events{"register", "alert:Zefra Helper needs your approval", "open-login-items"}));
  EXPECT_EQ(recorded("RegisteredAgentVersion"), "7");
  EXPECT_EQ(responder_->alerts()[0].buttons,
            (std::vector<std::string>{"Open Login Items\u2026", "Later"}));
}

TEST_F(FlowTest, UnchangedLaunchProbesAndShowsTheStatusUnlessServed) {
  struct Case {
    bool interactive;
    bool answers;
    Events expected;
  };
  const Case cases[] = {
      {false, true, {"probe"}},
      // Healing in agent mode shows nothing either.
      {false, false, {"probe", "unregister", "register"}},
      {true, true, {"alert:Zefra Helper 1.7 is installed", "probe"}},
  };
  for (const auto& c : cases) {
    fresh();
    agent_->status = AgentStatus::kEnabled;
    record("7", kBundle);
    services_.machServiceAnswers = [this, answers = c.answers](std::function<void(bool)> done) {
      events_.add("probe");
      done(answers);
    };
    platform::ScopedLogCapture log;
    launch(c.interactive);
    ASSERT_TRUE(events_.waitFor("probe"));
    if (!c.answers) {
      ASSERT_TRUE(events_.waitFor("register"));
    }
    onMainQueue([] {});
    EXPECT_EQ(actions(), c.expected);
    EXPECT_EQ(log.lines().size(), c.answers ? 0u : 1u);
  }
}

TEST_F(FlowTest, StatusDialogButtons) {
  using platform::kAlertFirstButton;
  using platform::kAlertSecondButton;
  struct Case {
    AgentStatus status;
    std::vector<int> answers;
    bool unregisterFails;
    Events expected;
  };
  const Case cases[] = {
      {AgentStatus::kEnabled, {kAlertFirstButton}, false, {"alert:Zefra Helper 1.7 is installed"}},
      {AgentStatus::kEnabled,
       {kAlertSecondButton, kAlertSecondButton},
       false,
       {"alert:Zefra Helper 1.7 is installed", "alert:Uninstall Zefra Helper?"}},
      {AgentStatus::kEnabled,
       {kAlertSecondButton, kAlertFirstButton},
       false,
       {"alert:Zefra Helper 1.7 is installed", "alert:Uninstall Zefra Helper?", "unregister",
        "terminate"}},
      {AgentStatus::kEnabled,
       {kAlertSecondButton, kAlertFirstButton},
       true,
       {"alert:Zefra Helper 1.7 is installed", "alert:Uninstall Zefra Helper?", "unregister",
        "alert:Couldn't uninstall Zefra Helper", "terminate"}},
      // Install is a first install even with a record: never "updated".
      {AgentStatus::kNotRegistered,
       {kAlertFirstButton},
       false,
       {"alert:Zefra Helper isn't installed", "register", "alert:Zefra Helper installed"}},
      {AgentStatus::kNotFound, {kAlertSecondButton}, false, {"alert:Zefra Helper isn't installed"}},
      {AgentStatus::kRequiresApproval,
       {kAlertSecondButton},
       false,
       {"alert:Zefra Helper needs your approval"}},
  };
  for (const auto& c : cases) {
    fresh();
    record("7", kBundle);
    agent_->status = c.status;
    agent_->unregisterFails = c.unregisterFails;
    responder_->answer(c.answers);
    onMainQueue([&] { delegate().showStatus(); });
    if (c.expected.back() == "terminate") {
      ASSERT_TRUE(events_.waitFor("terminate"));
    }
    EXPECT_EQ(actions(), c.expected);
    const bool uninstalled = events_.count("unregister") == 1;
    EXPECT_EQ(recorded("RegisteredAgentVersion").has_value(), !uninstalled);
    EXPECT_EQ(recorded("RegisteredAgentPath"), kBundle);
    if (c.unregisterFails) {
      EXPECT_EQ(responder_->alerts().back().informativeText,
                "Remove it in System Settings \u25b8 General \u25b8 Login Items & Extensions "
                "instead. (Operation not permitted)");
    }
  }
}

TEST_F(FlowTest, SelfHealIsThrottledByTheStoredTime) {
  platform::ScopedClockOverride clock(1'000'000);
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
