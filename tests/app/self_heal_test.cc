// The self-probe over real sockets: which service names it dials, in what
// order, and when it says the registration answers.
#include "app/self_heal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

enum class Peer { kNobody, kServes, kRefuses, kSilent };

class ProbeTest : public ::testing::Test {
 protected:
  // `name` served as the helper serves it, or refusing every peer (each
  // recording which name the peer dialled), or held by a socket that never
  // accepts.
  void hold(const char* name, Peer peer) {
    if (peer == Peer::kSilent) {
      silent_.push_back(zefra::testing::listenWithoutAccepting(runtime_ + "/" + name));
    }
    if (peer != Peer::kServes && peer != Peer::kRefuses) return;
    auto listener = ipc::Listener::open(
        name,
        [this, name, refuse = peer == Peer::kRefuses](ipc::ServerConnection& connection) {
          std::lock_guard lock(mu_);
          dialled_.push_back(name);
          if (refuse) return false;
          connection.setExportedInterface(xpc::makeHelperInterface());
          connection.setExportedObject(xpc::makeExportedObject(tools::ToolService::create()));
          return true;
        },
        ipc::ListenerOptions(runtime_));
    ASSERT_TRUE(listener) << listener.error().message;
    listeners_.push_back(std::move(listener).value());
  }

  zefra::testing::TempDir temp_;  // private, as a runtime directory must be
  const std::string runtime_ = temp_.path();
  const ipc::ConnectOptions options_{runtime_};
  std::mutex mu_;
  std::vector<std::string> dialled_;
  std::vector<std::unique_ptr<ipc::Listener>> listeners_;
  std::vector<base::UniqueFd> silent_;
};

// The first name that answers decides, and the second is dialled only when
// the first does not; a silent name costs its whole time-out.
TEST_F(ProbeTest, TheFirstNameThatAnswersDecides) {
  using enum Peer;
  const struct {
    Peer first, second;
    bool answers;
    std::vector<std::string> dialled;
    double atLeast;  // seconds
  } rows[] = {
      {kServes, kServes, true, {kFirst}, 0},
      {kSilent, kServes, true, {kSecond}, kProbeTimeout},
      {kNobody, kNobody, false, {}, 0},
      {kRefuses, kRefuses, false, {kFirst, kSecond}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    listeners_.clear();
    silent_.clear();
    dialled_.clear();
    for (auto name : {kFirst, kSecond}) std::filesystem::remove(runtime_ + "/" + name);
    hold(kFirst, row.first);
    hold(kSecond, row.second);
    auto answered = std::make_shared<std::promise<bool>>();
    const auto started = std::chrono::steady_clock::now();
    machServiceAnswers([answered](bool yes) { answered->set_value(yes); }, options_);
    auto future = answered->get_future();
    ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(future.get(), row.answers);
    EXPECT_GE(took.count(), row.atLeast);
    std::lock_guard lock(mu_);
    EXPECT_EQ(dialled_, row.dialled);
  }
}

}  // namespace
}  // namespace zefra::app
