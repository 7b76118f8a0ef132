#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/launch_event.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "bundle-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // An app bundle whose Info.json holds `info` (no file when null).
  std::string makeApp(const std::string& name, const char* info) {
    std::string app = root_ + "/" + name;
    fs::create_directories(app + "/Contents/Linux");
    if (info) std::ofstream(app + "/Contents/Info.json") << info;
    return app;
  }

  std::string root_;
};

TEST_F(BundleTest, ExecutableInsideAnAppBundle) {
  std::string app = makeApp("Zefra Helper.app",
                            R"({"CFBundleIdentifier": "com.ovak.zefra.helper",
                                "CFBundleShortVersionString": "2.1", "CFBundleVersion": 7})");
  Bundle bundle = Bundle::atExecutablePath(app + "/Contents/Linux/zefra-helper");
  EXPECT_TRUE(bundle.isAppBundle());
  EXPECT_EQ(bundle.bundlePath(), app);
  EXPECT_EQ(bundle.executablePath(), app + "/Contents/Linux/zefra-helper");
  EXPECT_EQ(bundle.resourcePath(), app + "/Contents/Resources");
  EXPECT_EQ(bundle.bundleIdentifier(), "com.ovak.zefra.helper");
  EXPECT_EQ(bundle.stringForInfoKey("CFBundleShortVersionString"), "2.1");
  EXPECT_EQ(bundle.stringForInfoKey("CFBundleVersion"), std::nullopt);  // not a string
  EXPECT_EQ(bundle.infoDictionary().at("CFBundleVersion"), 7);
}

TEST_F(BundleTest, MissingOrUnusableInfoIsEmpty) {
  const char* infos[] = {nullptr, "{\"CFBundleIdentifier\": ", "[\"a\"]", "", "{}"};
  for (std::size_t i = 0; i < std::size(infos); ++i) {
    std::string app = makeApp("Case" + std::to_string(i) + ".app", infos[i]);
    Bundle bundle = Bundle::atExecutablePath(app + "/Contents/Linux/exe");
    EXPECT_TRUE(bundle.isAppBundle()) << i;
    EXPECT_EQ(bundle.bundlePath(), app) << i;
    EXPECT_TRUE(bundle.infoDictionary().is_object()) << i;
    EXPECT_TRUE(bundle.infoDictionary().empty()) << i;
    EXPECT_EQ(bundle.bundleIdentifier(), std::nullopt) << i;
  }
}

TEST_F(BundleTest, ExecutableOutsideAnyBundle) {
  std::string app = makeApp("Other.app", R"({"CFBundleIdentifier": "x"})");
  makeApp(".app", R"({"CFBundleIdentifier": "x"})");
  for (std::string dir : {root_ + "/bin", app + "/Contents/MacOS", app + "/Contents",
                          root_ + "/.app/Contents/Linux", std::string("/")}) {
    std::string exe = dir == "/" ? "/exe" : dir + "/exe";
    Bundle bundle = Bundle::atExecutablePath(exe);
    EXPECT_FALSE(bundle.isAppBundle()) << exe;
    EXPECT_EQ(bundle.bundlePath(), dir) << exe;
    EXPECT_EQ(bundle.resourcePath(), dir) << exe;
    EXPECT_TRUE(bundle.infoDictionary().empty()) << exe;
  }
}

TEST(MainBundle, IsThisTestProgramOutsideABundle) {
  std::string exe = fs::read_symlink("/proc/self/exe").string();
  const Bundle& main = Bundle::main();
  EXPECT_EQ(&main, &Bundle::main());
  EXPECT_EQ(main.executablePath(), exe);
  EXPECT_EQ(main.bundlePath(), fs::path(exe).parent_path().string());
  EXPECT_TRUE(main.infoDictionary().empty());
}

TEST(LaunchEvent, ParsesOnlyTwoFourCharacterCodes) {
  EXPECT_EQ(parseLaunchEvent("aevt:oapp"), (LaunchEvent{0x61657674, 0x6F617070}));
  EXPECT_EQ(parseLaunchEvent("aevt:rapp"),
            (LaunchEvent{fourCharCode("aevt"), fourCharCode("rapp")}));
  EXPECT_EQ(parseLaunchEvent("GURL: url"),
            (LaunchEvent{fourCharCode("GURL"), fourCharCode(" url")}));
  for (const char* garbage : {"", "aevt", "aevtoapp", "aevt:oap", "aevt:oappp", "aevt-oapp",
                              " aevt:oapp", "aev\x01:oapp", "aevt:oap\xc3", "::::::::"}) {
    EXPECT_EQ(parseLaunchEvent(garbage), std::nullopt) << garbage;
  }
  EXPECT_EQ(formatLaunchEvent(LaunchEvent{fourCharCode("aevt"), fourCharCode("odoc")}),
            "aevt:odoc");
}

TEST(LaunchEvent, OnlyOpenApplicationIsInteractive) {
  EXPECT_TRUE(isOpenApplicationEvent(parseLaunchEvent("aevt:oapp")));
  for (const char* other : {"aevt:rapp", "aevt:odoc", "oapp:aevt", "AEVT:OAPP", "garbage"}) {
    EXPECT_FALSE(isOpenApplicationEvent(parseLaunchEvent(other))) << other;
  }
  EXPECT_FALSE(isOpenApplicationEvent(std::nullopt));
}

TEST(LaunchEvent, IsTakenFromTheEnvironmentOnce) {
  ASSERT_EQ(::setenv(kLaunchEventVariable, "aevt:oapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  EXPECT_EQ(::getenv(kLaunchEventVariable), nullptr);
  ASSERT_EQ(::setenv(kLaunchEventVariable, "aevt:rapp", 1), 0);
  EXPECT_EQ(launchEvent(), kOpenApplicationEvent);
  ::unsetenv(kLaunchEventVariable);
}

}  // namespace
}  // namespace zefra::platform
