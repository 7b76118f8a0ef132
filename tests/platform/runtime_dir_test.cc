#include "platform/runtime_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace zefra::platform {
namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class RuntimeDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zefra-rd-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string dir(const std::string& name, mode_t mode) {
    std::string path = root_ + "/" + name;
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string root_;
  ScopedEnv noOverride_{"ZEFRA_RUNTIME_DIR", std::nullopt};
};

TEST_F(RuntimeDirTest, CreatesAMissingOverrideDirectoryPrivately) {
  const std::string path = root_ + "/fresh";
  Result<std::string> chosen = runtimeDirectory(path);
  ASSERT_TRUE(chosen.ok()) << chosen.error().message;
  EXPECT_EQ(*chosen, path);
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(runtimeDirectory(path).ok()) << "an existing private directory is accepted";
}

TEST_F(RuntimeDirTest, RefusesDirectoriesThatAreNotPrivate) {
  EXPECT_FALSE(runtimeDirectory(dir("open", 0755)).ok()) << "group and other permissions";
  EXPECT_FALSE(runtimeDirectory(dir("group", 0770)).ok());
  EXPECT_FALSE(runtimeDirectory(dir("readonly", 0500)).ok());

  const std::string target = dir("target", 0700);
  const std::string link = root_ + "/link";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(runtimeDirectory(link).ok()) << "a symlink, even to a private directory";

  const std::string file = root_ + "/file";
  std::ofstream(file) << "x";
  EXPECT_FALSE(runtimeDirectory(file).ok()) << "a plain file";

  EXPECT_FALSE(runtimeDirectory(std::string("relative/dir")).ok());
}

TEST_F(RuntimeDirTest, RefusesADirectoryOfAnotherUser) {
  std::string foreign;
  if (::geteuid() == 0) {
    foreign = dir("foreign", 0700);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  } else {
    foreign = "/";  // owned by root
  }
  Status status = checkPrivateDirectory(foreign);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, EPERM);
}

TEST_F(RuntimeDirTest, EnvironmentChoosesTheDirectory) {
  const std::string forced = dir("forced", 0700);
  {
    ScopedEnv env("ZEFRA_RUNTIME_DIR", forced);
    EXPECT_EQ(runtimeDirectory().value(), forced);
  }
  {
    ScopedEnv env("ZEFRA_RUNTIME_DIR", root_ + "/shared");
    ASSERT_EQ(::mkdir((root_ + "/shared").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((root_ + "/shared").c_str(), 0777), 0);
    EXPECT_FALSE(runtimeDirectory().ok()) << "the override is checked like any other";
  }
  const std::string fallback = "/tmp/zefra-helper-" + std::to_string(::geteuid());
  const std::string xdg = dir("xdg", 0700);
  {
    ScopedEnv env("XDG_RUNTIME_DIR", xdg);
    EXPECT_EQ(runtimeDirectory().value(), xdg);
  }
  {
    ScopedEnv env("XDG_RUNTIME_DIR", dir("xdg-open", 0755));
    Result<std::string> chosen = runtimeDirectory();
    if (chosen.ok()) {
      EXPECT_EQ(*chosen, fallback) << "a public XDG directory falls through";
    }
  }
  {
    ScopedEnv env("XDG_RUNTIME_DIR", std::string("run/user"));
    Result<std::string> chosen = runtimeDirectory();
    if (chosen.ok()) {
      EXPECT_EQ(*chosen, fallback) << "a relative XDG directory falls through";
    }
  }
}

TEST_F(RuntimeDirTest, ServicePathIsOneComponentInTheDirectory) {
  const std::string base = dir("svc", 0700);
  EXPECT_EQ(servicePath("group.com.ovak.zefra.helper", base).value(),
            base + "/group.com.ovak.zefra.helper");
  for (std::string bad : {"", ".", "..", "a/b", "../escape"}) {
    EXPECT_FALSE(servicePath(bad, base).ok()) << bad;
  }
  EXPECT_FALSE(servicePath(std::string(200, 'n'), base).ok()) << "longer than a socket address";
  EXPECT_FALSE(servicePath("name", root_ + "/missing/deeper").ok()) << "refused directory";
}

}  // namespace
}  // namespace zefra::platform
