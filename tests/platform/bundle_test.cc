#include "platform/desktop/bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/desktop/launch_event.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

// The helper's own bundle is every integration test's; here, an Info that
// cannot be used and an executable that lies in no bundle.
TEST(BundleTest, UnusableInfoIsEmptyAndNoBundleIsTheExecutablesFolder) {
  zefra::testing::TempDir dir;
  const std::string app = dir.path() + "/Zefra Helper.app";
  std::filesystem::create_directories(app + "/Contents/Linux");
  for (const char* info : {"{\"CFBundleIdentifier\": ", "[\"a\"]", ""}) {
    std::ofstream(app + "/Contents/Info.json") << info;
    Bundle bundle = Bundle::atExecutablePath(app + "/Contents/Linux/exe");
    EXPECT_TRUE(bundle.isAppBundle());
    EXPECT_EQ(bundle.infoDictionary(), nlohmann::json::object()) << info;
  }
  std::filesystem::create_directories(dir.path() + "/.app/Contents/Linux");
  for (std::string parent : {dir.path() + "/bin", app + "/Contents",
                             dir.path() + "/.app/Contents/Linux", std::string()}) {
    Bundle bundle = Bundle::atExecutablePath(parent + "/exe");
    EXPECT_FALSE(bundle.isAppBundle()) << parent;
    EXPECT_EQ(bundle.resourcePath(), parent.empty() ? "/" : parent);
  }
}

// Which events count as interactive is the launch flow's test.
TEST(BundleTest, LaunchEventParsesExactlyAndIsTakenFromTheEnvironmentOnce) {
  for (const char* malformed :
       {"", "aevtoapp", "aevt:oap", "aevt:oappp", " aevt:oapp", "aevt:oap\xc3", "::::::::"}) {
    EXPECT_EQ(parseLaunchEvent(malformed), std::nullopt) << malformed;
  }
  ASSERT_EQ(setenv(kLaunchEventVariable, "aevt:oapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  EXPECT_EQ(getenv(kLaunchEventVariable), nullptr);  // so no child inherits it
  ASSERT_EQ(setenv(kLaunchEventVariable, "aevt:rapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  unsetenv(kLaunchEventVariable);
}

}  // namespace
}  // namespace zefra::platform
