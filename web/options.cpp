#include "web/options.h"

#include <string_view>

#include "client/errors.h"

namespace web {
namespace {

// ADDR:PORT, ADDR in brackets when it is an IPv6 address ([::1]:8360).
void set_listen(options& result, const std::string& value) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw client::usage_error("--listen takes ADDR:PORT, not \"" + value +
                              "\"");
  std::string host = value.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::string port = value.substr(colon + 1);
  client::check_port(port);
  result.listen_host = host;
  result.listen_port = std::stoi(port);
}

}  // namespace

const char* const usage =
    "usage: quarn-web [--listen ADDR:PORT] [-h HOST] [-p PORT]\n"
    "\n"
    "Serves a gallery of the pictures stored in a quarn service, with forms\n"
    "to upload a PNG or SNG file with a secret, open protected pictures and\n"
    "read hidden text back.\n"
    "\n"
    "  --listen ADDR:PORT  where the gallery listens (default 127.0.0.1:8360)\n"
    "  -h HOST             the service's host (default 127.0.0.1)\n"
    "  -p PORT             the service's port (default 18360)\n"
    "  --help              this help\n"
    "  --version           the tool's version\n";

options parse_options(int argc, const char* const* argv) {
  options result;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--help") {
      result.help = true;
      continue;
    }
    if (word == "--version") {
      result.version = true;
      continue;
    }
    if (word != "--listen" && word != "-h" && word != "-p")
      throw client::usage_error("unknown argument " + std::string(word) +
                                "; quarn-web --help lists the options");
    if (i + 1 == argc)
      throw client::usage_error(std::string(word) + " needs a value");
    const std::string value = argv[++i];
    if (word == "--listen") {
      set_listen(result, value);
    } else if (word == "-h") {
      result.service.host = value;
    } else {
      client::check_port(value);
      result.service.port = value;
    }
  }
  return result;
}

}  // namespace web
