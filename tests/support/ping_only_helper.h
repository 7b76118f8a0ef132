#pragma once

#include <optional>
#include <string>
#include <vector>

#include "xpc/protocol.h"

namespace zefra::testing {

// The helper's protocol with nothing behind it: ping answers "1.0", every
// other call the emptiest answer it has, at once. For what is tested or
// measured around the calls (admission, transport), not in them.
class PingOnlyHelper : public xpc::ZefraHelperProtocol {
 public:
  bool offers(xpc::Selector) const override { return true; }
  void pingWithReply(xpc::PingReply reply) override { reply("1.0"); }
  void toolInventoryWithReply(xpc::InventoryReply reply) override { reply({}); }
  void runWithRunID(std::string, std::string, std::vector<std::string>, std::optional<base::Bytes>,
                    std::optional<std::string>, xpc::Environment, xpc::RunReply reply) override {
    reply(base::Bytes(), base::Bytes(), 0);
  }
  void runWithOptions(std::string, std::string, std::vector<std::string>,
                      std::optional<base::Bytes>, std::optional<std::string>, xpc::Environment,
                      xpc::RunOptions, xpc::RunOutput, xpc::RunOutcomeReply reply) override {
    xpc::RunOutcome outcome;
    outcome.exitStatus = 0;
    reply(std::move(outcome));
  }
  void cancelWithRunID(std::string) override {}
  void prepareForUpdateWithReply(xpc::PrepareReply reply) override { reply(true); }
  void installUpdateFromZipAt(std::string, xpc::InstallReply reply) override { reply(false, ""); }
};

}  // namespace zefra::testing
