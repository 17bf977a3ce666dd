// The password budget: how many failed password comparisons each client may
// make. One candidate compared costs one; it comes back when the candidate
// passes, and one more comes back every `refill`, up to `burst`. A client
// that guesses gets `burst` guesses at once and then one per `refill`; a
// client that mistypes now and then never notices.
//
// A budget is kept as the moment it is whole again, which moves forward by
// `refill` for each comparison taken: one number per client, and a client
// whose moment has passed needs none. The table holds at most `clients`
// clients, in shards of its own locks chosen by a hash keyed at random, so
// that clients far apart do not wait for each other and nobody can choose
// addresses that crowd one shard. When a shard is full, its clients whose
// budget is whole again are forgotten first, then those whose budget will
// be whole again soonest, an eighth of the shard at once: forgetting a
// client gives it a whole budget, so the clients forgotten are those that
// would soon have one anyway, and a client cannot be freed of a spent budget
// by a flood of new addresses that each spend less. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "port/mutex.h"
#include "service/client_address.h"

class password_budget {
 public:
  using clock = std::chrono::steady_clock;
  // The time now; tests give a clock of their own.
  using time_source = std::function<clock::time_point()>;

  struct limits {
    // Comparisons a client with a whole budget may make at once.
    int burst = 32;
    // The time after which one comparison comes back.
    clock::duration refill = std::chrono::seconds(1);
    // The most clients tracked at once.
    std::size_t clients = 65536;
  };

  // How often a spent budget is logged per client, at most.
  static constexpr std::chrono::minutes log_interval{1};

  enum class verdict {
    compare,    // one comparison taken
    spent,      // none left
    spent_log,  // none left, and not logged for this client for a while
  };

  explicit password_budget(limits limits, time_source now = clock::now);
  password_budget(const password_budget&) = delete;
  password_budget& operator=(const password_budget&) = delete;

  // Takes one comparison from `client`'s budget when it has one left.
  // Throws std::bad_alloc when a new client cannot be tracked.
  verdict take(const budget_key& client);
  // Gives back the comparison that take() took for a candidate that passed.
  void give_back(const budget_key& client);

  // Clients tracked now.
  std::size_t tracked() const;

 private:
  struct standing {
    // When the budget is whole again; at or before now it is whole.
    clock::time_point whole_at;
    // When a spent budget was last logged.
    clock::time_point logged_at;
  };
  struct key_hash {
    std::uint64_t seed;
    std::size_t operator()(const budget_key& key) const;
  };
  using table = std::unordered_map<budget_key, standing, key_hash>;
  struct alignas(64) shard {
    explicit shard(const key_hash& hash) : clients(0, hash) {}
    mutable port::mutex mutex;
    table clients GUARDED_BY(mutex);
  };

  shard& shard_of(const budget_key& client);
  // Forgets clients of the full shard `place` so that more fit.
  void make_room(shard& place, clock::time_point now) const
      REQUIRES(place.mutex);

  const limits limits_;
  const time_source now_;
  const key_hash hash_;
  const std::size_t shard_capacity_;
  std::vector<std::unique_ptr<shard>> shards_;
};
