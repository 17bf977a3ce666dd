#include "service/password_budget.h"

#include <algorithm>
#include <random>

namespace {

// Clients per shard when the table is large: a full shard is searched
// whole for the clients to forget, under its lock.
constexpr std::size_t clients_per_shard = 1024;
constexpr std::size_t most_shards = 64;

// A full shard forgets this share of its clients at once (at least one), so
// that a flood of new clients costs a search of the shard once for every so
// many of them, not for each.
constexpr std::size_t forgotten_share = 8;

std::size_t shard_count(std::size_t clients) {
  return std::clamp<std::size_t>(clients / clients_per_shard, 1, most_shards);
}

std::uint64_t random_seed() {
  std::random_device entropy;
  return std::uint64_t{entropy()} << 32 | entropy();
}

// splitmix64's finaliser: every bit of the result depends on every bit of
// `x`.
std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

}  // namespace

std::size_t password_budget::key_hash::operator()(const budget_key& key) const {
  return mix(mix(key.bits ^ seed) + key.ipv6);
}

password_budget::password_budget(limits limits, time_source now)
    : limits_(limits),
      now_(std::move(now)),
      hash_{random_seed()},
      shard_capacity_(std::max<std::size_t>(
          1, limits.clients / shard_count(limits.clients))) {
  const std::size_t shards = shard_count(limits.clients);
  shards_.reserve(shards);
  for (std::size_t i = 0; i < shards; ++i)
    shards_.push_back(std::make_unique<shard>(hash_));
}

password_budget::shard& password_budget::shard_of(const budget_key& client) {
  // The high half of the hash: the tables use the low bits for buckets.
  return *shards_[(hash_(client) >> 32) % shards_.size()];
}

password_budget::verdict password_budget::take(const budget_key& client) {
  const clock::time_point now = now_();
  shard& place = shard_of(client);
  const port::mutex_lock lock(place.mutex);
  auto found = place.clients.find(client);
  if (found == place.clients.end()) {
    if (place.clients.size() >= shard_capacity_) make_room(place, now);
    found =
        place.clients.emplace(client, standing{now, clock::time_point::min()})
            .first;
  }
  standing& budget = found->second;
  const clock::time_point after =
      std::max(budget.whole_at, now) + limits_.refill;
  if (after - now <= limits_.burst * limits_.refill) {
    budget.whole_at = after;
    return verdict::compare;
  }
  if (budget.logged_at + log_interval > now) return verdict::spent;
  budget.logged_at = now;
  return verdict::spent_log;
}

void password_budget::give_back(const budget_key& client) {
  const clock::time_point now = now_();
  shard& place = shard_of(client);
  const port::mutex_lock lock(place.mutex);
  const auto found = place.clients.find(client);
  if (found == place.clients.end()) return;
  standing& budget = found->second;
  budget.whole_at -= limits_.refill;
  // A client that spends nothing needs no place in the table.
  if (budget.whole_at <= now && budget.logged_at + log_interval <= now)
    place.clients.erase(found);
}

void password_budget::make_room(shard& place, clock::time_point now) const {
  table& clients = place.clients;
  std::vector<clock::time_point> whole_at;
  whole_at.reserve(clients.size());
  for (const auto& [client, budget] : clients)
    whole_at.push_back(budget.whole_at);
  const auto last_forgotten =
      whole_at.begin() +
      static_cast<std::ptrdiff_t>(
          std::max<std::size_t>(1, shard_capacity_ / forgotten_share) - 1);
  std::nth_element(whole_at.begin(), last_forgotten, whole_at.end());
  const clock::time_point forget_until = std::max(*last_forgotten, now);
  std::erase_if(clients, [forget_until](const auto& entry) {
    return entry.second.whole_at <= forget_until;
  });
}

std::size_t password_budget::tracked() const {
  std::size_t count = 0;
  for (const auto& place : shards_) {
    const port::mutex_lock lock(place->mutex);
    count += place->clients.size();
  }
  return count;
}
