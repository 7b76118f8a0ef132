#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/result.h"
#include "codesign/openssl_util.h"

namespace zefra::codesign {

// A parsed anchor with its certificate stores, built once and shared.
class TrustAnchor {
 public:
  // Exactly one self-signed CA certificate.
  static Result<TrustAnchor> fromPem(std::string_view pem);
  static Result<TrustAnchor> fromFile(const std::string& path);
  // The anchor compiled into this build; nothing at run time changes it.
  static const Result<TrustAnchor>& compiled();

  std::string subject() const;

  struct State {
    ossl::X509Ptr cert;
    ossl::X509StorePtr peerStore;     // validity time ignored
    ossl::X509StorePtr currentStore;  // checked at the time of each call
  };
  const State& state() const { return *state_; }

 private:
  explicit TrustAnchor(std::shared_ptr<const State> state) : state_(std::move(state)) {}
  std::shared_ptr<const State> state_;
};

enum class TimePolicy { kIgnoreValidity, kCurrentTime, kAtTime };

struct VerifyOptions {
  TimePolicy time = TimePolicy::kCurrentTime;
  std::int64_t atTime = 0;  // seconds since the epoch, with kAtTime

  static VerifyOptions forPeers() { return {TimePolicy::kIgnoreValidity, 0}; }
  static VerifyOptions forUpdates() { return {TimePolicy::kCurrentTime, 0}; }
  static VerifyOptions at(std::int64_t seconds) { return {TimePolicy::kAtTime, seconds}; }
};

// A store holding only the anchor, checking chains for code signing under
// the options' time policy.
Result<ossl::X509StorePtr> makeTrustStore(X509* anchor, const VerifyOptions& options);

}  // namespace zefra::codesign
