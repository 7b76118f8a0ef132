#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>

#include "tools/helper_version.h"
#include "tools/tool_fixture.h"

namespace zefra::tools::testing {
namespace {

using Json = nlohmann::json;

// What the helper says of itself and of the tools it finds.
TEST(HelperVersion, PingAnswersTheShortVersionStringOrOnePointZero) {
  for (const Json& info :
       {Json::object(), Json{{"CFBundleVersion", "7"}}, Json{{"CFBundleShortVersionString", 2.5}},
        Json{{"CFBundleShortVersionString", 2}}, Json{{"CFBundleShortVersionString", nullptr}},
        Json::array()}) {
    EXPECT_EQ(versionFromInfoDictionary(info), "1.0") << info;
  }
  EXPECT_EQ(versionFromInfoDictionary(Json{{"CFBundleShortVersionString", " 2.0 beta "}}),
            " 2.0 beta ");
}

class InventoryTest : public ToolFixture {
 protected:
  xpc::Inventory inventory() {
    std::promise<xpc::Inventory> promise;
    service().toolInventoryWithReply([&](xpc::Inventory result) { promise.set_value(result); });
    return promise.get_future().get();
  }
  // A stand-in whose --version prints `printf` and counts its probes.
  void writeVersionTool(const std::string& name, const std::string& printf, int status = 0) {
    writeTool(name, "echo >> '" + home_ + "/probes-" + name + "'\nprintf '" + printf + "'\nexit " +
                        std::to_string(status));
  }
  int probes(const std::string& name) { return lineCount(home_ + "/probes-" + name); }
  std::string versionOf(const std::string& name) {
    const auto entry = inventory().at(name);
    EXPECT_EQ(entry.at("path"), bin() + "/" + name);
    return entry.at("version");
  }
};

// The first non-empty line, as it is, whatever the status; the probe runs in
// the helper's environment, and output that is not UTF-8 is no version.
TEST_F(InventoryTest, VersionIsTheFirstNonEmptyLine) {
  const struct {
    std::string printf;
    int status;
    std::string version;
  } rows[] = {
      {"\\n\\n  v 2.0  \\nsecond line\\n", 0, "  v 2.0  "},
      {"crlf 1.0\\r\\nnext\\r\\n", 0, "crlf 1.0"},
      {"failing 3.1\\n", 4, "failing 3.1"},
      {"\\n\\n", 0, ""},
      {"bad \\377\\376 version\\n", 0, ""},
      {"%s\\n' \"$HOME\" '", 0, getenv("HOME")},
  };
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    writeVersionTool(freeTool(i), rows[i].printf, rows[i].status);
  }
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    EXPECT_EQ(versionOf(freeTool(i)), rows[i].version) << rows[i].printf;
  }
}

// The cache is keyed by path and modification time, shared by connections;
// a malformed one misses everywhere and is replaced.
TEST_F(InventoryTest, ProbesAgainOnlyWhenTheFileChanges) {
  const auto tool = freeTool();
  const auto path = bin() + "/" + tool;
  const auto entry = [](const char* version) {
    return Json{{"mtime", 1'700'000'000.5}, {"version", version}};
  };
  writeVersionTool(tool, "one\\n");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(versionOf(tool), "one");
  EXPECT_EQ(newResolver()->toolVersion(path), "one");
  EXPECT_EQ(probes(tool), 1);
  struct timeval times[2] = {{1'700'000'000, 0}, {1'700'000'000, 500'000}};
  writeVersionTool(tool, "two\\n");
  utimes(path.c_str(), times);
  EXPECT_EQ(versionOf(tool), "two");
  EXPECT_EQ(probes(tool), 2);
  EXPECT_EQ(stored("ToolVersions")[path], entry("two"));

  ASSERT_TRUE(defaults_->setObject("ToolVersions", Json{{path, entry("stale")}, {"/other", 1}}));
  EXPECT_EQ(newResolver()->toolVersion(path), "two");
  EXPECT_EQ(probes(tool), 3);
  EXPECT_EQ(stored("ToolVersions"), (Json{{path, entry("two")}}));
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
  EXPECT_FALSE(stored("ToolVersions").contains(bin() + "/" + hanging));
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
  writeTool(tool,
            "echo >> '" + home_ + "/probes-" + tool + "'; flock -s '" + gate + "' echo slow 1");
  std::vector<std::future<xpc::Inventory>> replies;
  auto ask = [&] {
    auto promise = std::make_shared<std::promise<xpc::Inventory>>();
    replies.push_back(promise->get_future());
    service().toolInventoryWithReply(
        [promise](xpc::Inventory result) { promise->set_value(std::move(result)); });
  };
  ask();
  ASSERT_TRUE(zefra::testing::eventually([&] { return probes(tool) > 0; }));
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
