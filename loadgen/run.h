// One timed run: the busy connections, each on a thread of its own, sending
// requests back to back until the duration is over or an answer is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loadgen/options.h"
#include "loadgen/workload.h"

namespace loadgen {

struct run_result {
  std::size_t requests = 0;
  std::size_t bytes = 0;  // sent and received, all connections together
  double seconds = 0;     // from the start to the last answer
  std::vector<std::int64_t> latencies_ns;
};

// Opens the connections, starts them together and waits for all of them.
// Throws failure with the first wrong answer or failed connection.
run_result run_load(const settings& options, workload& work);

}  // namespace loadgen
