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

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
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
};

TEST_F(RuntimeDirTest, OnlyAPrivateDirectoryOfTheUserIsTakenOrMade) {
  const std::string fresh = root_.path() + "/fresh";
  EXPECT_EQ(runtimeDirectory(fresh).value(), fresh);
  struct stat st;
  ASSERT_EQ(::lstat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string link = root_.path() + "/link", file = root_.path() + "/file";
  ASSERT_EQ(::symlink(fresh.c_str(), link.c_str()), 0);
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
  EXPECT_EQ(checkPrivateDirectory(foreign).error().code, EPERM);
}

// The override comes first and is checked like any other; a public
// XDG_RUNTIME_DIR is passed over for /tmp.
TEST_F(RuntimeDirTest, TheEnvironmentsChoiceIsCheckedToo) {
  const std::string xdg = dir("xdg", 0700);
  ScopedEnv privateXdg("XDG_RUNTIME_DIR", xdg);
  {
    ScopedEnv shared("ZEFRA_RUNTIME_DIR", dir("shared", 0777));
    EXPECT_FALSE(runtimeDirectory().ok());
  }
  ScopedEnv none("ZEFRA_RUNTIME_DIR", "");
  EXPECT_EQ(runtimeDirectory().value(), xdg);
  ScopedEnv publicXdg("XDG_RUNTIME_DIR", dir("xdg-open", 0755));
  Result<std::string> chosen = runtimeDirectory();
  EXPECT_TRUE(!chosen.ok() || *chosen == "/tmp/zefra-helper-" + std::to_string(::geteuid()));
}

TEST_F(RuntimeDirTest, ServicePathIsOneComponentInTheDirectory) {
  const std::string base = dir("svc", 0700);
  EXPECT_EQ(servicePath("group.com.ovak.zefra.helper", base).value(),
            base + "/group.com.ovak.zefra.helper");
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "a/b", "../escape", std::string(200, 'n')}) {
    EXPECT_FALSE(servicePath(bad, base).ok()) << bad;
  }
}

}  // namespace
}  // namespace zefra::platform
