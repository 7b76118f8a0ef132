#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/code_signature.h"
#include "platform/code_verify.h"
#include "platform/codesign_fixture.h"

// zefra-codesign as a user runs it, the build's signed products, and the
// blocks as any CMS implementation sees them.
namespace zefra::platform {
namespace {

using testing::run;

constexpr const char* kUpdateRequirement =
    R"(anchor apple generic and identifier "com.ovak.zefra.helper" and certificate leaf[subject.OU] = "K4T9QZ2M7B")";

class CodesignToolTest : public ::testing::Test {
 protected:
  int tool(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), ZEFRA_TEST_CODESIGN_TOOL);
    return run(args, output);
  }
  std::string copyOfPeer(const std::string& name = "program") {
    std::string path = dir_ / name;
    testing::writeFile(path, testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
    return path;
  }
  int sign(const std::string& path, const std::string& identifier) {
    return tool({"sign", "--key", ZEFRA_TEST_SIGNING_KEY, "--cert", ZEFRA_TEST_SIGNING_CHAIN,
                 "--identifier", identifier, path});
  }
  static bool isOneLine(const std::string& text) {
    return !text.empty() && text.find('\n') == text.size() - 1;
  }

  testing::TempDir dir_;
};

TEST_F(CodesignToolTest, SignsVerifiesAndDisplays) {
  std::string path = copyOfPeer();
  ASSERT_EQ(sign(path, "com.ovak.zefra.client"), 0);
  std::string output;
  EXPECT_EQ(tool({"verify", "--identifier", "com.ovak.zefra.client", "--team", "K4T9QZ2M7B", path},
                 &output),
            0)
      << output;
  EXPECT_EQ(tool({"verify", "--anchor", ZEFRA_TEST_ANCHOR_FILE, path}), 0);

  ASSERT_EQ(tool({"display", path}, &output), 0);
  EXPECT_NE(output.find("Identifier: com.ovak.zefra.client\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Team: K4T9QZ2M7B\n"), std::string::npos) << output;
  EXPECT_NE(output.find("OU=K4T9QZ2M7B"), std::string::npos) << output;
  EXPECT_NE(output.find("Signature: valid"), std::string::npos) << output;
}

TEST_F(CodesignToolTest, RefusalsAreOneClearLine) {
  std::string path = copyOfPeer();
  std::string output;
  EXPECT_NE(tool({"verify", path}, &output), 0);
  EXPECT_TRUE(isOneLine(output)) << output;
  EXPECT_NE(output.find("not signed"), std::string::npos) << output;

  ASSERT_EQ(sign(path, "com.ovak.zefra.client"), 0);
  EXPECT_NE(tool({"verify", "--team", "k4t9qz2m7b", path}, &output), 0);
  EXPECT_TRUE(isOneLine(output)) << output;
  EXPECT_NE(output.find("team identifier"), std::string::npos) << output;
  EXPECT_NE(tool({"verify", "--identifier", "com.ovak.zefra.helper", path}, &output), 0);
  EXPECT_TRUE(isOneLine(output)) << output;

  testing::TempDir other;
  auto otherRoot = testing::issue(testing::caSpec("Other Root"));
  testing::writeFile(other / "anchor.pem", otherRoot.certPem(), 0644);
  EXPECT_NE(tool({"verify", "--anchor", other / "anchor.pem", path}, &output), 0);
  EXPECT_TRUE(isOneLine(output)) << output;

  EXPECT_EQ(tool({"verify"}), 2) << "usage";
  EXPECT_EQ(tool({"sign", "--key", ZEFRA_TEST_SIGNING_KEY, path}), 2) << "usage";
  EXPECT_EQ(tool({"frobnicate", path}), 2) << "usage";
}

TEST_F(CodesignToolTest, SignsAndVerifiesBundles) {
  std::string bundle = dir_ / "Other Name.app";
  std::filesystem::create_directories(bundle + "/Contents/Linux");
  std::filesystem::create_directories(bundle + "/Contents/Resources");
  testing::writeFile(bundle + "/Contents/Info.json", R"({"CFBundleExecutable": "main"})", 0644);
  testing::writeFile(bundle + "/Contents/Linux/main", testing::readFile(ZEFRA_TEST_PEER_PROGRAM));
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
  auto requirement = parseRequirement(kUpdateRequirement);
  ASSERT_TRUE(requirement);
  auto bundle = verifyBundle(ZEFRA_TEST_BUNDLE_DIR, requirement.value());
  EXPECT_TRUE(bundle) << bundle.error().message;

  const auto& anchor = TrustAnchor::compiled();
  ASSERT_TRUE(anchor);
  auto client = verifyExecutable(ZEFRA_TEST_CLIENT, anchor.value(), VerifyOptions::forUpdates());
  ASSERT_TRUE(client) << client.error().message;
  EXPECT_EQ(client->identifier, "com.ovak.zefra.client");
  EXPECT_EQ(client->teamIdentifier, "K4T9QZ2M7B");
}

TEST_F(CodesignToolTest, OpensslAcceptsTheBlocksWeWrite) {
  if (std::string(ZEFRA_TEST_OPENSSL).empty()) GTEST_SKIP() << "no openssl command";
  std::string path = copyOfPeer();
  ASSERT_EQ(sign(path, "com.ovak.zefra.client"), 0);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  auto image = readSignedImage(fd.get());
  ASSERT_TRUE(image) << image.error().message;
  testing::writeFile(dir_ / "payload", image->payload, 0644);
  testing::writeFile(dir_ / "sig.der", image->cms, 0644);

  auto opensslVerify = [&](const std::string& anchor, const std::string& content) {
    std::string output;
    int status = run(
        {ZEFRA_TEST_OPENSSL, "cms", "-verify", "-binary", "-CAfile", anchor, "-content", content,
         "-inform", "DER", "-in", dir_ / "sig.der", "-purpose", "any", "-out", "/dev/null"},
        &output);
    return std::make_pair(status, output);
  };
  auto [status, output] = opensslVerify(ZEFRA_TEST_ANCHOR_FILE, dir_ / "payload");
  EXPECT_EQ(status, 0) << output;

  auto otherRoot = testing::issue(testing::caSpec("Other Root"));
  testing::writeFile(dir_ / "other.pem", otherRoot.certPem(), 0644);
  EXPECT_NE(opensslVerify(dir_ / "other.pem", dir_ / "payload").first, 0);
  testing::writeFile(dir_ / "changed", image->payload + "x", 0644);
  EXPECT_NE(opensslVerify(ZEFRA_TEST_ANCHOR_FILE, dir_ / "changed").first, 0);
}

}  // namespace
}  // namespace zefra::platform
