#include <fcntl.h>
#include <gtest/gtest.h>

#include "codesign/signature_block.h"
#include "codesign/verify.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"

// zefra-codesign as a user runs it, the build's signed products, and the
// blocks as any CMS implementation sees them.
namespace zefra::codesign {
namespace {

constexpr const char* kUpdateRequirement =
    R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")";

class CodesignToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(program_, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
  }
  int tool(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), ZEFRA_TEST_CODESIGN_TOOL);
    return testing::run(args, output);
  }
  int sign(const std::string& path, const std::string& identifier) {
    return tool({"sign", "--key", ZEFRA_TEST_SIGNING_KEY, "--cert", ZEFRA_TEST_SIGNING_CHAIN,
                 "--identifier", identifier, path});
  }

  testing::TempDir dir_;
  const std::string program_ = dir_.path() + "/program";
};

TEST_F(CodesignToolTest, SignsVerifiesDisplaysAndRefusesInOneLine) {
  std::string output;
  EXPECT_NE(tool({"verify", program_}, &output), 0);
  EXPECT_NE(output.find("not signed"), std::string::npos) << output;

  ASSERT_EQ(sign(program_, "com.ovak.zefra.client"), 0);
  EXPECT_EQ(tool({"verify", "--identifier", "com.ovak.zefra.client", "--team", "K4T9QZ2M7B",
                  "--anchor", ZEFRA_TEST_ANCHOR_FILE, program_},
                 &output),
            0)
      << output;
  ASSERT_EQ(tool({"display", program_}, &output), 0);
  for (const char* expected : {"Identifier: com.ovak.zefra.client\n", "Team: K4T9QZ2M7B\n",
                               "OU=K4T9QZ2M7B", "Signature: valid"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << output;
  }
  EXPECT_NE(tool({"verify", "--team", "k4t9qz2m7b", program_}, &output), 0);
  EXPECT_TRUE(output.size() > 1 && output.find('\n') == output.size() - 1) << output;
  EXPECT_EQ(tool({"verify"}), 2) << "usage";
  EXPECT_EQ(tool({"frobnicate", program_}), 2) << "usage";
}

// The build signs its bundle with the tool, so this covers signing bundles.
TEST_F(CodesignToolTest, TheBuildsOwnProductsVerify) {
  std::string output;
  EXPECT_EQ(tool({"verify", "--requirement", kUpdateRequirement, ZEFRA_TEST_BUNDLE_DIR}, &output),
            0)
      << output;
  auto client = verifyExecutable(ZEFRA_TEST_CLIENT, TrustAnchor::compiled().value(),
                                 VerifyOptions::forUpdates());
  ASSERT_TRUE(client) << client.error().message;
  EXPECT_EQ(client->identifier, "com.ovak.zefra.client");
  EXPECT_EQ(client->teamIdentifier, "K4T9QZ2M7B");
}

TEST_F(CodesignToolTest, OpensslAcceptsTheBlocksWeWrite) {
  if (std::string(ZEFRA_TEST_OPENSSL).empty()) GTEST_SKIP() << "no openssl command";
  ASSERT_EQ(sign(program_, "com.ovak.zefra.client"), 0);
  UniqueFd fd(::open(program_.c_str(), O_RDONLY | O_CLOEXEC));
  auto image = readSignedImage(fd.get());
  ASSERT_TRUE(image) << image.error().message;
  const std::string payload = dir_.path() + "/payload", cms = dir_.path() + "/cms.der";
  testing::writeFile(cms, image->cms, 0644);
  for (const std::string& content : {image->payload + "x", image->payload}) {
    testing::writeFile(payload, content, 0644);
    std::string output;
    int status = testing::run(
        {ZEFRA_TEST_OPENSSL, "cms", "-verify", "-binary", "-CAfile", ZEFRA_TEST_ANCHOR_FILE,
         "-content", payload, "-inform", "DER", "-in", cms, "-purpose", "any", "-out", "/dev/null"},
        &output);
    EXPECT_EQ(status == 0, content == image->payload) << output;  // the other is a control
  }
}

}  // namespace
}  // namespace zefra::codesign
