#include "update/install_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <functional>

#include "codesign/bundle_check.h"
#include "codesign/signing.h"
#include "platform/desktop/bundle.h"
#include "platform/files/file_moves.h"
#include "platform/files/quarantine.h"
#include "support/codesign_fixture.h"
#include "support/temp_dir.h"
#include "update/zip_archive.h"

namespace zefra::update {
namespace {

namespace fs = std::filesystem;
using zefra::testing::Credential;
using zefra::testing::testPki;

constexpr char kNotContained[] = "The update didn't contain Zefra Helper.app.";
constexpr char kSignature[] = "The update failed its signature check and was not installed.";
constexpr char kUpdated[] = "Zefra Helper updated itself.";
constexpr char kId[] = "com.ovak.zefra.helper";

// A bundle laid out as the build makes it: main executable, a nested signed
// executable, a script, a symlink.
void makeBundle(const std::string& path, const std::string& version,
                const Credential& signer = testPki().leaf, const std::string& identifier = kId) {
  fs::create_directories(path + "/Contents/Linux");
  fs::create_directories(path + "/Contents/Resources");
  testing::writeFile(
      path + "/Contents/Info.json",
      R"({"CFBundleExecutable": "zefra-helper", "CFBundleVersion": ")" + version + "\"}", 0644);
  testing::writeFile(path + "/Contents/Linux/zefra-helper", "#!/bin/sh\necho " + version + "\n");
  testing::writeFile(path + "/Contents/Linux/tool", "#!/bin/sh\n");
  ASSERT_TRUE(codesign::signExecutable(path + "/Contents/Linux/tool", signer.identity(),
                                       "com.ovak.zefra.tool"));
  testing::writeFile(path + "/Contents/Resources/run.sh", "#!/bin/sh\n", 0755);
  testing::writeFile(path + "/Contents/Resources/data", "data", 0644);
  fs::create_symlink("data", path + "/Contents/Resources/link");
  ASSERT_TRUE(codesign::signBundle(path, signer.identity(), identifier));
}

const Credential& otherTeam() {
  static const Credential leaf = testing::issue(testing::leafSpec({"Z9Z9Z9Z9Z9"}), &testPki().root);
  return leaf;
}

class InstallUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    fs::create_directories(root_ + "/tmp");
    fs::create_directories(root_ + "/apps");
    makeBundle(installed(), "1");
    settings_.temporaryDirectory = root_ + "/tmp";
    settings_.bundlePath = installed();
    settings_.runningFromBundle = true;
    settings_.anchor = testPki().root.anchor();
  }

  std::string installed() const { return root_ + "/apps/Zefra Helper.app"; }
  std::string installedVersion() const {
    return platform::readInfoDictionary(installed()).value("CFBundleVersion", "");
  }
  // A signed bundle of version 2, changed by `change` after signing.
  std::string update(const std::function<void(const std::string&)>& change = {},
                     const Credential& signer = testPki().leaf, const std::string& id = kId) {
    std::string bundle = root_ + "/made/Zefra Helper.app";
    fs::remove_all(root_ + "/made");
    makeBundle(bundle, "2", signer, id);
    if (change) change(bundle);
    return bundle;
  }
  // A zip holding `tree` under `name`, and whatever `extra` adds.
  std::string zip(const std::string& tree, const std::string& name = "Zefra Helper.app",
                  const std::function<void(update::ZipWriter&)>& extra = {}) {
    std::string path = root_ + "/update" + std::to_string(++archives_) + ".zip";
    auto writer = update::ZipWriter::create(path);
    EXPECT_TRUE(writer);
    if (extra) extra(*writer);
    EXPECT_TRUE(tree.empty() || writer->addTree(name, tree));
    EXPECT_TRUE(writer->finish());
    return path;
  }
  std::vector<std::string> temporaryEntries() const {
    return platform::listDirectory(root_ + "/tmp").value();
  }

  zefra::testing::TempDir temp_;
  std::string root_;
  UpdateSettings settings_;
  int archives_ = 0;
};

