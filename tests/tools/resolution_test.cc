#include <atomic>
#include <thread>

#include "base/clock.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using Json = nlohmann::json;

class ResolutionTest : public ToolFixture {
 protected:
  void SetUp() override {
    ToolFixture::SetUp();
    clock_ = std::make_unique<base::ScopedClockOverride>([this] { return now_.load(); });
  }
  void TearDown() override {
    clock_.reset();
    ToolFixture::TearDown();
  }
  // A tool outside every search directory, for the shell to find.
  std::string elsewhere(const std::string& name) {
    std::filesystem::create_directories(home_ + "/elsewhere");
    return writeExecutable(home_ + "/elsewhere/" + name, "#!/bin/sh\n");
  }
  Json stored(const char* key) { return storedValue(key); }

  std::atomic<double> now_{1'000'000.0};
  std::unique_ptr<base::ScopedClockOverride> clock_;
};

TEST_F(ResolutionTest, OnlyCatalogueNamesAreLookedUp) {
  writeTool("not-a-tool", "");
  writeTool("Typst", "");
  for (const char* name : {"not-a-tool", "Typst", " typst", "../bin/typst", ""}) {
    EXPECT_FALSE(resolver().resolveToolPath(name)) << name;
  }
  EXPECT_EQ(shellCalls(), 0);
  EXPECT_TRUE(stored("ResolvedToolPaths").is_null());
}

TEST_F(ResolutionTest, SearchDirectoriesComeFirstInOrderAndAreNotCached) {
  const auto tool = freeTool();
  const auto later = home_ + "/.claude/local";
  std::filesystem::create_directories(later);
  writeExecutable(later + "/" + tool, "#!/bin/sh\n");
  EXPECT_EQ(resolver().resolveToolPath(tool), later + "/" + tool);
  writeTool(tool, "");
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  // A cached shell answer does not outrank a search directory.
  resolver().storeShellPath(tool, elsewhere(tool));
  EXPECT_EQ(resolver().resolveToolPath(tool), bin() + "/" + tool);
  EXPECT_EQ(shellCalls(), 0);
  // A non-executable file in a directory is no hit.
  std::filesystem::remove(bin() + "/" + tool);
  std::filesystem::remove(later + "/" + tool);
  std::ofstream(bin() + "/" + tool) << "plain";
  EXPECT_EQ(resolver().resolveToolPath(tool), home_ + "/elsewhere/" + tool);
}

TEST_F(ResolutionTest, ShellAnswerIsTrimmedAndCachedInBothLevels) {
  const auto tool = freeTool();
  const auto path = elsewhere(tool);
  setShellAnswer("  " + path + " \n\n");
  EXPECT_EQ(resolver().resolveToolPath(tool), path);
  EXPECT_EQ(resolver().resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), 1);
  EXPECT_EQ(stored("ResolvedToolPaths")[tool], path);
  EXPECT_EQ(stored("ResolvedToolPathsAt")[tool], now_.load());
  // Another connection uses the persisted answer without the shell.
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), 1);
  // Profile noise around the path, a function or alias name, or a relative
  // path that exists from our working directory: no path, a negative entry.
  const auto relative = std::filesystem::relative(path).string();
  ASSERT_TRUE(std::filesystem::exists(relative));
  for (const std::string& answer : {"Welcome!\n" + path + "\n", freeTool(1), relative}) {
    setShellAnswer(answer);
    EXPECT_FALSE(newResolver()->resolveToolPath(freeTool(1))) << answer;
    EXPECT_EQ(stored("ResolvedToolPaths")[freeTool(1)], "") << answer;
  }
}

TEST_F(ResolutionTest, LoginShellGetsTheLookupInTheHelperEnvironment) {
  EXPECT_FALSE(resolver().resolveToolPath(freeTool()));
  std::ifstream calls(home_ + "/shell-calls");
  std::string line;
  std::getline(calls, line);
  EXPECT_EQ(line, std::string(getenv("HOME")) + " -lc command -v " + freeTool());
}

