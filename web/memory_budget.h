// One budget for the memory of all conversions in flight in quarn-web: form
// bodies as they arrive, pictures fetched from the service, the steps that
// convert them, and the PNGs that are being sent or kept for the next
// request. Each request holds its memory in a held_memory, which takes from
// the budget before each step allocates (the client library tells it how
// much) and gives everything back when it goes.
//
// A take that does not fit waits up to timing::room_wait for memory that
// others give back, then throws exhausted: the request is answered 503. A
// take that could never fit, past the whole budget, throws at once. Every
// wait ends, so requests that each hold part of the budget and wait for
// more block each other at most that long.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "client/memory.h"

namespace web {

class memory_budget {
 public:
  // Memory did not come within the wait: the request gets 503.
  class exhausted {};

  memory_budget(std::size_t capacity, std::chrono::milliseconds longest_wait)
      : capacity_(capacity), longest_wait_(longest_wait) {}
  memory_budget(const memory_budget&) = delete;
  memory_budget& operator=(const memory_budget&) = delete;

  std::size_t capacity() const { return capacity_; }

 private:
  friend class held_memory;

  // Takes `bytes` for a holder that holds `held` already; throws exhausted.
  void take(std::size_t bytes, std::size_t held);
  void give_back(std::size_t bytes);

  const std::size_t capacity_;
  const std::chrono::milliseconds longest_wait_;
  std::mutex mutex_;               // guards used_
  std::condition_variable freed_;  // signalled when memory is given back
  std::size_t used_ = 0;
};

// The memory one request holds from a budget, given back when the holder
// goes. It may move into what outlives the request's handler (the PNG it
// sends). Used by one thread at a time.
class held_memory {
 public:
  explicit held_memory(memory_budget& budget) : budget_(&budget) {}
  held_memory(held_memory&& other) noexcept;
  held_memory& operator=(held_memory&&) = delete;
  ~held_memory();

  // Takes `bytes` more; throws memory_budget::exhausted, holding what it
  // held before.
  void take(std::size_t bytes);
  // Gives back what it holds past `bytes`.
  void keep_only(std::size_t bytes);
  // A function that takes what it is told, for the client library.
  client::reserve_memory reserve() {
    return [this](std::size_t bytes) { take(bytes); };
  }

 private:
  memory_budget* budget_;
  std::size_t held_ = 0;
};

}  // namespace web