TEST_F(InstallUpdateTest, ARefusedUpdateLeavesTheInstalledHelperAsItWas) {
  // An archive of the update bundle after `change`, signed by `signer` as `id`.
  auto changed = [&](std::function<void(const std::string&)> change,
                     const Credential& signer = testPki().leaf, std::string id = kId) {
    return [=, this, &signer] { return zip(update(change, signer, id)); };
  };
  auto chmodded = [&](const char* path) {
    return changed([=](const std::string& b) { ::chmod((b + path).c_str(), 0644); });
  };
  const std::vector<std::tuple<const char*, std::function<std::string()>, const char*>> rows = {
      {"bundle inside a folder",
       [&] {
         return zip("", "",
                    [&](auto& w) { EXPECT_TRUE(w.addTree("Folder/Zefra Helper.app", update())); });
       },
       kNotContained},
      {"corrupt archive",
       [&] {
         std::string path = zip(update()), bytes = testing::readFile(path);
         for (std::size_t i = bytes.size() / 3; i < bytes.size() * 2 / 3; ++i) bytes[i] ^= 0x5a;
         testing::writeFile(path, bytes, 0644);
         return path;
       },
       kNotContained},
      {"not a zip",
       [&] {
         testing::writeFile(root_ + "/text.zip", "not a zip archive\n", 0644);
         return root_ + "/text.zip";
       },
       kNotContained},
      {"missing archive", [&] { return root_ + "/absent.zip"; }, kNotContained},
      {"a FIFO for an archive",
       [&] {
         ::mkfifo((root_ + "/fifo.zip").c_str(), 0600);
         return root_ + "/fifo.zip";
       },
       kNotContained},
      {"another identifier", changed({}, testPki().leaf, "com.ovak.other"), kSignature},
      {"another team", changed({}, otherTeam()), kSignature},
      {"another anchor",
       [&] { return zip(update({}, testing::issue(testing::leafSpec(), nullptr))); }, kSignature},
      {"unsigned", changed([](const std::string& b) {
         testing::writeFile(b + "/Contents/Linux/zefra-helper", "#!/bin/sh\n");
       }),
       kSignature},
      {"file added", changed([](const std::string& b) {
         testing::writeFile(b + "/Contents/Resources/extra", "x", 0644);
       }),
       kSignature},
      {"file removed",
       changed([](const std::string& b) { fs::remove(b + "/Contents/Resources/data"); }),
       kSignature},
      {"file changed", changed([](const std::string& b) {
         testing::writeFile(b + "/Contents/Resources/data", "DATA", 0644);
       }),
       kSignature},
      {"exec bit changed", chmodded("/Contents/Resources/run.sh"), kSignature},
      {"main executable not executable", chmodded("/Contents/Linux/zefra-helper"), kSignature},
      {"bundle is a link to a signed bundle",
       [&] {
         return zip("", "", [&](auto& w) {
           EXPECT_TRUE(w.addSymlink("Zefra Helper.app", "real"));
           EXPECT_TRUE(w.addTree("real", update()));
         });
       },
       kSignature},
      {"a compressed 16 MiB added to a signed bundle", changed([](const std::string& b) {
         testing::writeFile(b + "/Contents/Resources/padding", std::string(16 << 20, '\0'), 0644);
       }),
       kSignature},
      {"a folder unpacked without any permission, then refused",
       [&] {
         return zip(update(), "Zefra Helper.app", [](auto& w) {
           EXPECT_TRUE(w.addDirectory("locked", 0));
           EXPECT_TRUE(w.addFile("locked/inside", "x"));
           EXPECT_TRUE(w.addFile("../refused", "x"));
         });
       },
       kNotContained},
      {"nested executable of another team", changed([](const std::string& b) {
         ASSERT_TRUE(codesign::signExecutable(b + "/Contents/Linux/tool", otherTeam().identity(),
                                              "com.ovak.zefra.tool"));
       }),
       kSignature},
  };
  for (const auto& [what, archive, message] : rows) {
    SCOPED_TRACE(what);
    auto outcome = installUpdateFromZip(archive(), settings_);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, message);
    EXPECT_EQ(installedVersion(), "1");
    // Whatever step refused it, nothing of it stays in the temporary folder.
    EXPECT_EQ(temporaryEntries(), std::vector<std::string>{});
  }
}

