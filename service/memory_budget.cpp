#include "service/memory_budget.h"

#include <unistd.h>

#include <algorithm>

#include "service/log.h"

namespace {

constexpr std::size_t mib = 1024 * 1024;

// The process's budget is at most this, and at most this share of the
// machine's physical memory.
constexpr std::size_t process_budget_bytes = 1024 * mib;
constexpr std::size_t physical_memory_share = 4;  // a quarter

// The most one job holds at once. The largest honest job, a 64 MiB upload
// hiding a 4 MiB secret, peaks below 200 MiB.
constexpr std::size_t largest_job_bytes = 256 * mib;

// A job holding at most this much counts as small (a command line and its
// read-ahead buffer, a short answer), and small jobs keep this share of the
// budget to themselves.
constexpr std::size_t small_job_bytes = 256 * 1024;
constexpr std::size_t small_reserve_share = 16;

// A wait for memory at least this long is logged: the budget is holding
// clients back.
constexpr std::chrono::seconds logged_wait{1};

std::size_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return SIZE_MAX;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
}

}  // namespace

memory_budget::memory_budget(std::size_t capacity, std::size_t largest_job,
                             std::size_t small_job, std::size_t small_reserve)
    : capacity_(capacity),
      largest_job_(largest_job),
      small_job_(small_job),
      small_reserve_(small_reserve) {}

memory_budget::memory_budget(std::size_t capacity)
    : memory_budget(capacity,
                    std::min(largest_job_bytes,
                             capacity - capacity / small_reserve_share),
                    small_job_bytes, capacity / small_reserve_share) {}

std::size_t memory_budget::machine_capacity() {
  return std::min(process_budget_bytes,
                  physical_memory() / physical_memory_share);
}

std::size_t memory_budget::used() const {
  port::mutex_lock lock(mutex_);
  return used_;
}

bool memory_budget::fits(const memory_account& account,
                         std::size_t bytes) const {
  if (bytes > capacity_ - used_) return false;
  if (holders_.empty() || holders_.begin()->second == &account) return true;
  // What the oldest holder may still need stays free, and large jobs also
  // leave the small jobs' slice alone.
  const memory_account& oldest = *holders_.begin()->second;
  oldest.assert_budget_locked();
  account.assert_budget_locked();
  std::size_t keep = largest_job_ - oldest.held_;
  if (account.held_ + bytes > small_job_) keep += small_reserve_;
  return capacity_ - used_ - bytes >= keep;
}

void memory_budget::take(memory_account& account, std::size_t bytes,
                         std::chrono::steady_clock::time_point deadline) {
  port::mutex_lock lock(mutex_);
  if (fits(account, bytes)) {
    hand_out(account, bytes);
    return;
  }
  const auto waiting_since = std::chrono::steady_clock::now();
  bool granted = false;
  for (bool timed_out = false; !granted && !timed_out;) {
    timed_out = freed_.wait_until(mutex_, deadline) == std::cv_status::timeout;
    granted = fits(account, bytes);
  }
  if (granted) hand_out(account, bytes);
  const std::size_t used = used_;
  lock.unlock();
  log_long_wait(std::chrono::steady_clock::now() - waiting_since, bytes, used,
                granted);
  if (!granted) throw timeout_error{};
}

void memory_budget::hand_out(memory_account& account, std::size_t bytes) {
  account.assert_budget_locked();
  if (account.held_ == 0) {
    account.ticket_ = next_ticket_++;
    holders_.emplace(account.ticket_, &account);
  }
  account.held_ += bytes;
  used_ += bytes;
}

void memory_budget::log_long_wait(std::chrono::steady_clock::duration waited,
                                  std::size_t bytes, std::size_t used,
                                  bool granted) const {
  if (waited < logged_wait) return;
  log_line(log_level::warn, "memory_wait")
      .field(
          "waited_ms",
          std::chrono::duration_cast<std::chrono::milliseconds>(waited).count())
      .field("bytes", bytes)
      .field("budget_used_bytes", used)
      .field("budget_bytes", capacity_)
      .field("outcome", granted ? "granted" : "gave_up")
      .write();
}

void memory_budget::give_back(memory_account& account, std::size_t bytes) {
  {
    port::mutex_lock lock(mutex_);
    account.assert_budget_locked();
    bytes = std::min(bytes, account.held_);
    if (bytes == 0) return;
    account.held_ -= bytes;
    used_ -= bytes;
    if (account.held_ == 0) holders_.erase(account.ticket_);
  }
  freed_.notify_all();
}

memory_account::memory_account(memory_budget& budget,
                               std::chrono::steady_clock::duration longest_wait)
    : budget_(budget), longest_wait_(longest_wait) {}

memory_account::~memory_account() { budget_.give_back(*this, SIZE_MAX); }

void memory_account::take(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes > budget_.largest_job() - held())
    throw memory_budget::limit_error{};
  budget_.take(*this, bytes, std::chrono::steady_clock::now() + longest_wait_);
}

void memory_account::give_back(std::size_t bytes) {
  budget_.give_back(*this, bytes);
}

void memory_account::hold(std::size_t bytes) {
  const std::size_t now = held();
  if (bytes > now)
    take(bytes - now);
  else
    give_back(now - bytes);
}

std::size_t memory_account::held() const {
  port::mutex_lock lock(budget_.mutex_);
  return held_;
}
