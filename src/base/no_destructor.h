#pragma once

#include <utility>

namespace zefra::base {

// Holds a process-wide object that is never destroyed, so threads still
// running while exit() runs static destructors never see it torn down.
template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) : value_(std::forward<Args>(args)...) {}
  ~NoDestructor() {}
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& get() { return value_; }
  const T& get() const { return value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace zefra::base