TEST_F(InstallUpdateTest, HostileArchivesWriteNothingOutsideStaging) {
  const std::string outside = root_ + "/outside";
  settings_.unpackLimits = {50, 1 << 20};
  struct Entry {
    char kind;  // file, link or directory
    std::string name, data;
    mode_t mode = 0644;
  };
  std::vector<Entry> many;
  for (int i = 0; i < 51; ++i) many.push_back({'f', "f" + std::to_string(i), ""});
  const std::vector<std::pair<const char*, std::vector<Entry>>> rows = {
      {"dot-dot", {{'f', "../../outside", "x"}}},
      {"absolute", {{'f', outside, "x"}}},
      {"symlink to / then through it", {{'l', "escape", "/"}, {'f', "escape" + outside, "x"}}},
      {"symlink up then through it", {{'l', "up", "../.."}, {'f', "up/outside", "x"}}},
      {"through a symlink that stays inside",
       {{'d', "sub", ""}, {'l', "in", "sub"}, {'f', "in/file", "x"}}},
      {"set-user-ID", {{'f', "tool", "x", 04755}}},
      {"too many bytes", {{'f', "bomb", std::string((1 << 20) + 1, '\0')}}},
      {"too many entries", many},
  };
  // Zip writers make no FIFOs or devices: the mode in a file's central
  // directory record is rewritten instead. libarchive reads a FIFO as a plain
  // file and a device as a device, which is refused; neither may appear.
  for (std::uint16_t type : {S_IFIFO, S_IFCHR}) {
    SCOPED_TRACE(type);
    std::string path = zip("", "", [](auto& w) { EXPECT_TRUE(w.addFile("special", "", 0644)); });
    std::string bytes = testing::readFile(path);
    auto record = bytes.find("PK\x01\x02");
    ASSERT_NE(record, std::string::npos);
    const std::uint16_t mode = type | 0644;
    bytes[record + 40] = static_cast<char>(mode & 0xff);
    bytes[record + 41] = static_cast<char>(mode >> 8);
    testing::writeFile(path, bytes, 0644);
    EXPECT_EQ(installUpdateFromZip(path, settings_).message, kNotContained);
    for (const auto& entry : fs::recursive_directory_iterator(root_ + "/tmp")) {
      EXPECT_TRUE(entry.is_regular_file() || entry.is_directory()) << entry.path();
    }
  }
  for (const auto& [what, entries] : rows) {
    SCOPED_TRACE(what);
    auto add = [&](update::ZipWriter& w) {
      for (const auto& e : entries) {
        EXPECT_TRUE(e.kind == 'f'   ? w.addFile(e.name, e.data, e.mode)
                    : e.kind == 'l' ? w.addSymlink(e.name, e.data)
                                    : w.addDirectory(e.name));
      }
    };
    // The bundle comes last: a refusal stops the unpacking before it.
    auto outcome = installUpdateFromZip(zip(update(), "Zefra Helper.app", add), settings_);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, kNotContained);
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
    EXPECT_EQ(installedVersion(), "1");
    EXPECT_EQ(temporaryEntries(), std::vector<std::string>{}) << "what was unpacked stays";
  }
  // Within the caps an archive unpacks, a "./" entry included.
  auto outcome = installUpdateFromZip(
      zip(update(), "./Zefra Helper.app", [](auto& w) { EXPECT_TRUE(w.addDirectory("./")); }),
      settings_);
  EXPECT_TRUE(outcome.ok) << outcome.message;
}

