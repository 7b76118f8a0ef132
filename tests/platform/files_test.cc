#include "platform/files/files.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zefra::platform
