#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "client/connection.h"
#include "loadgen/failure.h"
#include "loadgen/options.h"
#include "loadgen/picture.h"
#include "loadgen/run.h"
#include "loadgen/workload.h"
#include "support/service_process.h"
#include "support/tls_front.h"

namespace loadgen {
namespace {

// A short run of `kind` against the real service; fails the test on any
// wrong answer.
run_result short_run(scenario kind) {
  settings options;
  options.kind = kind;
  options.connections = 3;
  options.picture_bytes = 16 * 1024;
  options.duration_s = 0.3;
  client::connection setup(options.host, std::to_string(options.port));
  workload work(kind, make_picture(options.picture_bytes), setup);
  return run_load(options, work);
}

struct binary_result {
  int status;
  std::string output;
};

binary_result run_binary(const std::string& arguments) {
  const std::string command =
      std::string(QUARN_BENCH_BINARY) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  binary_result result{-1, {}};
  char chunk[4096];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
    result.output.append(chunk, count);
  result.status = ::pclose(pipe);
  return result;
}

TEST(load_against_service, every_scenario_gets_only_right_answers) {
  service_process service;
  for (scenario kind :
       {scenario::getpic, scenario::putpic_password, scenario::putpic_pixel,
        scenario::list, scenario::mixed}) {
    SCOPED_TRACE(std::string(scenario_name(kind)));
    try {
      EXPECT_GT(short_run(kind).requests, 0u);
    } catch (const failure& reason) {
      ADD_FAILURE() << reason.message();
    }
  }
}

TEST(load_against_service, binary_reports_a_run_with_idle_connections) {
  service_process service;
  const binary_result run = run_binary("-s mixed -c 2 -i 50 -b 4K -d 0.3");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("idle connections: 50\n"), std::string::npos);
  EXPECT_NE(run.output.find("requests/s: "), std::string::npos);
  EXPECT_NE(run.output.find("p999 ms: "), std::string::npos);
}

TEST(load_against_service, binary_runs_through_tls_with_idle_connections) {
  if (const std::string lacking = tls_front::missing(); !lacking.empty())
    GTEST_SKIP() << lacking;
  service_process service;
  const tls_front front;
  // Idle connections through TLS receive TLS's own messages, never an
  // answer: they must still count as silent.
  const binary_result run =
      run_binary("--tls --ca '" + front.ca_file().string() +
                 "' -s mixed -c 2 -i 5 -b 4K -d 0.3");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("requests/s: "), std::string::npos);
}

TEST(load_against_service, binary_fails_when_nothing_listens) {
  const binary_result run = run_binary("-s getpic -d 0.3");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("connect to 127.0.0.1:18360 failed"),
            std::string::npos)
      << run.output;
}

TEST(load_against_service, binary_rejects_an_unknown_scenario) {
  const binary_result run = run_binary("-s frob");
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.output, "quarn-bench: unknown scenario: frob\n");
}

}  // namespace
}  // namespace loadgen
