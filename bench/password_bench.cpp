// The password check and getpic's candidate loop against the longest stored
// password, with the candidates a hostile getpic line can carry.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "net/limits.h"
#include "service/password.h"

namespace {

// Longest stored password putpic accepts, and the longest candidate getpic
// compares against it.
constexpr std::size_t stored_length = max_password_bytes;
constexpr std::size_t candidate_length =
    2 * stored_length + candidate_slack_bytes;
// The longest getpic line holds this many bytes of candidates and blanks.
constexpr std::size_t line_bytes = max_line_bytes;

std::string random_bytes(std::mt19937& random, std::size_t length) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text(length, '\0');
  for (char& c : text) c = static_cast<char>(byte(random));
  return text;
}

// One random pair of the longest lengths; every byte value occurs in both.
void check_psw_longest_pair(benchmark::State& state) {
  std::mt19937 random(42);
  const std::string stored = random_bytes(random, stored_length);
  const std::string candidate = random_bytes(random, candidate_length);
  for (auto _ : state) benchmark::DoNotOptimize(check_psw(candidate, stored));
}
BENCHMARK(check_psw_longest_pair)->Unit(benchmark::kMicrosecond);

// A stored password whose first byte occurs nowhere else in it; no byte is a
// blank or a line feed, which a getpic line cannot carry inside a word.
std::string stored_password() {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string stored(1, '\0');
  while (stored.size() < stored_length) {
    const char c = static_cast<char>(byte(random));
    if (c != ' ' && c != '\n') stored.push_back(c);
  }
  return stored;
}

// As many candidates of `length` bytes as fill one getpic line with a blank
// after each.
std::vector<std::string> line_of(const std::string& candidate) {
  return std::vector<std::string>(line_bytes / (candidate.size() + 1),
                                  candidate);
}

// The costliest candidates: every byte occurs in the stored password, so
// every byte advances the whole row, and the common subsequence stays one
// byte short of the threshold to the end, so no candidate passes or can be
// given up early: the first three quarters of the password less one byte,
// then its first byte, which matches nothing after them, over and over.
std::vector<std::string> costliest_line(const std::string& stored) {
  const std::size_t just_short = (3 * stored.size() + 3) / 4 - 1;
  std::string candidate = stored.substr(0, just_short);
  candidate.resize(candidate_length, stored[0]);
  return line_of(candidate);
}

void getpic_line(benchmark::State& state,
                 std::vector<std::string> (*line)(const std::string&)) {
  const std::string stored = stored_password();
  const std::vector<std::string> candidates = line(stored);
  for (auto _ : state) {
    if (any_candidate_passes(stored, candidates))
      state.SkipWithError("a candidate passed");
  }
  state.counters["candidates"] = static_cast<double>(candidates.size());
}

std::vector<std::string> one_byte_line(const std::string& stored) {
  return line_of(stored.substr(1, 1));
}

// "getpic ID" followed by four million blanks.
std::vector<std::string> empty_line(const std::string&) {
  return std::vector<std::string>(4'000'000);
}

BENCHMARK_CAPTURE(getpic_line, costliest_candidates, costliest_line)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(getpic_line, one_byte_candidates, one_byte_line)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(getpic_line, empty_candidates, empty_line)
    ->Unit(benchmark::kMillisecond);

}  // namespace
