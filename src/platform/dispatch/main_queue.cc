#include "platform/dispatch/main_queue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <optional>

#include "base/no_destructor.h"

namespace zefra::platform {

struct MainQueue::Impl {
  asio::io_context context{1};
  // Keeps run() serving while nothing is queued.
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{
      context.get_executor()};
};

MainQueue::MainQueue() : impl_(std::make_shared<Impl>()) {}

MainQueue& MainQueue::shared() {
  static base::NoDestructor<MainQueue> queue;
  return queue.get();
}

void MainQueue::async(Work work) {
  asio::post(impl_->context, std::move(work));
}

void MainQueue::asyncAfter(double seconds, Work work) {
  auto timer = std::make_shared<asio::steady_timer>(
      impl_->context, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(seconds)));
  timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
    if (!error) work();
  });
}

void MainQueue::run() {
  impl_->context.run();
}

void MainQueue::stop() {
  impl_->context.stop();
}

asio::io_context& MainQueue::context() {
  return impl_->context;
}

}  // namespace zefra::platform
