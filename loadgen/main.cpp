// quarn-bench: drives a running quarn service with a chosen scenario over
// several connections, checks every answer and prints the throughput and
// latency percentiles. It starts nothing itself.
#include <sys/resource.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "client/connection.h"
#include "loadgen/failure.h"
#include "loadgen/latency.h"
#include "loadgen/options.h"
#include "loadgen/picture.h"
#include "loadgen/run.h"
#include "loadgen/workload.h"

namespace {

using namespace loadgen;

// Idle connections need a descriptor each; take as many as the system allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<client::connection> open_idle(const settings& options) {
  std::vector<client::connection> idle;
  idle.reserve(static_cast<std::size_t>(options.idle_connections));
  for (int i = 0; i < options.idle_connections; ++i)
    idle.push_back(connect_to_service(options));
  return idle;
}

// The service has no idle time-out: a silent connection must still be open
// and unanswered after the run.
void check_idle(std::vector<client::connection>& idle) {
  for (client::connection& one : idle)
    if (one.has_input_or_closed())
      throw failure("the service closed or wrote to an idle connection");
}

void print_report(const settings& options, const workload& work,
                  const run_result& run) {
  const latency_summary latency = summarize_latencies(run.latencies_ns);
  const picture& upload = work.uploaded();
  const std::string_view name = scenario_name(options.kind);
  std::printf("scenario: %.*s\n", static_cast<int>(name.size()), name.data());
  std::printf("connections: %d\n", options.connections);
  std::printf("idle connections: %d\n", options.idle_connections);
  std::printf("picture: %dx%d, 8-bit RGB\n", upload.width, upload.height);
  std::printf("upload bytes: %zu\n", work.upload_bytes());
  std::printf("answer bytes: %zu\n", work.answer_bytes());
  std::printf("seconds: %.2f\n", run.seconds);
  std::printf("requests: %zu\n", run.requests);
  std::printf("requests/s: %.1f\n", run.requests / run.seconds);
  std::printf("MB/s: %.1f\n", run.bytes / run.seconds / 1e6);
  std::printf("p50 ms: %.3f\n", latency.p50_ms);
  std::printf("p99 ms: %.3f\n", latency.p99_ms);
  std::printf("p999 ms: %.3f\n", latency.p999_ms);
}

// The run's first connection: a service that cannot be reached ends the run
// before anything else is done, and the message names that step.
client::connection connect_first(const settings& options) {
  try {
    return connect_to_service(options);
  } catch (const failure& reason) {
    throw failure("connect to " + options.host + ":" +
                  std::to_string(options.port) +
                  " failed: " + reason.message());
  }
}

int run(int argc, char** argv) {
  const settings options = parse_options(argc, argv);
  if (options.version) {
    std::cout << "quarn-bench " QUARN_VERSION "\n";
    return 0;
  }
  if (options.help) {
    std::cout << usage();
    return 0;
  }
  raise_descriptor_limit();
  client::connection setup = connect_first(options);
  workload work(options.kind,
                options.picture_side > 0
                    ? make_square_picture(options.picture_side)
                    : make_picture(options.picture_bytes),
                setup);
  std::vector<client::connection> idle = open_idle(options);
  const run_result result = run_load(options, work);
  check_idle(idle);
  print_report(options, work, result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const client::error& reason) {
    std::cerr << "quarn-bench: " << reason.message() << "\n";
    return 1;
  }
}
