// What one hostile scenario costs the service, measured from outside: CPU
// time and bytes written between the end of the scenario's set-up and the
// moment the service is idle again, peak and final resident memory, and the
// latency of a fresh client's list, sampled every 50 ms meanwhile. One
// measurement per scenario, used by the thread that runs the scenario.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loadgen/process_watch.h"

namespace loadgen {

// Longest a fresh client's list waits for its connection and its answer;
// past it the sample counts as no answer, with this as its latency.
constexpr std::chrono::seconds list_wait{10};
// Time from the start of one list sample to the start of the next, unless
// the first takes longer.
constexpr std::chrono::milliseconds list_period{50};

struct list_sample {
  enum class result { answered, closed, no_answer };
  result what = result::answered;
  std::int64_t ns = 0;  // from the connect to the answer or the failure
};

struct list_summary {
  std::size_t samples = 0;
  std::size_t answered = 0;
  std::size_t closed = 0;  // refused, closed or answered wrongly
  std::size_t no_answer = 0;
  // Over the answered samples and those without an answer, the latter
  // counted as list_wait: a lower bound of their latency.
  double max_ms = 0;
  double p99_ms = 0;
};

// One fresh client's list: connect, ask, read the answer, within list_wait.
list_sample sample_list_once(const std::string& host, int port);

list_summary summarize_list_samples(const std::vector<list_sample>& samples);

struct service_cost {
  std::optional<double> cpu_seconds;
  bool still_busy = false;  // the service had not gone idle when measured
  std::optional<std::uint64_t> peak_kib;
  // VmHWM was not available or could not be reset after the set-up.
  bool peak_from_samples = false;
  std::optional<std::uint64_t> end_kib;
  std::optional<std::uint64_t> written_bytes;
  bool running = false;
  list_summary list;
};

class measurement {
 public:
  // `settle_limit` bounds the wait for the service to go idle at the end.
  measurement(int pid, std::string host, int port,
              std::chrono::seconds settle_limit);
  ~measurement();
  measurement(const measurement&) = delete;
  measurement& operator=(const measurement&) = delete;

  // Waits until the service is idle after the set-up, then starts the
  // measurement and its sampling threads.
  void begin();
  // Waits until the service is idle (at most the settle limit), stops the
  // sampling and takes the figures. Call once, after begin.
  service_cost end();

  const process_watch& service() const { return service_; }

 private:
  void sample_resources(std::stop_token stop);
  void sample_list(std::stop_token stop);

  process_watch service_;
  std::string host_;
  int port_;
  std::chrono::seconds settle_limit_;
  bool peak_reset_ = false;
  std::optional<double> cpu_at_begin_;
  std::optional<std::uint64_t> written_at_begin_;

  // Written by the sampling threads only, read after they are joined.
  std::uint64_t sampled_peak_kib_ = 0;
  std::optional<double> last_cpu_seconds_;
  std::vector<list_sample> list_samples_;

  std::jthread resource_sampler_;  // last members: joined first
  std::jthread list_sampler_;
};

}  // namespace loadgen
