#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zefra::tools {

// The run IDs cancelled before their run launched, kept until that run
// launches, within bounds of count and bytes: past them the oldest are
// forgotten (a cancel that came long before its run most likely names a run
// that already ended or never comes). Not thread-safe.
class RememberedCancels {
 public:
  RememberedCancels(std::size_t maxCount, std::size_t maxBytes)
      : maxCount_(maxCount), maxBytes_(maxBytes) {}

  // False when something had to be forgotten for it (this ID itself, when it
  // alone is beyond the bytes).
  bool remember(std::string runID);
  // Forgets `runID`; true when it was remembered.
  bool take(const std::string& runID);

  std::size_t count() const { return order_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  void forgetOldest();

  const std::size_t maxCount_;
  const std::size_t maxBytes_;
  std::list<std::string> order_;  // oldest first
  std::unordered_map<std::string_view, std::list<std::string>::iterator> index_;
  std::size_t bytes_ = 0;
};

}  // namespace zefra::tools
