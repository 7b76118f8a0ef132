#include "platform/files/files.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>

#include "platform/files/atomic_file.h"
#include "platform/files/quarantine.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;
using zefra::testing::fileText;

TEST(FilesTest, ExecutableFileIsARegularFileTheUserMayRun) {
  zefra::testing::TempDir dir;
  const std::string root = dir.path() + "/";
  std::ofstream(root + "tool") << "#!/bin/sh\n";
  std::ofstream(root + "plain") << "#!/bin/sh\n";
  fs::permissions(root + "tool", fs::perms::owner_all);
  fs::create_directory(root + "dir");
  fs::create_symlink(root + "tool", root + "link");
  fs::create_symlink(root + "dir", root + "dirlink");
  for (const char* name : {"tool", "link", "plain", "dir", "dirlink", "missing"}) {
    EXPECT_EQ(isExecutableFile(root + name), *name == 't' || *name == 'l') << name;
  }
}

// Modification times are the tool inventory's test; a replaced file's
// identity, the defaults cache's.
// Someone who can write the folder leaves links at the temporary path: they
// are replaced, never written through. (A write that fails is the defaults'
// full-disk test: the same writer.)
TEST(FilesTest, AtomicWriteReplacesTheTargetWholeOrNotAtAll) {
  zefra::testing::TempDir dir;
  const std::string target = dir.path() + "/target", temporary = target + ".tmp";
  const std::string victim = dir.path() + "/victim";
  using Plant = void (*)(const std::string& victim, const std::string& at);
  const std::pair<const char*, Plant> cases[] = {
      {"symlink", [](const std::string& v, const std::string& at) { fs::create_symlink(v, at); }},
      {"hard link",
       [](const std::string& v, const std::string& at) { fs::create_hard_link(v, at); }},
      {"dangling symlink",
       [](const std::string& v, const std::string& at) {
         fs::remove(v);
         fs::create_symlink(v, at);
       }},
  };
  for (const auto& [what, plant] : cases) {
    std::ofstream(target) << "old";
    std::ofstream(victim) << "the user's own words";
    plant(victim, temporary);
    ASSERT_TRUE(writeFileAtomically(target, "new", 0600)) << what;
    EXPECT_EQ(fileText(target), "new") << what;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target))) << what;
    EXPECT_FALSE(fs::exists(fs::symlink_status(temporary))) << what;
    if (std::string_view(what) == "dangling symlink") {
      EXPECT_FALSE(fs::exists(victim)) << "the write created the link's target";
    } else {
      EXPECT_EQ(fileText(victim), "the user's own words") << what;
    }
  }
}

// Through the whole tree; a symlink is not followed, and attributes other
// than the download's origin stay.
TEST(FilesTest, QuarantineClearTakesOnlyTheOriginAttributes) {
  zefra::testing::TempDir dir;
  const std::string file = dir.path() + "/file";
  std::ofstream(file) << "x";
  fs::create_symlink("file", dir.path() + "/link");
  const std::pair<const char*, bool> names[] = {
      {"user.xdg.origin.url", false}, {"user.xdg.referrer.url", false}, {"user.keep", true}};
  for (const std::string& path : {dir.path(), file}) {
    for (const auto& [name, kept] : names) {
      if (::setxattr(path.c_str(), name, "u", 1, 0) != 0) GTEST_SKIP() << "no user attributes";
    }
  }
  EXPECT_TRUE(clearQuarantine(dir.path()));
  for (const std::string& path : {dir.path(), file}) {
    for (const auto& [name, kept] : names) {
      EXPECT_EQ(::getxattr(path.c_str(), name, nullptr, 0) == 1, kept) << path << " " << name;
    }
  }
}

}  // namespace
}  // namespace zefra::platform
