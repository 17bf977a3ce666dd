// The password budget's table: what an honest getpic from a counted client
// pays (one comparison taken and given back), what a spent client's refusal
// costs, a flood of new clients into a full table, and the memory of a full
// table.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <memory>

#include "service/password_budget.h"

namespace {

constexpr std::size_t table_clients = password_budget::limits{}.clients;

password_budget& shared_budget() {
  static password_budget budget(password_budget::limits{});
  return budget;
}

// An IPv4 client of its own for each benchmark thread.
budget_key client_of_thread(int thread) {
  return {0xc0000200u + static_cast<std::uint64_t>(thread), false};
}

// A candidate that passes: taken before the comparison, given back after.
// Threads are clients of their own, as honest clients are.
void budget_honest_candidate(benchmark::State& state) {
  password_budget& budget = shared_budget();
  const budget_key client = client_of_thread(state.thread_index());
  for (auto _ : state) {
    benchmark::DoNotOptimize(budget.take(client));
    budget.give_back(client);
  }
}
BENCHMARK(budget_honest_candidate)->Threads(1)->Threads(2)->Threads(8);

// A client whose budget is spent, refused candidate after candidate.
void budget_spent_candidate(benchmark::State& state) {
  password_budget& budget = shared_budget();
  const budget_key client = client_of_thread(1000 + state.thread_index());
  while (budget.take(client) == password_budget::verdict::compare) {
  }
  for (auto _ : state) benchmark::DoNotOptimize(budget.take(client));
}
BENCHMARK(budget_spent_candidate)->Threads(1)->Threads(2);

// New IPv6 networks, one failed comparison each, into a table kept full.
void budget_new_client_in_a_full_table(benchmark::State& state) {
  password_budget budget(password_budget::limits{});
  std::uint64_t network = 0x20010db800000000;
  for (std::size_t i = 0; i < table_clients; ++i)
    budget.take({network++, true});
  for (auto _ : state) benchmark::DoNotOptimize(budget.take({network++, true}));
  state.counters["tracked"] = static_cast<double>(budget.tracked());
}
BENCHMARK(budget_new_client_in_a_full_table);

// Heap bytes in use, mapped blocks included.
std::size_t heap_in_use() {
  const struct mallinfo2 heap = ::mallinfo2();
  return heap.uordblks + heap.hblkhd;
}

// The heap a table of 65,536 clients holds, in all and per client.
void budget_memory_of_a_full_table(benchmark::State& state) {
  for (auto _ : state) {
    const std::size_t before = heap_in_use();
    auto budget = std::make_unique<password_budget>(password_budget::limits{});
    for (std::uint64_t i = 0; i < table_clients; ++i)
      budget->take({0x0a000000 + i, false});
    const std::size_t held = heap_in_use() - before;
    state.counters["bytes"] = static_cast<double>(held);
    state.counters["bytes_per_client"] =
        static_cast<double>(held) / static_cast<double>(budget->tracked());
  }
}
BENCHMARK(budget_memory_of_a_full_table)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
