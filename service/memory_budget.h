// One budget for the memory that all connections together hold for received
// lines and uploads, parsed pictures and answers. Work takes memory from it
// before allocating and gives it back after freeing; work that does not fit
// waits until memory is freed, so no mix of clients can take more than the
// budget.
//
// Waiting work could deadlock: uploads that each hold part of the budget
// while they wait for more. So the oldest holder (the account that has held
// memory the longest without interruption) may always grow to the most one
// job may hold: younger accounts are granted memory only while the free
// memory stays above what the oldest may still need. When the oldest gives
// everything back, all of it is free again, which is at least what the next
// oldest may still need, so there is always one account that can finish.
//
// Small jobs (a command line, a short answer) share a slice of the budget
// that large ones may not touch, so that a fresh client's `list` is answered
// at once while large uploads fill the rest.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>

#include "port/mutex.h"

class memory_account;

class memory_budget {
 public:
  // A job asked for more than one job may hold. The service answers
  // "ERROR(LIMIT)" and closes the connection.
  class limit_error {};
  // A job waited for memory longer than it may; the connection is closed.
  class timeout_error {};

  // `capacity` bytes in all; one job holds at most `largest_job` bytes; a job
  // holding at most `small_job` bytes may also use the slice of
  // `small_reserve` bytes kept from larger jobs. Needs
  // largest_job + small_reserve <= capacity.
  memory_budget(std::size_t capacity, std::size_t largest_job,
                std::size_t small_job, std::size_t small_reserve);
  memory_budget(const memory_budget&) = delete;
  memory_budget& operator=(const memory_budget&) = delete;

  // A budget of `capacity` bytes, with the service's shares of it for the
  // largest job and for small jobs.
  explicit memory_budget(std::size_t capacity);

  // The budget for this machine: 1 GiB, or a quarter of the physical memory
  // where that is less.
  static std::size_t machine_capacity();

  std::size_t capacity() const { return capacity_; }
  std::size_t largest_job() const { return largest_job_; }
  // Bytes held by all accounts together.
  std::size_t used() const EXCLUDES(mutex_);

 private:
  friend class memory_account;

  // Whether `account` may take `bytes` more now.
  bool fits(const memory_account& account, std::size_t bytes) const
      REQUIRES(mutex_);
  // Waits while `bytes` do not fit; a wait of a second or more is logged.
  void take(memory_account& account, std::size_t bytes,
            std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);
  // Gives `bytes` to `account`.
  void hand_out(memory_account& account, std::size_t bytes) REQUIRES(mutex_);
  // Logs a wait for `bytes` that lasted `waited`, when long enough to tell;
  // `used` is what all accounts held once it ended.
  void log_long_wait(std::chrono::steady_clock::duration waited,
                     std::size_t bytes, std::size_t used, bool granted) const
      EXCLUDES(mutex_);
  void give_back(memory_account& account, std::size_t bytes) EXCLUDES(mutex_);

  const std::size_t capacity_;
  const std::size_t largest_job_;
  const std::size_t small_job_;
  const std::size_t small_reserve_;

  // Guards the state below and what accounts hold.
  mutable port::mutex mutex_;
  port::condition_variable freed_;  // signalled whenever memory is given back
  std::size_t used_ GUARDED_BY(mutex_) = 0;
  std::uint64_t next_ticket_ GUARDED_BY(mutex_) = 0;
  // Accounts holding memory, by the ticket each drew when it began to hold:
  // the first is the oldest.
  std::map<std::uint64_t, const memory_account*> holders_ GUARDED_BY(mutex_);
};

// The memory one connection holds, taken from a budget. Used by the
// connection's own thread only; gives everything back when destroyed.
class memory_account {
 public:
  // Waits for memory at most `longest_wait` at a time.
  memory_account(memory_budget& budget,
                 std::chrono::steady_clock::duration longest_wait);
  ~memory_account();
  memory_account(const memory_account&) = delete;
  memory_account& operator=(const memory_account&) = delete;

  // Takes `bytes` more, waiting while they do not fit. Throws limit_error
  // when the account would hold more than one job may, timeout_error when
  // the wait lasts longer than allowed; either way nothing is taken.
  void take(std::size_t bytes);
  // Gives back `bytes` (at most what is held).
  void give_back(std::size_t bytes);
  // Holds exactly `bytes` from now on, taking or giving back the difference.
  void hold(std::size_t bytes);

  std::size_t held() const EXCLUDES(budget_.mutex_);

 private:
  friend class memory_budget;

  // Tells the analysis that the budget's mutex is held: the budget calls it,
  // holding its mutex, before it touches what the account holds.
  void assert_budget_locked() const ASSERT_CAPABILITY(budget_.mutex_) {}

  memory_budget& budget_;
  const std::chrono::steady_clock::duration longest_wait_;
  std::size_t held_ GUARDED_BY(budget_.mutex_) = 0;
  // Valid while held_ > 0.
  std::uint64_t ticket_ GUARDED_BY(budget_.mutex_) = 0;
};
