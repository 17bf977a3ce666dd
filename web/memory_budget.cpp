#include "web/memory_budget.h"

#include <utility>

namespace web {

void memory_budget::take(std::size_t bytes, std::size_t held) {
  if (bytes > capacity_ - std::min(held, capacity_)) throw exhausted();
  std::unique_lock lock(mutex_);
  if (!freed_.wait_for(lock, longest_wait_,
                       [&] { return bytes <= capacity_ - used_; }))
    throw exhausted();
  used_ += bytes;
}

void memory_budget::give_back(std::size_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    used_ -= bytes;
  }
  freed_.notify_all();
}

held_memory::held_memory(held_memory&& other) noexcept
    : budget_(other.budget_), held_(std::exchange(other.held_, 0)) {}

held_memory::~held_memory() { keep_only(0); }

void held_memory::take(std::size_t bytes) {
  budget_->take(bytes, held_);
  held_ += bytes;
}

void held_memory::keep_only(std::size_t bytes) {
  if (held_ <= bytes) return;
  budget_->give_back(held_ - bytes);
  held_ = bytes;
}

}  // namespace web
