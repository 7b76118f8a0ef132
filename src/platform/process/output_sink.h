#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/bytes.h"
#include "platform/dispatch/wakeup.h"

namespace zefra::platform {

// The numbers of a child's output streams, as their descriptors.
inline constexpr int kStandardOutputStream = 1;
inline constexpr int kStandardErrorStream = 2;

// Where a child's output goes while it runs, instead of being kept. A plain
// chunk handler converts to it.
struct OutputSink {
  OutputSink() = default;
  template <class F>
  requires std::is_invocable_v<F&, int, Bytes> &&
      (!std::is_same_v<std::remove_cvref_t<F>, OutputSink>)OutputSink(F&& onChunk)
      : deliver(std::forward<F>(onChunk)) {}

  // Each read's bytes with their stream (kStandardOutputStream or
  // kStandardErrorStream), in order within each stream. Must not block long:
  // the reader waits for it.
  std::function<void(int stream, Bytes chunk)> deliver;
  // True while so much that was delivered still waits to go on that nothing
  // more should be read; `wake` is notified once that may have changed.
  // Unset: never.
  std::function<bool(const std::shared_ptr<Wakeup>& wake)> congested;
};

}  // namespace zefra::platform
