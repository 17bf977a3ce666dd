// The standard mutex and condition variable, wrapped with clang's
// thread-safety attributes so that a clang build with -Wthread-safety checks
// every lock's use: members marked GUARDED_BY(m) touched only with m held,
// functions marked REQUIRES(m) called only with it held. Under other
// compilers these are the standard classes and cost nothing more.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "port/thread_annotations.h"

namespace port {

class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class condition_variable;
  std::mutex mutex_;
};

// Holds a mutex from its construction to its destruction; unlock() and
// lock() let go of it and take it again in between.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(mutex& held) ACQUIRE(held) : mutex_(held) {
    mutex_.lock();
  }
  ~mutex_lock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  mutex& mutex_;
  bool held_ = true;
};

// A condition variable for port::mutex. Waiting lets go of the mutex and
// takes it again before returning, maybe without a notification: callers
// wait in a loop on their condition.
class condition_variable {
 public:
  void wait(mutex& held) REQUIRES(held) {
    std::unique_lock<std::mutex> lock(held.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }

  // As wait(), returning timeout once `deadline` has passed.
  template <typename clock, typename duration>
  std::cv_status wait_until(
      mutex& held, const std::chrono::time_point<clock, duration>& deadline)
      REQUIRES(held) {
    std::unique_lock<std::mutex> lock(held.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_until(lock, deadline);
    lock.release();
    return status;
  }

  void notify_one() { condition_.notify_one(); }
  void notify_all() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace port
