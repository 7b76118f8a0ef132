#include "platform/process/confined_runs.h"

#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

#include "base/no_destructor.h"
#include "platform/files/small_file.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {

namespace {

struct Marked {
  std::mutex mu;
  std::multiset<std::string, std::less<>> names;  // mu
};

Marked& marked() {
  static base::NoDestructor<Marked> instance;
  return instance.get();
}

// The unified hierarchy's line of /proc/<pid>/cgroup: "0::/a/b".
bool anyComponentMarked(std::string_view table, const Marked& marks) {
  for (std::size_t start = 0; start < table.size();) {
    std::size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    std::string_view line = table.substr(start, end - start);
    start = end + 1;
    if (!line.starts_with("0::")) continue;
    for (std::string_view path = line.substr(3); !path.empty();) {
      const std::size_t slash = path.find('/');
      if (marks.names.contains(path.substr(0, slash))) return true;
      path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
  }
  return false;
}

}  // namespace

ConfinedRunMark::ConfinedRunMark(std::string cgroupName) : name_(std::move(cgroupName)) {
  std::lock_guard lock(marked().mu);
  marked().names.insert(name_);
}

ConfinedRunMark::~ConfinedRunMark() {
  std::lock_guard lock(marked().mu);
  marked().names.erase(marked().names.find(name_));
}

bool inConfinedRun(const PeerProcess& peer) {
  {
    std::lock_guard lock(marked().mu);
    if (marked().names.empty()) return false;
  }
  auto table = readSmallFile(procPath(peer.pid, "cgroup"), std::numeric_limits<std::size_t>::max());
  // Read before the pin's check: a pid reused meanwhile reads as gone.
  if (!table || !stillRunning(peer)) return true;
  std::lock_guard lock(marked().mu);
  return anyComponentMarked(*table, marked());
}

}  // namespace zefra::platform
