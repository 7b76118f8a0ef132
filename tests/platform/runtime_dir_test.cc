#include "platform/socket/runtime_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }

 private:
  void set(const std::optional<std::string>& value) {
    value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

class RuntimeDirTest : public ::testing::Test {
 protected:
  std::string dir(const std::string& name, mode_t mode) {
    std::string path = root_.path() + "/" + name;
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  testing::TempDir root_;
  ScopedEnv noOverride_{"ZEFRA_RUNTIME_DIR", std::nullopt};
};

TEST_F(RuntimeDirTest, CreatesAMissingDirectoryPrivatelyAndAcceptsIt) {
  const std::string path = root_.path() + "/fresh";
  EXPECT_EQ(runtimeDirectory(path).value(), path);
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(runtimeDirectory(path).value(), path) << "an existing private directory";
}

TEST_F(RuntimeDirTest, RefusesWhatIsNotAPrivateDirectoryOfTheUser) {
  const std::string link = root_.path() + "/link", file = root_.path() + "/file";
  ASSERT_EQ(::symlink(dir("target", 0700).c_str(), link.c_str()), 0);
  std::ofstream(file) << "x";
  for (const std::string& refused : {dir("open", 0755), dir("group", 0770), dir("readonly", 0500),
                                     link, file, std::string("relative/dir")}) {
    EXPECT_FALSE(runtimeDirectory(refused).ok()) << refused;
  }
  std::string foreign = "/";  // owned by root
  if (::geteuid() == 0) {
    foreign = dir("foreign", 0700);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  Status status = checkPrivateDirectory(foreign);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, EPERM);
}

TEST_F(RuntimeDirTest, EnvironmentChoosesTheDirectory) {
  const std::string forced = dir("forced", 0700), xdg = dir("xdg", 0700);
  {
    ScopedEnv env("ZEFRA_RUNTIME_DIR", forced);
    ScopedEnv alsoXdg("XDG_RUNTIME_DIR", xdg);
    EXPECT_EQ(runtimeDirectory().value(), forced);
  }
  {
    ScopedEnv env("ZEFRA_RUNTIME_DIR", dir("shared", 0777));
    EXPECT_FALSE(runtimeDirectory().ok()) << "the override is checked like any other";
  }
  {
    ScopedEnv env("XDG_RUNTIME_DIR", xdg);
    EXPECT_EQ(runtimeDirectory().value(), xdg);
  }
  // A public or relative XDG directory falls through to /tmp.
  for (const std::string& refused : {dir("xdg-open", 0755), std::string("run/user")}) {
    ScopedEnv env("XDG_RUNTIME_DIR", refused);
    Result<std::string> chosen = runtimeDirectory();
    EXPECT_TRUE(!chosen.ok() || *chosen == "/tmp/zefra-helper-" + std::to_string(::geteuid()))
        << refused;
  }
}

TEST_F(RuntimeDirTest, ServicePathIsOneComponentInTheDirectory) {
  const std::string base = dir("svc", 0700);
  EXPECT_EQ(servicePath("group.com.ovak.zefra.helper", base).value(),
            base + "/group.com.ovak.zefra.helper");
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "a/b", "../escape", std::string(200, 'n')}) {
    EXPECT_FALSE(servicePath(bad, base).ok()) << bad;
  }
  EXPECT_FALSE(servicePath("name", root_.path() + "/missing/deeper").ok()) << "refused directory";
}

}  // namespace
}  // namespace zefra::platform
