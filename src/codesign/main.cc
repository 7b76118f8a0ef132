// zefra-codesign: signs executables and bundles, verifies them against a
// requirement, and displays what a signature says.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codesign/bundle_check.h"
#include "codesign/bundle_seal.h"
#include "codesign/signing.h"

namespace {

using namespace zefra::codesign;

constexpr const char* kUsage =
    "usage: zefra-codesign sign --key KEY.pem --cert CHAIN.pem --identifier ID PATH\n"
    "       zefra-codesign verify [--anchor ANCHOR.pem] [--identifier ID] [--team TEAM]\n"
    "                             [--requirement TEXT] [--bundle] [--ignore-time] PATH\n"
    "       zefra-codesign display [--anchor ANCHOR.pem] PATH\n"
    "PATH is an executable or a .app bundle directory.\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "zefra-codesign: %s\n", message.c_str());
  return 1;
}

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> flags;
  std::string path;
  bool has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
  }
  std::optional<std::string> get(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  }
};

std::optional<Arguments> parse(int argc, char** argv, const std::vector<std::string>& valued,
                               const std::vector<std::string>& boolean) {
  Arguments args;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (std::find(valued.begin(), valued.end(), word) != valued.end()) {
      if (i + 1 >= argc || args.options.count(word)) return std::nullopt;
      args.options[word] = argv[++i];
    } else if (std::find(boolean.begin(), boolean.end(), word) != boolean.end()) {
      args.flags.push_back(word);
    } else if (word.starts_with("--") || !args.path.empty()) {
      return std::nullopt;
    } else {
      args.path = word;
    }
  }
  if (args.path.empty()) return std::nullopt;
  return args;
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

Result<TrustAnchor> anchorFor(const Arguments& args) {
  if (auto path = args.get("--anchor")) return TrustAnchor::fromFile(*path);
  return TrustAnchor::compiled();
}

int sign(const Arguments& args) {
  auto key = args.get("--key");
  auto chain = args.get("--cert");
  auto identifier = args.get("--identifier");
  if (!key || !chain || !identifier) return usage();
  auto identity = SigningIdentity::load(*key, *chain);
  if (!identity) return fail(identity.error().message);
  Status signedOk = isDirectory(args.path) ? signBundle(args.path, *identity, *identifier)
                                           : signExecutable(args.path, *identity, *identifier);
  if (!signedOk) return fail(args.path + ": " + signedOk.error().message);
  return 0;
}

int verify(const Arguments& args) {
  auto anchor = anchorFor(args);
  if (!anchor) return fail(anchor.error().message);
  CodeRequirement requirement;
  if (auto text = args.get("--requirement")) {
    auto parsed = parseRequirement(*text);
    if (!parsed) return fail(parsed.error().message);
    requirement = *parsed;
  }
  if (auto id = args.get("--identifier")) requirement.identifier = *id;
  if (auto team = args.get("--team")) requirement.teamIdentifier = *team;
  VerifyOptions options =
      args.has("--ignore-time") ? VerifyOptions::forPeers() : VerifyOptions::forUpdates();

  Result<SigningInfo> info = Error{};
  if (args.has("--bundle") || isDirectory(args.path)) {
    info = verifyBundle(args.path, requirement, *anchor, options);
  } else {
    info = verifyExecutable(args.path, *anchor, options);
    if (info) {
      if (auto met = checkRequirement(*info, requirement); !met) info = met.error();
    }
  }
  if (!info) return fail(args.path + ": " + info.error().message);
  std::printf("%s: valid, identifier %s, team %s\n", args.path.c_str(), info->identifier.c_str(),
              info->teamIdentifier.value_or("(none)").c_str());
  return 0;
}

int display(const Arguments& args) {
  std::string executable = args.path;
  if (isDirectory(args.path)) {
    auto layout = readBundleLayout(args.path);
    if (!layout) return fail(layout.error().message);
    executable = layout->executable;
  }
  auto description = describeSignature(executable);
  if (!description) return fail(executable + ": " + description.error().message);
  const SignedPayload& payload = description->payload;
  std::printf("Executable: %s\n", executable.c_str());
  std::printf("Identifier: %s\n", payload.identifier.c_str());
  std::printf("Team: %s\n", description->teamIdentifier.value_or("(none)").c_str());
  std::printf("Code: %llu bytes, SHA-256 %s%s\n",
              static_cast<unsigned long long>(payload.codeLength),
              ossl::hex(payload.codeHash).c_str(),
              description->codeMatches ? "" : " (does not match the file)");
  if (payload.resourceSeal) {
    std::printf("Resource seal: SHA-256 %s\n", ossl::hex(*payload.resourceSeal).c_str());
  }
  // The verified chain reaches the anchor; otherwise show what is carried.
  std::vector<std::string> chain = description->chainSubjects;
  std::string verdict;
  if (auto anchor = anchorFor(args); !anchor) {
    verdict = "not checked (" + anchor.error().message + ")";
  } else if (auto info = verifyExecutable(executable, *anchor, VerifyOptions::forUpdates())) {
    verdict = "valid under " + anchor->subject();
    chain = info->chainSubjects;
  } else {
    verdict = info.error().message;
  }
  std::printf("Chain:\n");
  for (const std::string& subject : chain) std::printf("  %s\n", subject.c_str());
  std::printf("Signature: %s\n", verdict.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "sign") {
    auto args = parse(argc, argv, {"--key", "--cert", "--identifier"}, {});
    return args ? sign(*args) : usage();
  }
  if (command == "verify") {
    auto args = parse(argc, argv, {"--anchor", "--identifier", "--team", "--requirement"},
                      {"--bundle", "--ignore-time"});
    return args ? verify(*args) : usage();
  }
  if (command == "display") {
    auto args = parse(argc, argv, {"--anchor"}, {});
    return args ? display(*args) : usage();
  }
  return usage();
}
