// HelperThread: one job at a time on a thread of its own, so that a caller
// can overlap the input or output of one buffer with its work on another.
//
// Contract:
//  - post(job) waits until the job posted before it has finished, then
//    hands `job` to the thread and returns at once; wait() waits until the
//    posted job has finished.  Each rethrows, on the caller's thread, an
//    exception that a job threw; after that, no further job runs.
//  - What a job touches must not be touched by the caller until the next
//    post() or wait() returns: those returns are the hand-back points (the
//    lock they take orders the job's effects before the caller's reads).
//  - When the thread cannot be started, post() runs the job itself: the
//    results are the same, without the overlap.
//  - The destructor lets a running job finish and joins the thread; no
//    thread outlives the object.
#ifndef LEDGERLY_ENGINE_HELPER_THREAD_H_
#define LEDGERLY_ENGINE_HELPER_THREAD_H_

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace ledgerly::engine {

class HelperThread {
 public:
  HelperThread();
  ~HelperThread();
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  void post(std::function<void()> job);
  void wait();

 private:
  void run();
  // With `lock` held: waits for the running job, rethrows its exception.
  void settle(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable posted_;
  std::condition_variable finished_;
  std::function<void()> job_;  // the posted job, empty once finished
  std::exception_ptr error_;
  bool stop_ = false;
  std::thread thread_;  // last: started once the rest is ready
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_HELPER_THREAD_H_
