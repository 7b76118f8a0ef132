// The peer check of a connection from a signed 5 MB client.
//
// The program signs a copy of itself, padded to 5 MiB before the block,
// under a throw-away anchor and re-executes that copy, so that a connection
// it makes to its own listener comes from a signed 5 MB client (objcopy
// strips the debug information first when it is there).
//
//   BM_HashFileAndVerifyCms  baseline: SHA-256 of the file plus one CMS check
//   BM_FirstCheck            the full check with an empty verdict cache
//   BM_AcceptUnchecked       connect + accept, nothing checked
//   BM_AcceptCachedCheck     connect + accept + the check, verdict cached
//
// Goals: FirstCheck <= 1.3 x HashFileAndVerifyCms; AcceptCachedCheck less
// than 50 us above AcceptUnchecked.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "codesign/peer_code_checker.h"
#include "codesign/signature_block.h"
#include "platform/process/peer_process.h"
#include "platform/socket/stream_connect.h"
#include "support/codesign_fixture.h"

namespace {

using namespace zefra;
namespace ossl = codesign::ossl;
using base::UniqueFd;

constexpr std::size_t kClientSize = 5 * 1024 * 1024;
constexpr const char* kSignedEnv = "ZEFRA_BENCH_SIGNED_DIR";

struct Setup {
  std::string dir;
  std::string client;  // the running, signed executable
  std::unique_ptr<codesign::TrustAnchor> anchor;
  std::unique_ptr<testing::Listener> listener;
  std::unique_ptr<codesign::PeerCodeChecker> checker;
  codesign::SignedImage image;  // payload and CMS for the baseline
  ossl::X509StorePtr baselineStore;
};

Setup& setup() {
  static Setup instance;
  return instance;
}

bool trusted(int fd) {
  auto info = setup().checker->check(fd);
  return info && info->teamIdentifier == testing::kTeam;
}

void BM_HashFileAndVerifyCms(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    UniqueFd fd(::open(s.client.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    ::fstat(fd.get(), &st);
    auto digest = ossl::sha256OfFd(fd.get(), static_cast<std::uint64_t>(st.st_size));
    benchmark::DoNotOptimize(digest);
    const auto* der = reinterpret_cast<const unsigned char*>(s.image.cms.data());
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(s.image.cms.size())));
    ossl::BioPtr content(
        BIO_new_mem_buf(s.image.payload.data(), static_cast<int>(s.image.payload.size())));
    if (CMS_verify(cms.get(), nullptr, s.baselineStore.get(), content.get(), nullptr, CMS_BINARY) !=
        1) {
      state.SkipWithError("baseline CMS does not verify");
      break;
    }
  }
}

void BM_FirstCheck(benchmark::State& state) {
  Setup& s = setup();
  UniqueFd client = testing::take(platform::connectStream(s.listener->path()));
  UniqueFd accepted = s.listener->accept();
  for (auto _ : state) {
    s.checker->clearCache();
    if (!trusted(accepted.get())) {
      state.SkipWithError("refused");
      break;
    }
  }
}

void BM_AcceptUnchecked(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    UniqueFd client = testing::take(platform::connectStream(s.listener->path()));
    UniqueFd accepted = s.listener->accept();
    benchmark::DoNotOptimize(accepted.get());
  }
}

void BM_AcceptCachedCheck(benchmark::State& state) {
  Setup& s = setup();
  {
    UniqueFd client = testing::take(platform::connectStream(s.listener->path()));
    UniqueFd accepted = s.listener->accept();
    if (!trusted(accepted.get())) state.SkipWithError("refused");
  }
  std::size_t verifiedBefore = s.checker->stats().verified;
  for (auto _ : state) {
    UniqueFd client = testing::take(platform::connectStream(s.listener->path()));
    UniqueFd accepted = s.listener->accept();
    if (!trusted(accepted.get())) {
      state.SkipWithError("refused");
      break;
    }
  }
  // Should stay 0: every check in the loop was answered from the cache.
  state.counters["verified"] = static_cast<double>(s.checker->stats().verified - verifiedBefore);
}

BENCHMARK(BM_HashFileAndVerifyCms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AcceptUnchecked)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AcceptCachedCheck)->Unit(benchmark::kMicrosecond);

// Writes the signed, padded copy of this program and the anchor into a
// fresh directory; returns the directory.
std::string prepareSignedCopy() {
  char pattern[] = "/tmp/zefra-bench-XXXXXX";
  if (!::mkdtemp(pattern)) testing::die("mkdtemp");
  std::string dir = pattern;
  auto root = testing::issue(testing::caSpec("Bench Root"));
  auto leaf = testing::issue({}, &root);
  // Without its debug information this program is well under 5 MiB; the
  // padding before the block brings it to exactly that.
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string stripped = dir + "/stripped";
  std::string output;
  std::string source =
      testing::run({"objcopy", "--strip-debug", self, stripped}, &output) == 0 ? stripped : self;
  std::string bytes = testing::readFile(source);
  if (bytes.size() < kClientSize) bytes.resize(kClientSize, '\0');
  testing::writeFile(dir + "/client", bytes);
  auto status = codesign::signExecutable(dir + "/client", leaf.identity(), "com.ovak.zefra.client");
  if (!status) throw std::runtime_error(status.error().message);
  testing::writeFile(dir + "/anchor.pem", root.certPem(), 0644);
  return dir;
}

void prepareRun(const std::string& dir) {
  Setup& s = setup();
  s.dir = dir;
  s.client = dir + "/client";
  auto anchor = codesign::TrustAnchor::fromFile(dir + "/anchor.pem");
  if (!anchor) throw std::runtime_error(anchor.error().message);
  s.anchor = std::make_unique<codesign::TrustAnchor>(std::move(anchor.value()));
  s.checker = std::make_unique<codesign::PeerCodeChecker>(*s.anchor);
  s.listener = std::make_unique<testing::Listener>(dir + "/socket");
  UniqueFd fd(::open(s.client.c_str(), O_RDONLY | O_CLOEXEC));
  auto image = codesign::readSignedImage(fd.get());
  if (!image) throw std::runtime_error(image.error().message);
  s.image = std::move(image.value());
  s.baselineStore.reset(X509_STORE_new());
  auto certs = ossl::readCertificates(testing::readFile(dir + "/anchor.pem"));
  X509_STORE_add_cert(s.baselineStore.get(), certs.value()[0].get());
  X509_STORE_set_purpose(s.baselineStore.get(), X509_PURPOSE_ANY);
  // Verdicts are cached only for files older than the racy window.
  std::this_thread::sleep_for(
      std::chrono::duration<double>(codesign::PeerCodeChecker::kRacySeconds + 0.2));
  std::printf("client: %s, %zu bytes\n", s.client.c_str(), s.image.fileSize);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* dir = ::getenv(kSignedEnv)) {
    prepareRun(dir);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    setup().listener.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
  }
  std::string dir = prepareSignedCopy();
  ::setenv(kSignedEnv, dir.c_str(), 1);
  std::string client = dir + "/client";
  ::execv(client.c_str(), argv);
  std::perror("execv");
  return 1;
}
