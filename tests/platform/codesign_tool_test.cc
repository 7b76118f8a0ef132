#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/code_signature.h"
#include "platform/code_verify.h"
#include "platform/codesign_fixture.h"
#include "support/temp_dir.h"

// zefra-codesign as a user runs it, the build's signed products, and the
// blocks as any CMS implementation sees them.
namespace zefra::platform {
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

TEST_F(CodesignToolTest, SignsVerifiesAndDisplaysAndRefusesInOneLine) {
  std::string output;
  EXPECT_NE(tool({"verify", program_}, &output), 0);
  EXPECT_TRUE(output.size() > 1 && output.find('\n') == output.size() - 1) << output;
  EXPECT_NE(output.find("not signed"), std::string::npos) << output;

  ASSERT_EQ(sign(program_, "com.ovak.zefra.client"), 0);
  EXPECT_EQ(
      tool({"verify", "--identifier", "com.ovak.zefra.client", "--team", "K4T9QZ2M7B", program_},
           &output),
      0)
      << output;
  EXPECT_EQ(tool({"verify", "--anchor", ZEFRA_TEST_ANCHOR_FILE, program_}), 0);
  ASSERT_EQ(tool({"display", program_}, &output), 0);
  for (const char* expected : {"Identifier: com.ovak.zefra.client\n", "Team: K4T9QZ2M7B\n",
                               "OU=K4T9QZ2M7B", "Signature: valid"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << output;
  }

  std::string otherAnchor = dir_.path() + "/other.pem";
  testing::writeFile(otherAnchor, testing::issue(testing::caSpec("Other Root")).certPem(), 0644);
  for (auto option :
       std::vector<std::vector<std::string>>{{"--team", "k4t9qz2m7b"},
                                             {"--identifier", "com.ovak.zefra.helper"},
                                             {"--anchor", otherAnchor}}) {
    EXPECT_NE(tool({"verify", option[0], option[1], program_}, &output), 0) << option[0];
    EXPECT_TRUE(output.size() > 1 && output.find('\n') == output.size() - 1) << output;
  }
  EXPECT_EQ(tool({"verify"}), 2) << "usage";
  EXPECT_EQ(tool({"sign", "--key", ZEFRA_TEST_SIGNING_KEY, program_}), 2) << "usage";
  EXPECT_EQ(tool({"frobnicate", program_}), 2) << "usage";
}

TEST_F(CodesignToolTest, SignsAndVerifiesBundlesAgainstARequirement) {
  std::string bundle = dir_.path() + "/Other Name.app";
  std::filesystem::create_directories(bundle + "/Contents/Linux");
  std::filesystem::create_directories(bundle + "/Contents/Resources");
  testing::writeFile(bundle + "/Contents/Info.json", R"({"CFBundleExecutable": "main"})", 0644);
  std::filesystem::rename(program_, bundle + "/Contents/Linux/main");
  testing::writeFile(bundle + "/Contents/Resources/a.txt", "a", 0644);
  ASSERT_EQ(sign(bundle, "com.ovak.zefra.helper"), 0);
  std::string output;
  EXPECT_EQ(tool({"verify", "--bundle", "--requirement", kUpdateRequirement, bundle}, &output), 0)
      << output;
  testing::writeFile(bundle + "/Contents/Resources/b.txt", "b", 0644);
  EXPECT_NE(tool({"verify", "--requirement", kUpdateRequirement, bundle}, &output), 0);
  EXPECT_NE(output.find("resource seal"), std::string::npos) << output;
}

TEST_F(CodesignToolTest, TheBuildSignsTheBundleAndTheClient) {
  auto bundle = verifyBundle(ZEFRA_TEST_BUNDLE_DIR, parseRequirement(kUpdateRequirement).value());
  EXPECT_TRUE(bundle) << bundle.error().message;
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
  testing::writeFile(payload, image->payload, 0644);
  testing::writeFile(cms, image->cms, 0644);
  auto opensslVerify = [&](const std::string& anchor, std::string* output = nullptr) {
    return testing::run(
        {ZEFRA_TEST_OPENSSL, "cms", "-verify", "-binary", "-CAfile", anchor, "-content", payload,
         "-inform", "DER", "-in", cms, "-purpose", "any", "-out", "/dev/null"},
        output);
  };
  std::string output;
  EXPECT_EQ(opensslVerify(ZEFRA_TEST_ANCHOR_FILE, &output), 0) << output;

  // The control cases: the command does check.
  testing::writeFile(dir_.path() + "/other.pem",
                     testing::issue(testing::caSpec("Other Root")).certPem(), 0644);
  EXPECT_NE(opensslVerify(dir_.path() + "/other.pem"), 0);
  testing::writeFile(payload, image->payload + "x", 0644);
  EXPECT_NE(opensslVerify(ZEFRA_TEST_ANCHOR_FILE), 0);
}

}  // namespace
}  // namespace zefra::platform
