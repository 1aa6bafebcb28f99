#include "engine/helper_thread.h"

#include <system_error>
#include <utility>

namespace ledgerly::engine {

HelperThread::HelperThread() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread: post() runs each job on the caller's thread.
  }
}

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  posted_.notify_one();
  thread_.join();
}

void HelperThread::settle(std::unique_lock<std::mutex>& lock) {
  finished_.wait(lock, [this] { return !job_; });
  if (error_) std::rethrow_exception(error_);
}

void HelperThread::post(std::function<void()> job) {
  if (!thread_.joinable()) {
    job();
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    settle(lock);
    job_ = std::move(job);
  }
  posted_.notify_one();
}

void HelperThread::wait() {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  settle(lock);
}

void HelperThread::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    posted_.wait(lock, [this] { return job_ || stop_; });
    if (!job_) return;
    lock.unlock();
    std::exception_ptr error;
    try {
      job_();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error) error_ = error;
    job_ = nullptr;
    finished_.notify_all();
  }
}

}  // namespace ledgerly::engine
