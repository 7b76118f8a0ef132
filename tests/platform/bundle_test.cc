#include "platform/desktop/bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/desktop/launch_event.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

// An app bundle at `path` whose Info.json holds `info` (no file when null).
std::string makeApp(const std::string& path, const char* info) {
  std::filesystem::create_directories(path + "/Contents/Linux");
  std::filesystem::remove(path + "/Contents/Info.json");
  if (info) std::ofstream(path + "/Contents/Info.json") << info;
  return path;
}

TEST(BundleTest, ExecutableInsideAnAppBundle) {
  zefra::testing::TempDir dir;
  std::string app =
      makeApp(dir.path() + "/Zefra Helper.app",
              R"({"CFBundleIdentifier": "com.ovak.zefra.helper", "CFBundleVersion": 7})");
  Bundle bundle = Bundle::atExecutablePath(app + "/Contents/Linux/zefra-helper");
  EXPECT_TRUE(bundle.isAppBundle());
  EXPECT_EQ(bundle.bundlePath(), app);
  EXPECT_EQ(bundle.resourcePath(), app + "/Contents/Resources");
  EXPECT_EQ(bundle.bundleIdentifier(), "com.ovak.zefra.helper");
  EXPECT_EQ(bundle.stringForInfoKey("CFBundleVersion"), std::nullopt);  // not a string

  // Missing or unusable Info is empty; the bundle is still one.
  for (const char* info : {(const char*)nullptr, "{\"CFBundleIdentifier\": ", "[\"a\"]", ""}) {
    bundle = Bundle::atExecutablePath(makeApp(app, info) + "/Contents/Linux/exe");
    EXPECT_TRUE(bundle.isAppBundle());
    EXPECT_EQ(bundle.infoDictionary(), nlohmann::json::object()) << (info ? info : "none");
  }
}

TEST(BundleTest, ExecutableOutsideAnyBundle) {
  zefra::testing::TempDir dir;
  const std::string& root = dir.path();
  std::string app = makeApp(root + "/Other.app", R"({"CFBundleIdentifier": "x"})");
  makeApp(root + "/.app", R"({"CFBundleIdentifier": "x"})");
  for (std::string parent : {root + "/bin", app + "/Contents/MacOS", app + "/Contents",
                             root + "/.app/Contents/Linux", std::string()}) {
    Bundle bundle = Bundle::atExecutablePath(parent + "/exe");
    EXPECT_FALSE(bundle.isAppBundle()) << parent;
    EXPECT_EQ(bundle.bundlePath(), parent.empty() ? "/" : parent);
    EXPECT_EQ(bundle.resourcePath(), bundle.bundlePath());
    EXPECT_TRUE(bundle.infoDictionary().empty()) << parent;
  }
}

// Which events count as interactive is the launch flow's test; here, the
// codes and the exact spelling.
TEST(BundleTest, LaunchEventsParseExactly) {
  EXPECT_EQ(parseLaunchEvent("aevt:oapp"), (LaunchEvent{0x61657674, 0x6F617070}));
  for (const char* other : {"oapp:aevt", "AEVT:OAPP"}) {
    EXPECT_FALSE(isOpenApplicationEvent(parseLaunchEvent(other))) << other;
  }
  for (const char* malformed : {"", "aevtoapp", "aevt:oap", "aevt:oappp", " aevt:oapp",
                                "aev\x01:oapp", "aevt:oap\xc3", "::::::::"}) {
    EXPECT_EQ(parseLaunchEvent(malformed), std::nullopt) << malformed;
  }
}

TEST(BundleTest, LaunchEventIsTakenFromTheEnvironmentOnce) {
  ASSERT_EQ(setenv(kLaunchEventVariable, "aevt:oapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  EXPECT_EQ(getenv(kLaunchEventVariable), nullptr);  // so no child inherits it
  ASSERT_EQ(setenv(kLaunchEventVariable, "aevt:rapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  unsetenv(kLaunchEventVariable);
}

}  // namespace
}  // namespace zefra::platform
