#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "service/quarn.h"

namespace {

// Longest stored password putpic accepts, and the longest candidate getpic
// compares against it (twice the stored length plus 16).
constexpr std::size_t stored_length = 4096;
constexpr std::size_t candidate_length = 2 * stored_length + 16;

std::string random_bytes(std::mt19937& random, std::size_t length) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text(length, '\0');
  for (char& c : text) c = static_cast<char>(byte(random));
  return text;
}

// Every byte value occurs in both texts, so every candidate byte advances the
// whole row: the slowest case for these lengths.
void check_psw_longest_pair(benchmark::State& state) {
  std::mt19937 random(42);
  const std::string stored = random_bytes(random, stored_length);
  const std::string candidate = random_bytes(random, candidate_length);
  for (auto _ : state) benchmark::DoNotOptimize(check_psw(candidate, stored));
}
BENCHMARK(check_psw_longest_pair)->Unit(benchmark::kMicrosecond);

}  // namespace
