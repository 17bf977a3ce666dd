#include "service/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace {

// ::ffff:0:0/96, under which IPv6 carries IPv4 addresses.
constexpr std::array<std::uint8_t, 12> ipv4_mapped_prefix = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_ipv4_mapped(const std::array<std::uint8_t, 16>& bytes) {
  return std::equal(ipv4_mapped_prefix.begin(), ipv4_mapped_prefix.end(),
                    bytes.begin());
}

// The first `count` bytes of `bytes` as one number, the first byte highest.
std::uint64_t leading_bits(const std::array<std::uint8_t, 16>& bytes,
                           std::size_t count) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < count; ++i) bits = bits << 8 | bytes[i];
  return bits;
}

}  // namespace

client_address::client_address(family kind,
                               const std::array<std::uint8_t, 16>& bytes,
                               std::uint16_t port)
    : family_(kind), bytes_(bytes), port_(port) {}

client_address client_address::of_peer(const sockaddr& peer) {
  std::array<std::uint8_t, 16> bytes{};
  std::uint16_t port = 0;
  if (peer.sa_family == AF_INET) {
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, &peer, sizeof ipv4);
    std::memcpy(bytes.data(), &ipv4.sin_addr, sizeof ipv4.sin_addr);
    port = ntohs(ipv4.sin_port);
  }
  return client_address(family::ipv4, bytes, port);
}

std::optional<client_address> client_address::parse(family kind,
                                                    std::string_view host,
                                                    std::uint16_t port) {
  // inet_pton reads a terminated string; no address is longer than this.
  char text[INET6_ADDRSTRLEN];
  if (host.size() >= sizeof text) return std::nullopt;
  host.copy(text, host.size());
  text[host.size()] = '\0';
  std::array<std::uint8_t, 16> bytes{};
  if (kind == family::ipv4)
    return ::inet_pton(AF_INET, text, bytes.data()) == 1
               ? std::optional(client_address(kind, bytes, port))
               : std::nullopt;
  if (::inet_pton(AF_INET6, text, bytes.data()) != 1) return std::nullopt;
  if (!is_ipv4_mapped(bytes)) return client_address(kind, bytes, port);
  std::array<std::uint8_t, 16> ipv4{};
  std::copy_n(bytes.begin() + ipv4_mapped_prefix.size(), 4, ipv4.begin());
  return client_address(family::ipv4, ipv4, port);
}

bool client_address::is_loopback() const {
  if (family_ == family::ipv4) return bytes_[0] == 127;
  static constexpr std::array<std::uint8_t, 16> ipv6_loopback = {
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return bytes_ == ipv6_loopback;
}

budget_key client_address::key() const {
  if (family_ == family::ipv4) return {leading_bits(bytes_, 4), false};
  return {leading_bits(bytes_, 8), true};
}

std::string client_address::text() const {
  char host[INET6_ADDRSTRLEN] = "";
  const std::string port = ":" + std::to_string(port_);
  if (family_ == family::ipv4) {
    ::inet_ntop(AF_INET, bytes_.data(), host, sizeof host);
    return host + port;
  }
  ::inet_ntop(AF_INET6, bytes_.data(), host, sizeof host);
  return "[" + std::string(host) + "]" + port;
}
