#include "platform/desktop/user_defaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

class UserDefaultsTest : public ::testing::Test {
 protected:
  // What a fresh reader finds on disk.
  json onDisk() { return json::parse(contents(path_)); }

  zefra::testing::TempDir dir_;
  const std::string path_ = dir_.path() + "/config/com.ovak.zefra.helper/defaults.json";
};

TEST_F(UserDefaultsTest, ValuesRoundTripAndReplacementsAreNoticed) {
  UserDefaults defaults(path_);
  EXPECT_TRUE(defaults.snapshot().document().empty());
  const json values = {{"Text", "/usr/bin/typst"},
                       {"Time", 1733467012.123456789},
                       {"Flag", true},
                       {"Paths", {{"typst", ""}, {"pandoc", "/bin/pandoc"}}},
                       {"List", {1, "two"}}};
  for (auto& [key, value] : values.items()) ASSERT_TRUE(defaults.setObject(key, value));

  UserDefaults other(path_);
  EXPECT_EQ(other.snapshot().document(), values);

  ASSERT_TRUE(other.removeObject("Text"));
  ASSERT_TRUE(other.setObject("Flag", nullptr));
  EXPECT_EQ(onDisk(),
            (json{{"Time", values["Time"]}, {"Paths", values["Paths"]}, {"List", values["List"]}}));
  EXPECT_EQ(fs::status(fs::path(path_).parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // The cache must notice each same-sized replacement by another writer.
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(other.setObject("Key", "v" + std::to_string(i % 10)));
    ASSERT_EQ(defaults.snapshot().get("Key"), "v" + std::to_string(i % 10)) << "write " << i;
  }
}

TEST_F(UserDefaultsTest, UnreadableFileReadsEmptyAndIsKeptAsideByTheNextWrite) {
  for (const char* bad : {"{\"Key\": tru", "[1, 2]"}) {
    fs::remove(path_ + ".corrupt");
    fs::create_directories(fs::path(path_).parent_path());
    std::ofstream(path_) << bad;
    UserDefaults defaults(path_);
    EXPECT_TRUE(defaults.snapshot().document().empty()) << bad;

    ScopedLogCapture log;
    ASSERT_TRUE(defaults.setObject("New", 1));
    EXPECT_EQ(contents(path_ + ".corrupt"), bad);
    EXPECT_EQ(onDisk(), (json{{"New", 1}}));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Zefra Helper: ") &&
                log.lines()[0].ends_with(".corrupt"));
  }
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  // Each write also counts itself under a shared key, in the same transaction.
  std::vector<pid_t> children;
  for (const char* name : {"first", "second"}) {
    children.push_back(fork());
    if (children.back() == 0) {
      UserDefaults defaults(path_);
      for (int i = 0; i < 1000; ++i) {
        auto status = defaults.update([&](UserDefaults::Document& document) {
          document.set(name + std::to_string(i), i);
          const json* count = document.find("Count");
          document.set("Count", count ? count->get<int>() + 1 : 1);
        });
        if (!status) _exit(1);
      }
      _exit(0);
    }
  }
  // Meanwhile a reader never sees a transaction half done.
  UserDefaults reader(path_);
  int torn = 0;
  for (std::size_t ended = 0; ended < children.size();) {
    auto shot = reader.snapshot();
    const json& document = shot.document();
    torn += !document.empty() && document.size() != document.value("Count", 0) + 1u;
    int status = -1;
    if (waitpid(children[ended], &status, WNOHANG) == children[ended]) {
      EXPECT_EQ(status, 0);
      ++ended;
    }
  }
  EXPECT_EQ(torn, 0);
  json expected = {{"Count", 2000}};
  for (int i = 0; i < 1000; ++i) {
    expected["first" + std::to_string(i)] = expected["second" + std::to_string(i)] = i;
  }
  EXPECT_TRUE(onDisk() == expected);
}

std::string big(int round) {
  return std::string(256 * 1024, static_cast<char>('a' + round % 26));
}

TEST_F(UserDefaultsTest, KilledWriterLeavesTheOldOrTheNewFile) {
  // The round of a file written whole (its big value matches), else -1.
  const auto wholeRound = [&] {
    json document = json::parse(contents(path_), nullptr, false);
    int round = document.is_object() ? document.value("Round", -1) : -1;
    return round >= 0 && document.value("Big", "") == big(round) ? round : -1;
  };
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto report = makePipe().value();
    pid_t pid = fork();
    if (pid == 0) {
      UserDefaults defaults(path_);
      for (int n = 1;; ++n) {
        auto status = defaults.update([n](UserDefaults::Document& document) {
          document.set("Round", n);
          document.set("Big", big(n));
        });
        if (!status || write(report.writeEnd.get(), "x", 1) != 1) _exit(1);
      }
    }
    report.writeEnd.reset();
    // Each look races the child's next write, as does the kill.
    int reported = 0;
    for (char byte; reported < 2 + attempt && read(report.readEnd.get(), &byte, 1) == 1;) {
      EXPECT_GE(wholeRound(), ++reported) << "a reader saw a torn file";
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(reported, 2 + attempt) << "the writer failed";
    EXPECT_GE(wholeRound(), reported) << "attempt " << attempt;
    EXPECT_FALSE(fs::exists(path_ + ".corrupt"));
  }
}

}  // namespace
}  // namespace zefra::platform
