#include "platform/files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/files/atomic_file.h"
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
  fs::create_symlink(root + "gone", root + "dangling");
  fs::create_symlink(root + "dir", root + "dirlink");
  EXPECT_TRUE(isExecutableFile(root + "tool"));
  EXPECT_TRUE(isExecutableFile(root + "link"));
  for (const char* name : {"plain", "dir", "dirlink", "dangling", "missing"}) {
    EXPECT_FALSE(isExecutableFile(root + name)) << name;
  }
}

TEST(FilesTest, ModificationTimeAndIdentityTellVersionsApart) {
  zefra::testing::TempDir dir;
  const std::string file = dir.path() + "/file", link = dir.path() + "/link";
  std::ofstream(file) << "one";
  fs::create_symlink(file, link);
  const struct timespec fileTime[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
  const struct timespec linkTime[2] = {{0, UTIME_OMIT}, {1600000000, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), fileTime, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), linkTime, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(modificationTime(file), 1700000000 + 123456789 / 1e9);
  EXPECT_EQ(modificationTime(link), 1600000000.5);
  EXPECT_EQ(modificationTime(link, Symlinks::kFollow), modificationTime(file));
  EXPECT_EQ(modificationTime(dir.path() + "/missing"), std::nullopt);
  auto before = fileIdentity(file).value();
  std::ofstream(file, std::ios::app) << "x";
  EXPECT_NE(fileIdentity(file).value(), before);
}

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

}  // namespace
}  // namespace zefra::platform
