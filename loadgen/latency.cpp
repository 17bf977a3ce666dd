#include "loadgen/latency.h"

#include <algorithm>
#include <cmath>

namespace loadgen {
namespace {

// `sorted` must not be empty.
double percentile_ms(const std::vector<std::int64_t>& sorted, double fraction) {
  const auto rank = static_cast<std::size_t>(
      std::ceil(fraction * static_cast<double>(sorted.size())));
  const std::size_t index = std::clamp<std::size_t>(rank, 1, sorted.size()) - 1;
  return static_cast<double>(sorted[index]) / 1e6;
}

}  // namespace

std::int64_t nanoseconds_since(std::chrono::steady_clock::time_point begin) {
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

latency_summary summarize_latencies(std::vector<std::int64_t> samples_ns) {
  if (samples_ns.empty()) return {};
  std::sort(samples_ns.begin(), samples_ns.end());
  return {percentile_ms(samples_ns, 0.50), percentile_ms(samples_ns, 0.99),
          percentile_ms(samples_ns, 0.999)};
}

}  // namespace loadgen
