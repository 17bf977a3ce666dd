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
// service reads it only as the first line from a loopback peer.
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
