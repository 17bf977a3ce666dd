// Whom a connection serves: the address and port of the socket's peer, or of
// the client that a local proxy names in its PROXY line (service/proxy_line.h).
// Values; any thread.
#pragma once

#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the password budget counts as one client: an IPv4 address, or the
// /64 prefix of an IPv6 address (one network, in which its owner may use as
// many addresses as they like).
struct budget_key {
  std::uint64_t bits = 0;  // the IPv4 address, or the IPv6 prefix
  bool ipv6 = false;
  friend bool operator==(const budget_key&, const budget_key&) = default;
};

class client_address {
 public:
  enum class family { ipv4, ipv6 };

  // The peer of an accepted socket. The listener is IPv4: a peer of any
  // other family (there is none) reads as 0.0.0.0, port 0.
  static client_address of_peer(const sockaddr& peer);
  // `host` in the text form of `kind` (dotted quad, or IPv6 as inet_pton
  // reads it) and `port`; nothing when `host` is not one. An IPv4-mapped
  // IPv6 address is taken as the IPv4 address it maps.
  static std::optional<client_address> parse(family kind, std::string_view host,
                                             std::uint16_t port);

  // 127.0.0.0/8 or ::1.
  bool is_loopback() const;
  budget_key key() const;
  // "192.0.2.7:50412" or "[2001:db8::7]:50412", as the log names peers.
  std::string text() const;

 private:
  client_address(family kind, const std::array<std::uint8_t, 16>& bytes,
                 std::uint16_t port);

  family family_;
  // An IPv4 address in the first four bytes, network order.
  std::array<std::uint8_t, 16> bytes_;
  std::uint16_t port_;
};
