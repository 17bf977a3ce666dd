#include "web/options.h"

#include <algorithm>
#include <cctype>
#include <optional>
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

// Whether `name` can be a host name or, in brackets, an IPv6 address.
bool valid_host(std::string_view name) {
  const bool bracketed =
      name.size() > 2 && name.front() == '[' && name.back() == ']';
  if (bracketed) name = name.substr(1, name.size() - 2);
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [&](unsigned char c) {
           return bracketed
                      ? std::isxdigit(c) || c == ':' || c == '.'
                      : std::isalnum(c) || c == '-' || c == '.' || c == '_';
         });
}

// NAME, NAME:PORT, [ADDRESS] or [ADDRESS]:PORT.
host_name parse_host(const std::string& value) {
  const std::size_t name_end =
      value.starts_with('[') ? value.find(']') + 1 : value.find(':');
  host_name result{value.substr(0, name_end), ""};
  if (name_end != std::string::npos && name_end < value.size()) {
    if (value[name_end] != ':')
      throw client::usage_error("--host takes NAME or NAME:PORT, not \"" +
                                value + "\"");
    result.port = value.substr(name_end + 1);
    client::check_port(result.port);
  }
  if (!valid_host(result.name))
    throw client::usage_error("--host takes NAME or NAME:PORT, not \"" + value +
                              "\"");
  return result;
}

}  // namespace

const char* const usage =
    "usage: quarn-web [--listen ADDR:PORT] [--host NAME[:PORT]]... [-h HOST] "
    "[-p PORT]\n"
    "                 [--tls [--ca FILE]]\n"
    "\n"
    "Serves a gallery of the pictures stored in a quarn service, with forms\n"
    "to upload a PNG or SNG file with a secret, open protected pictures and\n"
    "see their secret, and read hidden text back.\n"
    "\n"
    "  --listen ADDR:PORT  where the gallery listens (default 127.0.0.1:8360)\n"
    "  --host NAME[:PORT]  a name the gallery answers under besides ADDR (and\n"
    "                      localhost when ADDR is a loopback address), with\n"
    "                      PORT or --listen's port; repeatable. Requests for\n"
    "                      any other name get 421\n"
    "  -h HOST             the service's host (default 127.0.0.1)\n"
    "  -p PORT             the service's port (default 18360, and 18361 with\n"
    "                      --tls)\n"
    "  --tls               reach the service through TLS, at a TLS front such\n"
    "                      as quarn-tls.service; its certificate must name\n"
    "                      HOST\n"
    "  --ca FILE           trust the certificate authorities in FILE (PEM) "
    "for\n"
    "                      --tls, instead of the system's\n"
    "  --help              this help\n"
    "  --version           the tool's version\n";

options parse_options(int argc, const char* const* argv) {
  options result;
  bool tls = false;
  std::optional<std::string> ca_file;
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
    if (word == "--tls") {
      tls = true;
      continue;
    }
    if (word != "--listen" && word != "--host" && word != "-h" &&
        word != "-p" && word != "--ca")
      throw client::usage_error("unknown argument " + std::string(word) +
                                "; quarn-web --help lists the options");
    if (i + 1 == argc)
      throw client::usage_error(std::string(word) + " needs a value");
    const std::string value = argv[++i];
    if (word == "--listen") {
      set_listen(result, value);
    } else if (word == "--host") {
      result.host_names.push_back(parse_host(value));
    } else if (word == "-h") {
      result.service.host = value;
    } else if (word == "--ca") {
      ca_file = value;
    } else {
      client::check_port(value);
      result.service.port = value;
    }
  }
  result.service.tls = client::trust_for_options(tls, ca_file);
  if (result.service.port.empty())
    result.service.port =
        tls ? std::to_string(client::tls_front_port) : "18360";
  return result;
}

}  // namespace web
