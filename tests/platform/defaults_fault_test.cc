// The defaults file under faults: a writer killed at random moments, and a
// write onto a full file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/desktop/user_defaults.h"
#include "platform/files/pipe_io.h"
#include "platform/log.h"
#include "support/temp_dir.h"

namespace zefra::platform {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string contents(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Large enough that a write takes a while, so kills land inside writes too.
std::string filler(int round) {
  return std::string(64 * 1024, static_cast<char>('a' + round % 26));
}

TEST(DefaultsFaultTest, WriterKilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
  zefra::testing::TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  ASSERT_TRUE(UserDefaults(path).update([](UserDefaults::Document& document) {
    document.set("Untouched", json{{"pandoc", "/usr/bin/pandoc"}});
    document.set("Round", 0);
    document.set("Filler", filler(0));
  }));
  int round = 0;
  int killedWithAWriteInFlight = 0;
  for (unsigned trial = 0; trial < 200; ++trial) {
    auto report = makePipe().value();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults defaults(path);
      if (write(report.writeEnd.get(), "r", 1) != 1) _exit(1);
      for (int n = round + 1;; ++n) {
        auto status = defaults.update([n](UserDefaults::Document& document) {
          document.set("Round", n);
          document.set("Filler", filler(n));
        });
        if (!status || write(report.writeEnd.get(), "w", 1) != 1) _exit(1);
      }
    }
    report.writeEnd.reset();
    char byte = 0;
    ASSERT_EQ(read(report.readEnd.get(), &byte, 1), 1);
    // The moment is the seed's; where in a write it lands is the machine's.
    std::mt19937 random(trial);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 6000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed in trial " << trial;
    int completed = 0;
    while (read(report.readEnd.get(), &byte, 1) == 1) ++completed;

    json document = json::parse(contents(path), nullptr, /*allow_exceptions=*/false);
    ASSERT_TRUE(document.is_object()) << "torn file after trial " << trial;
    const int found = document.value("Round", -1);
    // The last write that finished, or the one the kill interrupted.
    ASSERT_TRUE(found == round + completed || found == round + completed + 1)
        << "trial " << trial << ": round " << found << " after " << completed << " writes from "
        << round;
    ASSERT_EQ(document.value("Filler", ""), filler(found)) << "trial " << trial;
    ASSERT_EQ(document["Untouched"], (json{{"pandoc", "/usr/bin/pandoc"}}));
    if (fs::exists(path + ".tmp")) ++killedWithAWriteInFlight;
    round = found;
  }
  EXPECT_FALSE(fs::exists(path + ".corrupt"));
  // A temporary file left by a kill does not get in the next writer's way.
  EXPECT_TRUE(UserDefaults(path).setObject("Round", round + 1));
  EXPECT_EQ(UserDefaults(path).doubleForKey("Round"), round + 1);
  RecordProperty("killed_during_a_write", killedWithAWriteInFlight);
}

// Something other than a regular file where the file or its lock belongs
// (another program of the user put it there): reading and writing give up at
// once instead of waiting on a FIFO or reading a device without end, and
// the log says so once.
TEST(DefaultsFaultTest, WhatIsNoRegularFileIsNeitherWaitedOnNorUsed) {
  using Make = std::function<void(const std::string&)>;
  const std::vector<std::tuple<const char*, const char*, Make>> rows = {
      {"a FIFO", "", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"a link to a device", "", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }},
      {"a folder", "", [](const std::string& p) { fs::create_directory(p); }},
      {"a FIFO", ".lock", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"a folder", ".lock", [](const std::string& p) { fs::create_directory(p); }},
      {"a link to a file", ".lock",
       [](const std::string& p) {
         std::ofstream(p + ".target") << "";
         fs::create_symlink(p + ".target", p);
       }},
  };
  for (const auto& [what, suffix, make] : rows) {
    SCOPED_TRACE(std::string(what) + " at defaults.json" + suffix);
    zefra::testing::TempDir dir;
    const std::string path = dir.path() + "/defaults.json";
    if (*suffix) std::ofstream(path) << R"({"Kept": "old value"})";
    make(path + suffix);
    ScopedLogCapture capture;
    // Detached, so that a read that hangs fails the test instead of hanging it.
    auto outcome = std::make_shared<std::promise<std::vector<bool>>>();
    auto attempts = outcome->get_future();
    std::thread([outcome, path] {
      UserDefaults defaults(path);
      std::vector<bool> outcomes;
      for (int i = 0; i < 2; ++i) {
        outcomes.push_back(defaults.snapshot().document().empty());
        outcomes.push_back(!defaults.setObject("New", 1));
      }
      outcome->set_value(outcomes);
    }).detach();
    ASSERT_EQ(attempts.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const bool fileAtFault = *suffix == '\0';
    EXPECT_EQ(attempts.get(), (std::vector<bool>{fileAtFault, true, fileAtFault, true}));
    EXPECT_EQ(capture.lines().size(), 1u);
    if (!fileAtFault) {
      EXPECT_EQ(contents(path), R"({"Kept": "old value"})");
    }
  }
}

// The next write fails for want of space: a 64 KiB tmpfs filled up where
// mounting is allowed, otherwise a file-size limit (EFBIG instead of ENOSPC),
// so the case runs everywhere.
class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string mountPoint = dir_.path() + "/small";
    ASSERT_EQ(mkdir(mountPoint.c_str(), 0700), 0);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0) {
      mountPoint_ = mountPoint;
    }
    path_ = mountPoint + "/defaults.json";
    ASSERT_TRUE(UserDefaults(path_).setObject("Kept", "old value"));
    original_ = contents(path_);
    fill();
  }
  void TearDown() override {
    makeRoom();
    if (mountPoint_) umount2(mountPoint_->c_str(), MNT_DETACH);
  }

  void fill() {
    if (!mountPoint_) {
      ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
      signal(SIGXFSZ, SIG_IGN);
      rlimit small = saved_;
      small.rlim_cur = 4096;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
      limited_ = true;
      return;
    }
    UniqueFd filler(open((*mountPoint_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string block(4096, 'f');
    while (write(filler.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  void makeRoom() {
    if (mountPoint_) fs::remove(*mountPoint_ + "/filler");
    if (std::exchange(limited_, false)) setrlimit(RLIMIT_FSIZE, &saved_);
  }
  int expectedError() const { return mountPoint_ ? ENOSPC : EFBIG; }

  zefra::testing::TempDir dir_;
  std::optional<std::string> mountPoint_;
  std::string path_;
  std::string original_;
  rlimit saved_{};
  bool limited_ = false;
};

TEST_F(FullDiskTest, FailedWriteKeepsTheOldFileAndLogsOneLine) {
  UserDefaults defaults(path_);
  ScopedLogCapture capture;
  auto status = defaults.setObject("Kept", std::string(8 * 1024, 'n'));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code, expectedError()) << status.error().message;
  EXPECT_EQ(contents(path_), original_);
  EXPECT_EQ(UserDefaults(path_).stringForKey("Kept"), "old value");
  EXPECT_EQ(defaults.stringForKey("Kept"), "old value");
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find(path_), std::string::npos) << capture.lines()[0];
  EXPECT_NE(capture.lines()[0].find(std::strerror(expectedError())), std::string::npos)
      << capture.lines()[0];

  makeRoom();
  EXPECT_TRUE(defaults.setObject("Kept", "new value"));
  EXPECT_EQ(UserDefaults(path_).stringForKey("Kept"), "new value");
  EXPECT_EQ(capture.lines().size(), 1u);
}

}  // namespace
}  // namespace zefra::platform