TEST_F(ResolutionTest, NegativeEntriesLastLessThan900Seconds) {
  const auto tool = freeTool();
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);
  EXPECT_EQ(stored("ResolvedToolPaths")[tool], "");

  now_ = now_ + 899.0;
  auto second = newResolver();
  EXPECT_FALSE(second->resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);

  now_ = now_ + 1.0;  // 900 seconds after the store
  auto third = newResolver();
  const auto path = elsewhere(tool);
  setShellAnswer(path);
  EXPECT_EQ(third->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), 2);
  // The first connection keeps its in-memory answer for its whole life.
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 2);
}

TEST_F(ResolutionTest, UnusableCacheEntriesSendTheLookupBackToTheShell) {
  const auto tool = freeTool();
  // A negative entry without a time is never valid.
  ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, ""}}));
  EXPECT_FALSE(resolver().resolveToolPath(tool));
  EXPECT_EQ(shellCalls(), 1);
  // A persisted path that is gone, or that another program of the user wrote
  // there: an executable of another name, a folder named like the tool.
  const auto path = elsewhere(tool);
  const auto folder = home_ + "/folder/" + tool;
  std::filesystem::create_directories(folder);
  setShellAnswer(path);
  int calls = 1;
  for (const std::string& planted : {path + "-gone", elsewhere("script"), folder}) {
    ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, planted}}));
    EXPECT_EQ(newResolver()->resolveToolPath(tool), path) << planted;
    EXPECT_EQ(shellCalls(), ++calls) << planted;
  }
  // Nor is such a path taken from the shell itself.
  setShellAnswer(elsewhere("script"));
  EXPECT_FALSE(newResolver()->resolveToolPath(freeTool(1)));
  ++calls;
  setShellAnswer(path);
  // One value of the wrong type voids the dictionary, which is replaced.
  ASSERT_TRUE(defaults_->setObject("ResolvedToolPaths", Json{{tool, path}, {"other", 3}}));
  EXPECT_EQ(newResolver()->resolveToolPath(tool), path);
  EXPECT_EQ(shellCalls(), ++calls);
  EXPECT_EQ(stored("ResolvedToolPaths"), (Json{{tool, path}}));
}

TEST_F(ResolutionTest, ShellThatCannotStartCachesNothing) {
  const auto tool = freeTool();
  auto broken = settings();
  broken.loginShell = home_ + "/no-such-shell";
  ToolResolver resolver(broken);
  EXPECT_FALSE(resolver.resolveToolPath(tool));
  EXPECT_TRUE(stored("ResolvedToolPaths").is_null());
  // The next call tries again rather than trusting a cached failure.
  const auto path = elsewhere(tool);
  writeExecutable(home_ + "/no-such-shell", "#!/bin/sh\necho '" + path + "'\n");
  EXPECT_EQ(resolver.resolveToolPath(tool), path);
}

TEST_F(ResolutionTest, ConcurrentStoresFromManyConnectionsLoseNothing) {
  std::vector<std::thread> writers;
  std::vector<std::unique_ptr<ToolResolver>> services;
  for (std::size_t i = 0; i < allowedTools.size(); ++i) services.push_back(newResolver());
  for (std::size_t i = 0; i < allowedTools.size(); ++i) {
    writers.emplace_back([&, i] {
      for (int round = 0; round < 20; ++round) {
        services[i]->storeShellPath(std::string(allowedTools[i]), "/p/" + std::to_string(round));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  auto paths = stored("ResolvedToolPaths");
  auto times = stored("ResolvedToolPathsAt");
  for (auto name : allowedTools) {
    EXPECT_EQ(paths[std::string(name)], "/p/19") << name;
    EXPECT_TRUE(times[std::string(name)].is_number()) << name;
  }
}

}  // namespace
}  // namespace zefra::tools::testing
