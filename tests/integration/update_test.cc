#include <sstream>

#include "platform/desktop/bundle.h"
#include "platform/files/file_moves.h"
#include "support/helper_fixture.h"

namespace zefra::app::testing {
namespace {

class UpdateTest : public HelperFixture {
 protected:
  void SetUp() override {
    HelperFixture::SetUp();
    fs::create_directories(root_ + "/tmp");
    fs::create_directories(root_ + "/apps");
  }
  // A copy of the built bundle in a folder of its own, served from there.
  platform::ChildProcess& startCopy() {
    if (!fs::exists(bundle())) {
      EXPECT_TRUE(platform::copyItem(ZEFRA_TEST_BUNDLE, bundle()));
    }
    return startHelper({"TMPDIR=" + root_ + "/tmp"}, bundle() + "/Contents/Linux/zefra-helper");
  }
  std::string bundle() const { return root_ + "/apps/Zefra Helper.app"; }
  static bool mapsLibarchive(const platform::ChildProcess& helper) {
    std::ifstream maps("/proc/" + std::to_string(helper.pid()) + "/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find("/libarchive.so") != std::string::npos;
  }
};

TEST_F(UpdateTest, ASignedUpdateReplacesTheBundleInPlace) {
  auto& helper = startCopy();
  const std::string archive = root_ + "/update.zip";
  auto made = runProgram(
      ZEFRA_TEST_MAKE_UPDATE,
      {"--key", ZEFRA_TEST_SIGNING_KEY, "--cert", ZEFRA_TEST_SIGNING_CHAIN, "--version", "0.0.1",
       "--short-version", "0.0.1", "--name", "Renamed.app", ZEFRA_TEST_BUNDLE, archive});
  ASSERT_EQ(made.status, 0) << made.err;

  // A client served, yet the unpacker is not loaded until an update comes.
  ASSERT_EQ(client({"ping"}).status, 0);
  EXPECT_FALSE(mapsLibarchive(helper));
  std::ofstream(root_ + "/not.zip") << "text";
  auto refused = client({"install-update", root_ + "/not.zip"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "The update didn't contain Zefra Helper.app.\n");
  EXPECT_TRUE(mapsLibarchive(helper));

  const auto asked = std::chrono::steady_clock::now();
  auto installed = client({"install-update", archive});
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(installed.out, "Zefra Helper updated itself.\n");
  EXPECT_EQ(helper.wait(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 200ms);
  EXPECT_EQ(platform::readInfoDictionary(bundle()).value("CFBundleVersion", ""), "0.0.1");
  // An older, differently named bundle goes in under the running name;
  // neither update leaves anything in the temporary folder.
  EXPECT_EQ(platform::listDirectory(root_ + "/apps").value(),
            std::vector<std::string>{"Zefra Helper.app"});
  EXPECT_TRUE(platform::listDirectory(root_ + "/tmp")->empty());

  startCopy();
  auto ping = client({"ping"});
  EXPECT_EQ(ping.out, "0.0.1\n");
}

TEST_F(UpdateTest, PreparingEndsTheProcessAndForgetsTheRegisteredVersion) {
  auto& helper = startHelper();
  // The launch registers the agent first.
  ASSERT_TRUE(eventually([&] { return defaults().contains("RegisteredAgentVersion"); }));
  const auto asked = std::chrono::steady_clock::now();
  auto prepared = client({"prepare-for-update"});
  EXPECT_EQ(prepared.status, 0);
  EXPECT_EQ(prepared.out, "YES\n");
  EXPECT_EQ(helper.wait(), 0);
  // The reply came after `asked`, the exit at least 0.3 s after the reply.
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 300ms);
  EXPECT_FALSE(defaults().contains("RegisteredAgentVersion"));
  EXPECT_EQ(defaults().value("RegisteredAgentPath", ""), ZEFRA_TEST_BUNDLE);
  EXPECT_FALSE(fs::exists(root_ + "/config/autostart/com.ovak.zefra.helper.desktop"));
}

}  // namespace
}  // namespace zefra::app::testing
