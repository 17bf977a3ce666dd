// quarn-web's command line: where it listens, the names it answers under
// and where the service is.
#pragma once

#include <string>
#include <vector>

#include "client/protocol.h"
#include "web/hosts.h"

namespace web {

struct options {
  std::string listen_host = "127.0.0.1";  // --listen ADDR:PORT
  int listen_port = 8360;
  std::vector<host_name> host_names;                      // --host NAME[:PORT]
  client::service_address service{"127.0.0.1", "18360"};  // -h HOST, -p PORT
  bool help = false;                                      // --help
  bool version = false;                                   // --version
};

// Reads the command line; throws client::usage_error for an unknown option,
// an option without its value, or an address, name or port that is not one.
options parse_options(int argc, const char* const* argv);

// What --help prints.
extern const char* const usage;

}  // namespace web
