// The self-probe over real sockets.
#include "app/self_heal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <mutex>

#include "ipc/listener.h"
#include "support/listening_socket.h"
#include "support/temp_dir.h"
#include "tools/tool_service.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace zefra::app {
namespace {

using namespace std::chrono_literals;
constexpr const char* kFirst = "group.com.ovak.zefra.helper";
constexpr const char* kSecond = "K4T9QZ2M7B.com.ovak.zefra.helper";

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = temp_.path() + "/runtime";
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    options_.runtimeDirectory = runtime_;
  }
  // Serves `name` as the helper does, or refuses every peer; records which
  // socket each peer dialled.
  std::unique_ptr<ipc::Listener> serve(const char* name, bool refuse = false) {
    ipc::ListenerOptions options;
    options.runtimeDirectory = runtime_;
    auto listener = ipc::Listener::open(
        name,
        [this, name, refuse](ipc::ServerConnection& connection) {
          {
            std::lock_guard lock(mu_);
            dialled_.push_back(name);
          }
          if (refuse) return false;
          connection.setExportedInterface(xpc::makeHelperInterface());
          connection.setExportedObject(xpc::makeExportedObject(tools::ToolService::create()));
          return true;
        },
        options);
    EXPECT_TRUE(listener) << listener.error().message;
    return std::move(listener).value();
  }
  base::UniqueFd silent(const char* name) {
    return zefra::testing::listenWithoutAccepting(runtime_ + "/" + name);
  }
  // The probe's answer and how long it took.
  std::pair<bool, double> probe() {
    auto answered = std::make_shared<std::promise<bool>>();
    const auto started = std::chrono::steady_clock::now();
    machServiceAnswers([answered](bool yes) { answered->set_value(yes); }, options_);
    auto future = answered->get_future();
    EXPECT_EQ(future.wait_for(60s), std::future_status::ready);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    return {future.get(), took.count()};
  }
  std::vector<std::string> dialled() {
    std::lock_guard lock(mu_);
    return dialled_;
  }

  zefra::testing::TempDir temp_;
  std::string runtime_;
  ipc::ConnectOptions options_;
  std::mutex mu_;
  std::vector<std::string> dialled_;
};

TEST_F(ProbeTest, FirstNameAnswersAndTheSecondIsNeverDialled) {
  auto first = serve(kFirst);
  auto second = serve(kSecond);
  EXPECT_TRUE(probe().first);
  EXPECT_EQ(dialled(), std::vector<std::string>{kFirst});
}

TEST_F(ProbeTest, SilentFirstNameTimesOutAndTheSecondAnswers) {
  auto first = silent(kFirst);
  auto second = serve(kSecond);
  auto [answered, seconds] = probe();
  EXPECT_TRUE(answered);
  EXPECT_GE(seconds, kProbeTimeout);
  EXPECT_EQ(dialled(), std::vector<std::string>{kSecond});
}

TEST_F(ProbeTest, NothingAnswersWhenNobodyServesOrEveryPeerIsRefused) {
  EXPECT_FALSE(probe().first);
  auto first = serve(kFirst, true);
  auto second = serve(kSecond, true);
  auto [answered, seconds] = probe();
  EXPECT_FALSE(answered);
  EXPECT_EQ(dialled(), (std::vector<std::string>{kFirst, kSecond}));
  // Both silent: two time-outs, one after the other.
  first.reset();
  second.reset();
  auto silentFirst = silent(kFirst);
  auto silentSecond = silent(kSecond);
  std::tie(answered, seconds) = probe();
  EXPECT_FALSE(answered);
  EXPECT_GE(seconds, 2 * kProbeTimeout);
}

}  // namespace
}  // namespace zefra::app
