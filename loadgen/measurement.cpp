#include "loadgen/measurement.h"

#include <algorithm>
#include <utility>

#include "client/connection.h"
#include "loadgen/failure.h"
#include "loadgen/latency.h"
#include "loadgen/workload.h"

namespace loadgen {
namespace {

using clock = std::chrono::steady_clock;

// How often resident memory and CPU time are read.
constexpr std::chrono::milliseconds resource_period{50};

// Longest wait for the service to go idle after its set-up.
constexpr std::chrono::seconds setup_settle_limit{60};

}  // namespace

list_sample sample_list_once(const std::string& host, int port) {
  const clock::time_point begin = clock::now();
  try {
    client::connection peer(host, std::to_string(port),
                            {.wait_limit = list_wait});
    peer.set_deadline(begin + list_wait);
    list_exchange(peer);
    return {list_sample::result::answered, nanoseconds_since(begin)};
  } catch (const timed_out&) {
    return {list_sample::result::no_answer, nanoseconds_since(begin)};
  } catch (const failure&) {
    return {list_sample::result::closed, nanoseconds_since(begin)};
  }
}

list_summary summarize_list_samples(const std::vector<list_sample>& samples) {
  list_summary summary;
  summary.samples = samples.size();
  std::vector<std::int64_t> waits_ns;
  for (const list_sample& sample : samples) {
    switch (sample.what) {
      case list_sample::result::answered:
        ++summary.answered;
        waits_ns.push_back(sample.ns);
        break;
      case list_sample::result::no_answer:
        ++summary.no_answer;
        waits_ns.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(list_wait)
                .count());
        break;
      case list_sample::result::closed:
        ++summary.closed;
        break;
    }
  }
  if (!waits_ns.empty())
    summary.max_ms = static_cast<double>(
                         *std::max_element(waits_ns.begin(), waits_ns.end())) /
                     1e6;
  summary.p99_ms = summarize_latencies(std::move(waits_ns)).p99_ms;
  return summary;
}

measurement::measurement(int pid, std::string host, int port,
                         std::chrono::seconds settle_limit)
    : service_(pid),
      host_(std::move(host)),
      port_(port),
      settle_limit_(settle_limit) {}

measurement::~measurement() = default;

void measurement::begin() {
  service_.wait_until_idle(setup_settle_limit);
  peak_reset_ = service_.reset_peak();
  cpu_at_begin_ = service_.cpu_seconds();
  written_at_begin_ = service_.written_bytes();
  resource_sampler_ =
      std::jthread([this](std::stop_token stop) { sample_resources(stop); });
  list_sampler_ =
      std::jthread([this](std::stop_token stop) { sample_list(stop); });
}

service_cost measurement::end() {
  service_cost cost;
  cost.still_busy = !service_.wait_until_idle(settle_limit_);
  list_sampler_ = {};  // stops and joins
  resource_sampler_ = {};
  cost.running = service_.running();
  // A process that has ended and been reaped leaves no figures: the last
  // sample stands in for them.
  std::optional<double> cpu = service_.cpu_seconds();
  if (!cpu) cpu = last_cpu_seconds_;
  if (cpu && cpu_at_begin_) cost.cpu_seconds = *cpu - *cpu_at_begin_;
  // VmHWM covers the set-up too unless it could be reset at the begin.
  if (peak_reset_) cost.peak_kib = service_.peak_resident_kib();
  if (!cost.peak_kib && sampled_peak_kib_ > 0) {
    cost.peak_kib = sampled_peak_kib_;
    cost.peak_from_samples = true;
  }
  cost.end_kib = service_.resident_kib();
  const auto written = service_.written_bytes();
  if (written && written_at_begin_)
    cost.written_bytes = *written - *written_at_begin_;
  cost.list = summarize_list_samples(list_samples_);
  return cost;
}

void measurement::sample_resources(std::stop_token stop) {
  while (!stop.stop_requested()) {
    if (const auto resident = service_.resident_kib())
      sampled_peak_kib_ = std::max(sampled_peak_kib_, *resident);
    if (const auto cpu = service_.cpu_seconds()) last_cpu_seconds_ = cpu;
    std::this_thread::sleep_for(resource_period);
  }
}

void measurement::sample_list(std::stop_token stop) {
  while (!stop.stop_requested()) {
    const clock::time_point begin = clock::now();
    list_samples_.push_back(sample_list_once(host_, port_));
    std::this_thread::sleep_until(begin + list_period);
  }
}

}  // namespace loadgen
