#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "platform/pipe_io.h"
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

TEST_F(UserDefaultsTest, TypedValuesRoundTrip) {
  UserDefaults defaults(path_);
  EXPECT_TRUE(defaults.snapshot().document().empty());
  const double time = 1733467012.123456789;
  ASSERT_TRUE(defaults.setObject("Text", "/usr/bin/typst"));
  ASSERT_TRUE(defaults.setObject("Time", time));
  ASSERT_TRUE(defaults.setObject("Flag", true));
  ASSERT_TRUE(defaults.setObject("Paths", json{{"typst", ""}, {"pandoc", "/bin/pandoc"}}));
  ASSERT_TRUE(defaults.setObject("List", json::array({1, "two"})));

  UserDefaults other(path_);
  EXPECT_EQ(other.stringForKey("Text"), "/usr/bin/typst");
  EXPECT_EQ(other.doubleForKey("Time"), time);
  EXPECT_EQ(other.objectForKey("Flag"), json(true));
  EXPECT_EQ(other.dictionaryForKey("Paths"), (json{{"typst", ""}, {"pandoc", "/bin/pandoc"}}));
  EXPECT_EQ(other.arrayForKey("List"), json::array({1, "two"}));
  // Typed getters answer nothing for another type.
  EXPECT_EQ(other.stringForKey("Time"), std::nullopt);
  EXPECT_EQ(other.dictionaryForKey("List"), std::nullopt);
  EXPECT_EQ(other.doubleForKey("Text"), 0.0);

  ASSERT_TRUE(other.removeObject("Text"));
  ASSERT_TRUE(other.setObject("Flag", nullptr));
  EXPECT_EQ(defaults.objectForKey("Text"), std::nullopt);
  EXPECT_FALSE(onDisk().contains("Flag"));
  EXPECT_EQ(fs::status(fs::path(path_).parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // The cache must notice each same-sized replacement by another writer.
  for (int i = 0; i < 300; ++i) {
    std::string value = "v" + std::to_string(i % 10);
    ASSERT_TRUE(other.setObject("Key", value));
    ASSERT_EQ(defaults.stringForKey("Key"), value) << "write " << i;
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
    EXPECT_TRUE(log.lines()[0].starts_with("Zefra Helper: "));
    EXPECT_NE(log.lines()[0].find(".corrupt"), std::string::npos);
  }
}

TEST_F(UserDefaultsTest, UpdatesFromThreadsLoseNothingAndWriteKeysTogether) {
  UserDefaults shared(path_);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    UserDefaults own(path_);
    while (!done.load()) {
      auto shot = own.snapshot();
      if (shot.get("A") != shot.get("B")) ++torn;
    }
  });
  auto increment = [](const json* current) { return json(current ? current->get<int>() + 1 : 1); };
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      UserDefaults own(path_);
      UserDefaults& defaults = t % 2 ? own : shared;
      for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(defaults.update("Counter", increment));
        EXPECT_TRUE(defaults.update([&](UserDefaults::Document& document) {
          document.set("A", increment(document.find("A")));
          document.set("B", increment(document.find("B")));
        }));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(onDisk(), (json{{"Counter", 400}, {"A", 400}, {"B", 400}}));
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  constexpr int kWrites = 1000;
  std::vector<pid_t> children;
  for (const char* name : {"first", "second"}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults defaults(path_);
      for (int i = 0; i < kWrites; ++i) {
        if (!defaults.setObject(name + std::to_string(i), i)) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  json document = onDisk();
  EXPECT_EQ(document.size(), 2u * kWrites);
  for (int i = 0; i < kWrites; ++i) {
    EXPECT_EQ(document.value("first" + std::to_string(i), -1), i);
    EXPECT_EQ(document.value("second" + std::to_string(i), -1), i);
  }
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
    auto report = makePipe();
    ASSERT_TRUE(report);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UserDefaults defaults(path_);
      for (int n = 1;; ++n) {
        auto status = defaults.update([n](UserDefaults::Document& document) {
          document.set("Round", n);
          document.set("Big", big(n));
        });
        if (!status || write(report->writeEnd.get(), "x", 1) != 1) _exit(1);
      }
    }
    report->writeEnd.reset();
    // Each look races the child's next write; the kill lands in one.
    int reported = 0;
    char byte;
    while (reported < 2 + attempt && read(report->readEnd.get(), &byte, 1) == 1) {
      ++reported;
      EXPECT_GE(wholeRound(), reported) << "a reader saw a torn file";
    }
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed before it was killed";
    EXPECT_GE(wholeRound(), reported) << "attempt " << attempt;
    EXPECT_FALSE(fs::exists(path_ + ".corrupt"));
  }
}

}  // namespace
}  // namespace zefra::platform
