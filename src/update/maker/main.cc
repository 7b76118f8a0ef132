// zefra-make-update: builds the signed update archive that the helper
// installs, from a built bundle.
#include <cstdio>
#include <cstring>
#include <string>

#include "update/update_archive.h"

namespace {

constexpr char kUsage[] =
    "usage: zefra-make-update --key KEY.pem --cert CHAIN.pem [--version V]\n"
    "                         [--short-version S] [--name NAME.app] BUNDLE.app UPDATE.zip\n"
    "Copies BUNDLE.app, sets the versions given, signs the copy and zips it.\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  zefra::update::UpdateArchiveOptions options;
  std::string positional[2];
  int positionals = 0;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* given = nullptr;
    if (word == "--key" && (given = value())) {
      options.keyPath = given;
    } else if (word == "--cert" && (given = value())) {
      options.chainPath = given;
    } else if (word == "--version" && (given = value())) {
      options.version = given;
    } else if (word == "--short-version" && (given = value())) {
      options.shortVersion = given;
    } else if (word == "--name" && (given = value())) {
      options.nameInArchive = given;
    } else if (word == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (word.starts_with("--") || positionals == 2) {
      return usage();
    } else {
      positional[positionals++] = word;
    }
  }
  if (positionals != 2 || options.keyPath.empty() || options.chainPath.empty()) return usage();
  options.bundlePath = positional[0];
  options.archivePath = positional[1];
  if (auto made = zefra::update::makeUpdateArchive(options); !made) {
    std::fprintf(stderr, "zefra-make-update: %s\n", made.error().message.c_str());
    return 1;
  }
  return 0;
}
