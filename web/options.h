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
  std::vector<host_name> host_names;  // --host NAME[:PORT]
  // -h HOST, -p PORT (18360 by default, 18361 with --tls), and what to
  // trust with --tls and --ca FILE.
  client::service_address service{"127.0.0.1", ""};
  bool help = false;     // --help
  bool version = false;  // --version
};

// Reads the command line; throws client::usage_error for an unknown option,
// an option without its value, an address, name or port that is not one, or
// --ca without --tls. With --tls it reads the certificate authorities to
// trust, and throws client::failure when they cannot be read.
options parse_options(int argc, const char* const* argv);

// What --help prints.
extern const char* const usage;

}  // namespace web
