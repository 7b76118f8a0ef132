// Files, the clock, the user's account and the log.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/user_info.h"

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "files-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string file(const std::string& name, mode_t mode) {
    std::string path = root_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n";
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string root_;
};

TEST_F(FilesTest, ExecutableFileIsARegularFileTheUserMayRun) {
  std::string tool = file("tool", 0755);
  std::string plain = file("plain", 0644);
  std::string dir = root_ + "/dir";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  fs::create_symlink(tool, root_ + "/link");
  fs::create_symlink(root_ + "/gone", root_ + "/dangling");
  fs::create_symlink(dir, root_ + "/dirlink");

  EXPECT_TRUE(isExecutableFile(tool));
  EXPECT_TRUE(isExecutableFile(root_ + "/link"));
  EXPECT_FALSE(isExecutableFile(plain));
  EXPECT_FALSE(isExecutableFile(dir));
  EXPECT_FALSE(isExecutableFile(root_ + "/dirlink"));
  EXPECT_FALSE(isExecutableFile(root_ + "/dangling"));
  EXPECT_FALSE(isExecutableFile(root_ + "/missing"));
  EXPECT_FALSE(isExecutableFile(""));
}

TEST_F(FilesTest, ModificationTimeKeepsNanosecondsAndExaminesTheLinkItself) {
  std::string tool = file("tool", 0755);
  std::string link = root_ + "/link";
  fs::create_symlink(tool, link);
  const struct timespec fileTime[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
  const struct timespec linkTime[2] = {{0, UTIME_OMIT}, {1600000000, 500000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tool.c_str(), fileTime, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, link.c_str(), linkTime, AT_SYMLINK_NOFOLLOW), 0);

  EXPECT_EQ(modificationTime(tool), 1700000000 + 123456789 / 1e9);
  EXPECT_EQ(modificationTime(link), 1600000000.5);
  EXPECT_EQ(modificationTime(link, Symlinks::kFollow), modificationTime(tool));
  EXPECT_EQ(modificationTime(root_ + "/missing"), std::nullopt);
}

TEST_F(FilesTest, IdentityChangesWithTheFile) {
  std::string path = file("data", 0644);
  auto byPath = fileIdentity(path);
  ASSERT_TRUE(byPath);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto byFd = fileIdentity(fd);
  ASSERT_TRUE(byFd);
  EXPECT_EQ(*byPath, *byFd);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  ::close(fd);
  EXPECT_NE(fileIdentity(path).value(), *byPath);
  EXPECT_FALSE(fileIdentity(root_ + "/missing"));
}

TEST(Clock, OverridesNestAndRestoreTheRealClock) {
  const double before = static_cast<double>(std::time(nullptr));
  {
    ScopedClockOverride fixed(1000.25);
    EXPECT_EQ(now(), 1000.25);
    fixed.advance(899.5);
    EXPECT_EQ(now(), 1899.75);
    {
      ScopedClockOverride custom([] { return 42.0; });
      EXPECT_EQ(now(), 42.0);
    }
    EXPECT_EQ(now(), 1899.75);
    fixed.set(5);
    EXPECT_EQ(now(), 5.0);
  }
  EXPECT_GE(now(), before);
}

TEST(UserInfo, HomeComesFromAnAbsoluteHomeVariable) {
  const char* saved = std::getenv("HOME");
  std::string original = saved ? saved : "";
  ASSERT_EQ(::setenv("HOME", "/somewhere/else", 1), 0);
  EXPECT_EQ(homeDirectory(), "/somewhere/else");
  ASSERT_EQ(::setenv("HOME", "relative", 1), 0);
  EXPECT_TRUE(homeDirectory().starts_with('/'));
  saved ? ::setenv("HOME", original.c_str(), 1) : ::unsetenv("HOME");
  EXPECT_TRUE(loginShell().starts_with('/'));
}

TEST(Log, PrefixesOnceAndWritesOneLine) {
  EXPECT_EQ(logLine("started"), "Zefra Helper: started");
  EXPECT_EQ(logLine("Zefra Helper: started"), "Zefra Helper: started");
  EXPECT_EQ(logLine("two\nlines"), "Zefra Helper: two lines");

  ScopedLogCapture capture;
  ::testing::internal::CaptureStderr();
  log("Registration failed (denied)");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Zefra Helper: Registration failed (denied)\n");
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"Zefra Helper: Registration failed (denied)"});
}

}  // namespace
}  // namespace zefra::platform
