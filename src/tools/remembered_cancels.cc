#include "tools/remembered_cancels.h"

#include <utility>

namespace zefra::tools {

bool RememberedCancels::remember(std::string runID) {
  if (index_.contains(runID)) return true;
  if (runID.size() > maxBytes_ || maxCount_ == 0) return false;
  bool forgot = false;
  while (!order_.empty() && (order_.size() >= maxCount_ || bytes_ + runID.size() > maxBytes_)) {
    forgetOldest();
    forgot = true;
  }
  bytes_ += runID.size();
  order_.push_back(std::move(runID));
  auto last = std::prev(order_.end());
  index_.emplace(std::string_view(*last), last);
  return !forgot;
}

bool RememberedCancels::take(const std::string& runID) {
  auto found = index_.find(runID);
  if (found == index_.end()) return false;
  auto entry = found->second;
  index_.erase(found);
  bytes_ -= entry->size();
  order_.erase(entry);
  return true;
}

void RememberedCancels::forgetOldest() {
  index_.erase(std::string_view(order_.front()));
  bytes_ -= order_.front().size();
  order_.pop_front();
}

}  // namespace zefra::tools
