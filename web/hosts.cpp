#include "web/hosts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace web {
namespace {

constexpr std::string_view default_http_port = "80";

std::string lower_case(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return lower;
}

// An address as a Host header writes it: an IPv6 address in brackets, an
// IPv4-mapped one as its IPv4 address.
std::string as_host(const std::string& address) {
  constexpr std::string_view mapped = "::ffff:";
  in_addr ipv4{};
  if (address.starts_with(mapped) &&
      ::inet_pton(AF_INET, address.c_str() + mapped.size(), &ipv4) == 1)
    return address.substr(mapped.size());
  if (address.find(':') != std::string::npos) return "[" + address + "]";
  return address;
}

bool is_loopback(const std::string& host) {
  in_addr ipv4{};
  in6_addr ipv6{};
  if (::inet_pton(AF_INET, host.c_str(), &ipv4) == 1)
    return (ntohl(ipv4.s_addr) >> 24) == 127;
  if (::inet_pton(AF_INET6, host.c_str(), &ipv6) == 1)
    return IN6_IS_ADDR_LOOPBACK(&ipv6);
  return lower_case(host) == "localhost";
}

}  // namespace

host_names::host_names(const std::string& listen_host, int port,
                       const std::vector<host_name>& names)
    : port_(std::to_string(port)) {
  std::vector<host_name> known = names;
  known.push_back({as_host(listen_host), ""});
  if (is_loopback(listen_host)) known.push_back({"localhost", ""});
  for (const host_name& known_name : known)
    for (std::string& spelling :
         spellings(known_name.name,
                   known_name.port.empty() ? port_ : known_name.port))
      accepted_.insert(std::move(spelling));
}

std::vector<std::string> host_names::spellings(const std::string& name,
                                               const std::string& port) {
  const std::string lower = lower_case(name);
  if (port == default_http_port) return {lower, lower + ":" + port};
  return {lower + ":" + port};
}

bool host_names::accept(std::string_view host,
                        const std::string& local_address) const {
  const std::string lower = lower_case(host);
  if (accepted_.contains(lower)) return true;
  const std::vector<std::string> local =
      spellings(as_host(local_address), port_);
  return std::find(local.begin(), local.end(), lower) != local.end();
}

}  // namespace web
