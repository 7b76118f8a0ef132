#include "update/install_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "codesign/bundle_check.h"
#include "codesign/signing.h"
#include "platform/desktop/bundle.h"
#include "platform/files/file_moves.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"
#include "update/zip_archive.h"

// The seal itself (files added, removed, changed, nested code) is proved in
// signature_block_test; here, what the install adds around it.
namespace zefra::update {
namespace {

namespace fs = std::filesystem;
using zefra::testing::Credential;
using zefra::testing::testPki;
using Change = std::function<void(const std::string&)>;

constexpr char kNotContained[] = "The update didn't contain Zefra Helper.app.";
constexpr char kSignature[] = "The update failed its signature check and was not installed.";
constexpr char kAside[] = "Couldn't move the old Zefra Helper aside: ";
constexpr char kApp[] = "Zefra Helper.app";

// A bundle laid out as the build makes it: main executable, a nested signed
// executable, a script, a symlink.
void makeBundle(const std::string& path, const std::string& version, const Credential& signer) {
  fs::create_directories(path + "/Contents/Linux");
  fs::create_directories(path + "/Contents/Resources");
  testing::writeFile(
      path + "/Contents/Info.json",
      R"({"CFBundleExecutable": "zefra-helper", "CFBundleVersion": ")" + version + "\"}", 0644);
  testing::writeFile(path + "/Contents/Linux/zefra-helper", "#!/bin/sh\necho " + version + "\n");
  testing::signedCopy("/bin/true", path + "/Contents/Linux/tool", signer, "com.ovak.zefra.tool");
  testing::writeFile(path + "/Contents/Resources/run.sh", "#!/bin/sh\n", 0755);
  testing::writeFile(path + "/Contents/Resources/data", "data", 0644);
  fs::create_symlink("data", path + "/Contents/Resources/link");
  ASSERT_TRUE(codesign::signBundle(path, signer.identity(), "com.ovak.zefra.helper"));
}

// An archive entry: a file, symlink, directory or tree.
struct Entry {
  char kind;
  std::string name, data = {};
  mode_t mode = 0755;
};

class InstallUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ + "/tmp");
    makeBundle(installed(), "1", testPki().leaf);
    settings_.temporaryDirectory = root_ + "/tmp";
    settings_.bundlePath = installed();
    settings_.runningFromBundle = true;
    settings_.anchor = testPki().root.anchor();
  }

  std::string installed() const { return root_ + "/apps/" + kApp; }
  // A signed bundle, changed by `change` after signing.
  std::string update(const Change& change = {}, const Credential& signer = testPki().leaf,
                     const std::string& version = "2") {
    const std::string bundle = root_ + "/made/" + kApp;
    fs::remove_all(root_ + "/made");
    makeBundle(bundle, version, signer);
    if (change) change(bundle);
    return bundle;
  }
  // A zip of `entries`; a tree without a source is a fresh update().
  std::string zip(const std::vector<Entry>& entries) {
    const std::string path = root_ + "/update" + std::to_string(++archives_) + ".zip";
    auto writer = update::ZipWriter::create(path);
    for (const auto& e : entries) {
      EXPECT_TRUE(e.kind == 'f'   ? writer->addFile(e.name, e.data, e.mode)
                  : e.kind == 'l' ? writer->addSymlink(e.name, e.data)
                  : e.kind == 'd' ? writer->addDirectory(e.name, e.mode)
                                  : writer->addTree(e.name, e.data.empty() ? update() : e.data))
          << e.name;
    }
    EXPECT_TRUE(writer->finish());
    return path;
  }
  // The installed copy is the one signed copy in its folder, and no staging
  // folder is left over.
  void expectInstalled(const std::string& version) const {
    EXPECT_EQ(platform::readInfoDictionary(installed()).value("CFBundleVersion", ""), version);
    auto verified =
        codesign::verifyBundle(installed(), {"com.ovak.zefra.helper", testing::kTeam},
                               testPki().root.anchor(), codesign::VerifyOptions::forUpdates());
    EXPECT_TRUE(verified) << verified.error().message;
    EXPECT_EQ(platform::listDirectory(root_ + "/apps").value(), std::vector<std::string>{kApp});
    EXPECT_EQ(platform::listDirectory(settings_.temporaryDirectory).value(),
              std::vector<std::string>{});
  }
  void expectRefused(const std::string& archive, const std::string& messageStart) const {
    const auto message = installUpdateFromZip(archive, settings_).message;
    EXPECT_TRUE(message.starts_with(messageStart)) << message;
    expectInstalled("1");
  }

  zefra::testing::TempDir temp_;
  const std::string root_ = temp_.path();
  UpdateSettings settings_;
  int archives_ = 0;
};

// The seal leaves group and other write bits out, and the zip's modes are not
// signed, so an archive can ask for any of them: none is ever installed.
TEST_F(InstallUpdateTest, InstallsASignedUpdateWritableByNoOtherAcrossFileSystemsToo) {
  // The bundle and everything in it: chmod and find pass its symlinks by.
  auto writableByAll = [](const std::string& bundle) {
    ASSERT_EQ(testing::run({"chmod", "-R", "go+w", bundle}), 0);
  };
  // In memory: another file system than the one the bundle is on.
  std::vector<std::string> stagings = {root_ + "/tmp"};
  std::optional<zefra::testing::TempDir> other;
  if (fs::is_directory("/dev/shm")) stagings.push_back(other.emplace("/dev/shm").path());
  for (std::size_t i = 0; i < stagings.size(); ++i) {
    SCOPED_TRACE(stagings[i]);
    settings_.temporaryDirectory = stagings[i];
    const std::string version = std::to_string(i + 2);
    // A "./" entry and prefix are no escape.
    const std::string bundle = update(writableByAll, testPki().leaf, version);
    auto outcome = installUpdateFromZip(zip({{'d', "./"}, {'t', std::string("./") + kApp, bundle}}),
                                        settings_);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    // The seal covers modes and symlink targets, so they came across.
    expectInstalled(version);
    std::string writable;
    // A find that fails says so here too: its standard error is in the output.
    testing::run({"find", installed(), "!", "-type", "l", "-perm", "/022"}, &writable);
    EXPECT_EQ(writable, "");
  }
}

