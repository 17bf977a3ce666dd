// The load generator's command line.
#pragma once

#include <cstddef>
#include <string>

#include "loadgen/workload.h"

namespace loadgen {

struct settings {
  std::string host = "127.0.0.1";
  int port = 18360;
  int connections = 8;
  int idle_connections = 0;  // opened before the run, silent throughout
  scenario kind = scenario::getpic;
  std::size_t picture_bytes = 512 * 1024;  // of SNG text
  double duration_s = 10;
  bool help = false;
};

// Reads the options; throws failure naming the first bad one.
settings parse_options(int argc, char** argv);

std::string usage();

}  // namespace loadgen