TEST_F(InstallUpdateTest, MovesAcrossFileSystemsKeepModesAndLinks) {
  std::string other = "/dev/shm/zefra-update-XXXXXX";
  struct stat a, b;
  if (::stat("/dev/shm", &a) != 0 || ::stat(root_.c_str(), &b) != 0 || a.st_dev == b.st_dev ||
      !::mkdtemp(other.data())) {
    GTEST_SKIP() << "no second file system";
  }
  settings_.temporaryDirectory = other;
  auto outcome = installUpdateFromZip(zip(update()), settings_);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.message, kUpdated);
  EXPECT_EQ(installedVersion(), "2");
  // The seal covers modes and symlink targets.
  auto verified =
      codesign::verifyBundle(installed(), {kId, testing::kTeam}, testPki().root.anchor(),
                             codesign::VerifyOptions::forUpdates());
  EXPECT_TRUE(verified) << verified.error().message;
  EXPECT_TRUE(platform::listDirectory(other)->empty());
  (void)platform::removeItem(other);
}

// Root ignores permission bits, so the folder or the bundle is made
// immutable instead.
TEST_F(InstallUpdateTest, AnUnmovableCopyStaysAndNothingIsLeftInStaging) {
  constexpr char kAside[] = "Couldn't move the old Zefra Helper aside: ";
  for (const std::string& locked : {root_ + "/apps", installed()}) {
    SCOPED_TRACE(locked);
    if (testing::run({"chattr", "+i", locked}) != 0) GTEST_SKIP() << "no chattr +i here";
    auto outcome = installUpdateFromZip(zip(update()), settings_);
    testing::run({"chattr", "-i", locked});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.message.starts_with(kAside)) << outcome.message;
    EXPECT_GT(outcome.message.size(), std::string(kAside).size());
    EXPECT_EQ(installedVersion(), "1");
    EXPECT_EQ(platform::listDirectory(root_ + "/apps").value(),
              std::vector<std::string>{"Zefra Helper.app"});
    EXPECT_EQ(temporaryEntries(), std::vector<std::string>{});
  }
}

TEST_F(InstallUpdateTest, FailuresBeforeTheSwapSayWhichStep) {
  testing::writeFile(root_ + "/plain", "", 0644);
  auto staging = settings_, unbundled = settings_;
  staging.temporaryDirectory = root_ + "/plain";
  unbundled.runningFromBundle = false;
  const std::string archive = zip(update());
  const auto notStaged = installUpdateFromZip(archive, staging).message;
  EXPECT_TRUE(notStaged.starts_with("Couldn't stage the update: ")) << notStaged;
  EXPECT_NE(notStaged.find("Not a directory"), std::string::npos) << notStaged;
  EXPECT_TRUE(installUpdateFromZip(archive, unbundled)
                  .message.starts_with("Couldn't move the old Zefra Helper aside: "));
  EXPECT_EQ(installedVersion(), "1");
}

TEST(QuarantineTest, OriginAttributesGoAndOthersStay) {
  zefra::testing::TempDir dir;
  const std::string file = dir.path() + "/sub/file";
  fs::create_directories(dir.path() + "/sub");
  testing::writeFile(file, "x", 0644);
  fs::create_symlink("file", dir.path() + "/sub/link");
  for (const std::string& path : {dir.path(), file}) {
    for (const char* name : {"user.xdg.origin.url", "user.xdg.referrer.url", "user.keep"}) {
      if (::setxattr(path.c_str(), name, "u", 1, 0) != 0) GTEST_SKIP() << "no user attributes";
    }
  }
  EXPECT_TRUE(platform::clearQuarantine(dir.path()));
  for (const std::string& path : {dir.path(), file}) {
    EXPECT_LT(::getxattr(path.c_str(), "user.xdg.origin.url", nullptr, 0), 0);
    EXPECT_LT(::getxattr(path.c_str(), "user.xdg.referrer.url", nullptr, 0), 0);
    EXPECT_EQ(::getxattr(path.c_str(), "user.keep", nullptr, 0), 1);
  }
}

}  // namespace
}  // namespace zefra::update
