// Request latencies of a run, summed up as percentiles.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace loadgen {

// Nanoseconds from `begin` to now.
std::int64_t nanoseconds_since(std::chrono::steady_clock::time_point begin);

struct latency_summary {
  double p50_ms = 0;
  double p99_ms = 0;
  double p999_ms = 0;
};

// Nearest-rank percentiles of latencies given in nanoseconds: the smallest
// sample that at least that fraction of all samples do not exceed. All zero
// when there are no samples.
latency_summary summarize_latencies(std::vector<std::int64_t> samples_ns);

}  // namespace loadgen
