// The PROXY protocol's text header (version 1), with which a proxy on the
// same host names the client it acts for, as the first line of a
// connection:
//
//   PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360<CR><LF>
//   PROXY TCP6 2001:db8::7 ::1 50412 18360<CR><LF>
//   PROXY UNKNOWN<CR><LF>             (or followed by a blank and anything)
//
// the client's address, the address it reached the proxy at, and both ports,
// each field after a single blank, at most 107 bytes with the CR LF. The
// service takes such lines before the first command, while the client they
// name so far is loopback (proxy_chain).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "service/client_address.h"

// The longest header, CR LF included.
constexpr std::size_t max_proxy_line_bytes = 107;

// What a well-formed header says: the client's address, or nothing for
// UNKNOWN (the proxy does not know it).
struct proxy_header {
  std::optional<client_address> client;
};

// Whether `line` (without its line feed) is meant as a PROXY header: its
// first word is "PROXY".
bool is_proxy_line(std::string_view line);

// The header in `line` (without its line feed, so ending in the CR); nothing
// when it is malformed: another protocol word, an address that is not one
// of its family, a port beyond 65535 or with a leading zero, a field missing
// or extra, two blanks in a row, no CR at the end, or longer than
// max_proxy_line_bytes.
std::optional<proxy_header> parse_proxy_line(std::string_view line);

// Most PROXY lines a connection may begin with: one for each proxy on the
// same host in a row (a TLS front, quarn-web behind it, one more). One past
// it closes the connection, as a malformed line does.
constexpr int max_proxy_lines = 3;

// Whom a connection serves as the PROXY lines it begins with name the
// client. Proxies on the same host may stand in a row, each naming the one
// before it: a line is taken while no command has come and the client served
// so far is loopback (the socket's peer, or what every line before named).
// A line naming another client ends the chain, and so does the first
// command; from then on "PROXY" is a command like any other. Owned by the
// connection's thread.
class proxy_chain {
 public:
  explicit proxy_chain(const client_address& peer) : served_(peer) {}

  enum class verdict {
    taken,    // a PROXY line, answered with nothing
    refused,  // a malformed PROXY line, or one too many: close
    command,  // anything else, to be run as a command
  };
  // What `line` (without its line feed) is, taking it when it is a PROXY
  // line of the chain.
  verdict take(std::string_view line);

  const client_address& served() const { return served_; }

 private:
  client_address served_;
  int lines_taken_ = 0;
  bool open_ = true;
};