TEST_F(InstallUpdateTest, ARefusedUpdateChangesNothingOutsideStaging) {
  const std::string outside = root_ + "/outside";
  settings_.unpackLimits = {50, 1 << 20};
  const Credential otherTeam = testing::issue({.units = {"Z9Z9Z9Z9Z9"}}, &testPki().root);
  const Entry bundle{'t', kApp};
  std::vector<Entry> many;
  for (int i = 0; i < 51; ++i) many.push_back({'f', "f" + std::to_string(i)});
  std::string deep, longName = "f";
  for (int i = 0; i < 30; ++i) deep += "a/";
  for (int i = 0; i < 20; ++i) longName = std::string(250, 'n') + "/" + longName;
  // The first local header: damaged data alone could still reach the signature check.
  const std::string corrupt = zip({bundle});
  testing::damage(corrupt, 0);
  ::mkfifo((root_ + "/fifo.zip").c_str(), 0600);
  // The seal leaves the main executable out, and its own signature not its
  // mode (a changed one is signature_block_test's).
  auto notExecutable = [](const std::string& b) {
    fs::permissions(b + "/Contents/Linux/zefra-helper", fs::perms(0644));
  };
  // Where the bundle comes last, a refusal stops the unpacking before it.
  const std::vector<std::tuple<const char*, std::string, const char*>> rows = {
      {"missing archive", root_ + "/absent.zip", kNotContained},
      {"a FIFO for an archive", root_ + "/fifo.zip", kNotContained},
      {"corrupt archive", corrupt, kNotContained},
      {"bundle inside a folder", zip({{'t', "Folder/Zefra Helper.app"}}), kNotContained},
      {"a link to a signed bundle", zip({{'l', kApp, "real"}, {'t', "real"}}), kSignature},
      {"another team", zip({{'t', kApp, update({}, otherTeam)}}), kSignature},
      {"main executable not executable", zip({{'t', kApp, update(notExecutable)}}), kSignature},
      {"a folder without permissions, then dot-dot",
       zip({{'d', "locked", "", 0}, {'f', "locked/inside"}, {'f', "../../outside"}, bundle}),
       kNotContained},
      {"absolute", zip({{'f', outside}, bundle}), kNotContained},
      {"symlink to / then through it",
       zip({{'l', "escape", "/"}, {'f', "escape" + outside}, bundle}), kNotContained},
      {"symlink up then through it", zip({{'l', "up", "../.."}, {'f', "up/outside"}, bundle}),
       kNotContained},
      {"a chain of symlinks whose text stays inside",
       zip({{'l', "l1", "."}, {'l', "l2", "l1/.."}, {'l', "l3", "l2/.."}, bundle}), kNotContained},
      {"through a symlink that stays inside",
       zip({{'d', "sub"}, {'l', "in", "sub"}, {'f', "in/file"}, bundle}), kNotContained},
      {"set-user-ID", zip({{'f', "tool", "x", 04755}, bundle}), kNotContained},
      {"too many bytes", zip({{'f', "bomb", std::string((1 << 20) + 1, '\0')}, bundle}),
       kNotContained},
      {"too many entries", zip(many), kNotContained},
      // Folders the names imply count as entries, and a name is shorter
      // than a path may be (past it, the unpacker changes our working
      // directory to get there).
      {"more folders made than entries allowed",
       zip({{'f', "x/" + deep + "f"}, {'f', "y/" + deep + "f"}, bundle}), kNotContained},
      {"a name longer than a path may be", zip({{'f', longName}, bundle}), kNotContained},
  };
  for (const auto& [what, archive, message] : rows) {
    SCOPED_TRACE(what);
    expectRefused(archive, message);
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
  }
}

// Root ignores permission bits, so the folder or the bundle is made
// immutable instead.
TEST_F(InstallUpdateTest, AFailedSwapKeepsTheInstalledCopy) {
  const std::string archive = zip({{'t', kApp}});
  settings_.temporaryDirectory = installed() + "/Contents/Info.json";  // a file
  const auto notStaged = installUpdateFromZip(archive, settings_).message;
  EXPECT_TRUE(notStaged.starts_with("Couldn't stage the update: ")) << notStaged;
  settings_.temporaryDirectory = root_ + "/tmp";
  settings_.runningFromBundle = false;
  expectRefused(archive, kAside);
  settings_.runningFromBundle = true;
  for (const std::string& locked : {root_ + "/apps", installed()}) {
    SCOPED_TRACE(locked);
    if (testing::run({"chattr", "+i", locked}) != 0) GTEST_SKIP() << "no chattr +i here";
    expectRefused(archive, kAside);
    testing::run({"chattr", "-i", locked});
  }
}

}  // namespace
}  // namespace zefra::update
