#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>

#include <chrono>
#include <future>
#include <thread>

#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using Json = nlohmann::json;

class InventoryTest : public ToolFixture {
 protected:
  xpc::Inventory inventory() {
    std::promise<xpc::Inventory> promise;
    service().toolInventoryWithReply([&](xpc::Inventory result) { promise.set_value(result); });
    return promise.get_future().get();
  }
  // A stand-in whose --version prints `output` and counts its probes.
  void writeVersionTool(const std::string& name, const std::string& printf, int status = 0) {
    writeTool(name, "echo >> '" + home_ + "/probes-" + name + "'\nprintf '" + printf + "'\nexit " +
                        std::to_string(status));
  }
  int probes(const std::string& name) {
    std::ifstream in(home_ + "/probes-" + name);
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
  }
  std::string versionOf(const std::string& name) {
    const auto entry = inventory().at(name);
    EXPECT_EQ(entry.at("path"), bin() + "/" + name);
    return entry.at("version");
  }
};

TEST_F(InventoryTest, ListsOnlyResolvedToolsWithBothKeys) {
  // Tools the machine provides system-wide are listed as well; ours must be.
  auto listed = inventory();
  const auto tool = freeTool();
  EXPECT_EQ(listed.count(tool), 0u);
  for (const auto& [name, entry] : listed) {
    EXPECT_TRUE(isAllowedTool(name));
    EXPECT_EQ(entry.size(), 2u);
  }
  writeVersionTool(tool, "tool 1.2\\n");
  auto after = inventory();
  EXPECT_EQ(after.at(tool), (std::map<std::string, std::string>{{"path", bin() + "/" + tool},
                                                                {"version", "tool 1.2"}}));
}

TEST_F(InventoryTest, VersionIsTheFirstNonEmptyLine) {
  const std::string names[] = {freeTool(0), freeTool(1), freeTool(2), freeTool(3)};
  writeVersionTool(names[0], "\\n\\n  v 2.0  \\nsecond line\\n");
  writeVersionTool(names[1], "crlf 1.0\\r\\nnext\\r\\n");
  writeVersionTool(names[2], "failing 3.1\\n", 4);
  writeVersionTool(names[3], "\\n\\n");
  EXPECT_EQ(versionOf(names[0]), "  v 2.0  ");
  EXPECT_EQ(versionOf(names[1]), "crlf 1.0");
  EXPECT_EQ(versionOf(names[2]), "failing 3.1");
  EXPECT_EQ(versionOf(names[3]), "");
}

TEST_F(InventoryTest, ProbeRunsInTheHelperEnvironmentAndNeedsUtf8) {
  const auto tool = freeTool();
  writeTool(tool, "echo \"$HOME\"");
  EXPECT_EQ(versionOf(tool), getenv("HOME"));
  const auto bad = freeTool(1);
  writeVersionTool(bad, "bad \\377\\376 version\\n");
  EXPECT_EQ(versionOf(bad), "");
}

TEST_F(InventoryTest, ProbesAgainOnlyWhenTheFileChanges) {
  const auto tool = freeTool();
  writeVersionTool(tool, "one\\n");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(newResolver()->toolVersion(bin() + "/" + tool), "one");
  EXPECT_EQ(probes(tool), 1);

  writeVersionTool(tool, "two\\n");
  const auto path = bin() + "/" + tool;
  struct timeval times[2] = {{1'700'000'000, 0}, {1'700'000'000, 500'000}};
  utimes(path.c_str(), times);
  EXPECT_EQ(versionOf(tool), "two");
  EXPECT_EQ(probes(tool), 2);
  auto cache = storedValue("ToolVersions");
  EXPECT_EQ(cache[path]["mtime"], 1'700'000'000.5);
  EXPECT_EQ(cache[path]["version"], "two");
}

TEST_F(InventoryTest, MalformedCacheMissesEverywhereAndIsReplaced) {
  const auto tool = freeTool();
  const auto path = bin() + "/" + tool;
  writeVersionTool(tool, "fresh\\n");
  ASSERT_TRUE(defaults_->setObject(
      "ToolVersions",
      Json{{path, {{"mtime", 0}, {"version", "stale"}}}, {"/other", "not a dictionary"}}));
  EXPECT_EQ(resolver().toolVersion(path), "fresh");
  EXPECT_EQ(probes(tool), 1);
  auto cache = storedValue("ToolVersions");
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache[path]["version"], "fresh");
}

TEST_F(InventoryTest, HangingProbeIsCutOffAndNotCached) {
  probeTimeout_ = 0.5;
  const auto hanging = freeTool();
  const auto fine = freeTool(1);
  writeTool(hanging, "echo >> '" + home_ + "/probes-" + hanging + "'; exec sleep 600");
  writeVersionTool(fine, "fine 1\\n");
  auto listed = inventory();
  EXPECT_EQ(listed.at(hanging).at("version"), "");
  EXPECT_EQ(listed.at(fine).at("version"), "fine 1");
  auto cache = storedValue("ToolVersions");
  EXPECT_FALSE(cache.contains(bin() + "/" + hanging));
  inventory();
  EXPECT_EQ(probes(hanging), 2);
}

// Inventories asked for while one is in progress share it rather than each
// taking a thread per tool; past kMaxInventoryWaiters they answer at once,
// empty.
TEST_F(InventoryTest, InventoriesAskedMeanwhileShareOneWithinABound) {
  const auto tool = freeTool();
  const std::string gate = home_ + "/gate";
  base::UniqueFd held(::open(gate.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  writeTool(tool, "echo >> '" + home_ + "/probes-" + tool + "'; flock -s '" + gate +
                      "' echo slow 1");
  std::vector<std::future<xpc::Inventory>> replies;
  auto ask = [&] {
    auto promise = std::make_shared<std::promise<xpc::Inventory>>();
    replies.push_back(promise->get_future());
    service().toolInventoryWithReply([promise](xpc::Inventory result) {
      promise->set_value(std::move(result));
    });
  };
  ask();
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       probes(tool) == 0 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (std::size_t i = 0; i < kMaxInventoryWaiters + 6; ++i) ask();
  for (std::size_t i = kMaxInventoryWaiters; i < replies.size(); ++i) {
    EXPECT_TRUE(replies[i].get().empty()) << i;
  }
  held.reset();
  for (std::size_t i = 0; i < kMaxInventoryWaiters; ++i) {
    EXPECT_EQ(replies[i].get().at(tool).at("version"), "slow 1") << i;
  }
  EXPECT_EQ(probes(tool), 1);
}

}  // namespace
}  // namespace zefra::tools::testing
