#include "service/proxy_line.h"

#include <array>
#include <charconv>

namespace {

constexpr std::string_view signature = "PROXY ";

// A port: decimal digits without a leading zero (but "0"), at most 65535.
std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text.front() == '0'))
    return std::nullopt;
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// Splits `text` at single blanks into exactly `count` non-empty fields.
template <std::size_t count>
std::optional<std::array<std::string_view, count>> fields_of(
    std::string_view text) {
  std::array<std::string_view, count> fields;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t blank = i + 1 < count ? text.find(' ') : text.npos;
    fields[i] = text.substr(0, blank);
    if (fields[i].empty() || fields[i].find(' ') != text.npos)
      return std::nullopt;
    text.remove_prefix(blank == text.npos ? text.size() : blank + 1);
  }
  return fields;
}

// "SRC DST SPORT DPORT" of the family `kind`.
std::optional<proxy_header> parse_addresses(client_address::family kind,
                                            std::string_view text) {
  const auto fields = fields_of<4>(text);
  if (!fields) return std::nullopt;
  const auto& [source, destination, source_port, destination_port] = *fields;
  const auto port = parse_port(source_port);
  if (!port || !parse_port(destination_port) ||
      !client_address::parse(kind, destination, 0))
    return std::nullopt;
  auto client = client_address::parse(kind, source, *port);
  if (!client) return std::nullopt;
  return proxy_header{client};
}

}  // namespace

bool is_proxy_line(std::string_view line) {
  return line == "PROXY" || line.starts_with(signature);
}

std::optional<proxy_header> parse_proxy_line(std::string_view line) {
  // The line feed is gone already; the CR must be there.
  if (line.size() + 1 > max_proxy_line_bytes || !line.ends_with('\r') ||
      !line.starts_with(signature))
    return std::nullopt;
  line.remove_prefix(signature.size());
  line.remove_suffix(1);
  // After UNKNOWN, anything up to the CR LF is the proxy's own business.
  if (line == "UNKNOWN" || line.starts_with("UNKNOWN ")) return proxy_header{};
  if (line.starts_with("TCP4 "))
    return parse_addresses(client_address::family::ipv4, line.substr(5));
  if (line.starts_with("TCP6 "))
    return parse_addresses(client_address::family::ipv6, line.substr(5));
  return std::nullopt;
}

proxy_chain::verdict proxy_chain::take(std::string_view line) {
  open_ = open_ && served_.is_loopback() && is_proxy_line(line);
  if (!open_) return verdict::command;
  const std::optional<proxy_header> header = parse_proxy_line(line);
  if (!header || ++lines_taken_ > max_proxy_lines) return verdict::refused;
  // UNKNOWN names nobody and keeps the standing so far.
  if (header->client) served_ = *header->client;
  return verdict::taken;
}
