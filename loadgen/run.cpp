#include "loadgen/run.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>

#include "client/connection.h"
#include "loadgen/failure.h"
#include "loadgen/latency.h"

namespace loadgen {
namespace {

using clock = std::chrono::steady_clock;

// What the connection threads share during a run.
class run_state {
 public:
  explicit run_state(int connections) : connected_(connections) {}

  // Called by each connection once it is connected (or failed to); waits
  // until the run starts and returns its deadline.
  clock::time_point connected_and_wait_for_start() {
    connected_.count_down();
    started_.wait();
    return deadline_;
  }

  // Called by the main thread: waits until every connection is ready, then
  // starts the run; returns the start time.
  clock::time_point start(std::chrono::duration<double> duration) {
    connected_.wait();
    const clock::time_point now = clock::now();
    deadline_ = now + std::chrono::duration_cast<clock::duration>(duration);
    started_.count_down();
    return now;
  }

  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

  // Stops every connection; the first reason given is kept.
  void fail(const std::string& reason) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!reason_) reason_ = reason;
    stopped_.store(true, std::memory_order_relaxed);
  }

  const std::optional<std::string>& reason() const { return reason_; }

 private:
  std::latch connected_;
  std::latch started_{1};
  clock::time_point deadline_;  // written before started_ opens
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;  // guards reason_
  std::optional<std::string> reason_;
};

struct connection_result {
  std::size_t bytes = 0;
  std::vector<std::int64_t> latencies_ns;
  clock::time_point finished;
};

void drive(const settings& options, workload& work, std::size_t index,
           run_state& state, connection_result& result) {
  std::optional<client::connection> peer;
  try {
    peer.emplace(connect_to_service(options));
  } catch (const failure& reason) {
    state.fail(reason.message());
  }
  const clock::time_point deadline = state.connected_and_wait_for_start();
  try {
    for (std::size_t n = 0; peer && !state.stopped() && clock::now() < deadline;
         ++n) {
      const clock::time_point begin = clock::now();
      result.bytes +=
          work.exchange(*peer, request_kind_at(options.kind, index + n));
      result.latencies_ns.push_back(nanoseconds_since(begin));
    }
  } catch (const failure& reason) {
    state.fail(reason.message());
  }
  result.finished = clock::now();
}

}  // namespace

run_result run_load(const settings& options, workload& work) {
  const auto count = static_cast<std::size_t>(options.connections);
  run_state state(options.connections);
  std::vector<connection_result> results(count);
  std::vector<std::jthread> threads;
  threads.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    threads.emplace_back(drive, std::cref(options), std::ref(work), i,
                         std::ref(state), std::ref(results[i]));
  const clock::time_point start =
      state.start(std::chrono::duration<double>(options.duration_s));
  threads.clear();  // joins
  if (state.reason()) throw failure(*state.reason());

  run_result total;
  clock::time_point last = start;
  for (connection_result& one : results) {
    total.bytes += one.bytes;
    total.latencies_ns.insert(total.latencies_ns.end(),
                              one.latencies_ns.begin(), one.latencies_ns.end());
    last = std::max(last, one.finished);
  }
  total.requests = total.latencies_ns.size();
  total.seconds = std::chrono::duration<double>(last - start).count();
  return total;
}

}  // namespace loadgen
