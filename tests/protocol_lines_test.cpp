// Lines that are not commands: requests of other protocols, which close the
// connection, and the PROXY headers of local proxies.
#include <gtest/gtest.h>

#include <string>

#include "service/foreign_protocol.h"
#include "service/proxy_line.h"

namespace {

TEST(foreign_protocol, http_request_lines_with_or_without_cr) {
  for (const char* line :
       {"GET / HTTP/1.1", "GET / HTTP/1.1\r", "POST /upload?x=1 HTTP/1.0\r",
        "OPTIONS * HTTP/1.1", "PRI * HTTP/2.0\r", "GET /x HTTP/2",
        "CONNECT quarn.example:18360 HTTP/1.1\r", "VERSION-CONTROL /a HTTP/1.1",
        "M-SEARCH * HTTP/1.1\r", "GET /caf\xc3\xa9 HTTP/1.1"})
    EXPECT_TRUE(is_foreign_protocol_line(line)) << line;
}

TEST(foreign_protocol, host_headers_in_any_letter_case) {
  for (const char* line :
       {"Host: 127.0.0.1:18360\r", "host:x", "HOST:", "hOsT: quarn.example"})
    EXPECT_TRUE(is_foreign_protocol_line(line)) << line;
}

TEST(foreign_protocol, leaves_every_command_and_near_miss_alone) {
  for (const char* line : {"GET",
                           "GET /",
                           "POST x",
                           "FROB",
                           "list",
                           "getpic 1.sng HTTP/1.1",
                           "getpic x HTTP/1.1\r",
                           "putpic a HTTP/1.1",
                           "exit / HTTP/1.1",
                           "Get / HTTP/1.1",
                           "GET  / HTTP/1.1",
                           "GET / HTTP/1.1 ",
                           "GET / HTTP/1.1\r\r",
                           " GET / HTTP/1.1",
                           "GET / http/1.1",
                           "GET / HTTP/1.12",
                           "GET / HTTP/11",
                           "GET / HTTP/",
                           "GET / HTTP/1.",
                           "GET /\x01 HTTP/1.1",
                           "1GET / HTTP/1.1",
                           "GET/ / HTTP/1.1",
                           "Hostname: x",
                           " Host: x",
                           "Hos",
                           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r"})
    EXPECT_FALSE(is_foreign_protocol_line(line)) << line;
}

TEST(proxy_line, names_the_client_of_tcp4_and_tcp6_headers) {
  const auto tcp4 =
      parse_proxy_line("PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360\r");
  ASSERT_TRUE(tcp4 && tcp4->client);
  EXPECT_EQ("192.0.2.7:50412", tcp4->client->text());
  const auto tcp6 = parse_proxy_line("PROXY TCP6 2001:db8::7 ::1 0 65535\r");
  ASSERT_TRUE(tcp6 && tcp6->client);
  EXPECT_EQ("[2001:db8::7]:0", tcp6->client->text());
  const auto mapped =
      parse_proxy_line("PROXY TCP6 ::ffff:198.51.100.1 ::1 443 18360\r");
  ASSERT_TRUE(mapped && mapped->client);
  EXPECT_EQ("198.51.100.1:443", mapped->client->text());
}

TEST(proxy_line, unknown_names_no_client_whatever_follows) {
  for (const char* line :
       {"PROXY UNKNOWN\r", "PROXY UNKNOWN ffff::1 ::1 1 2\r"}) {
    const auto header = parse_proxy_line(line);
    ASSERT_TRUE(header) << line;
    EXPECT_FALSE(header->client) << line;
  }
}

TEST(proxy_line, takes_up_to_107_bytes_with_the_cr_lf) {
  EXPECT_TRUE(parse_proxy_line(
      "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
      "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r"));
  // "PROXY UNKNOWN ", 91 bytes, CR LF.
  EXPECT_TRUE(parse_proxy_line("PROXY UNKNOWN " + std::string(91, 'x') + "\r"));
  EXPECT_FALSE(
      parse_proxy_line("PROXY UNKNOWN " + std::string(92, 'x') + "\r"));
}

TEST(proxy_line, refuses_anything_malformed) {
  for (const char* line :
       {"PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360",  // no CR
        "PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360\r\r",
        "PROXY TCP4 192.0.2.7  127.0.0.1 50412 18360\r",
        "PROXY  TCP4 192.0.2.7 127.0.0.1 50412 18360\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360 \r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 50412\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 50412 18360 1\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 65536 18360\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 050412 18360\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 -1 18360\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 +1 18360\r",
        "PROXY TCP4 192.0.2.7 127.0.0.1 50412 x\r",
        "PROXY TCP4 192.0.2.256 127.0.0.1 50412 18360\r",
        "PROXY TCP4 192.0.2.07 127.0.0.1 50412 18360\r",
        "PROXY TCP4 192.0.2 127.0.0.1 50412 18360\r",
        "PROXY TCP4 2001:db8::7 127.0.0.1 50412 18360\r",
        "PROXY TCP4 192.0.2.7 ::1 50412 18360\r",
        "PROXY TCP6 192.0.2.7 ::1 50412 18360\r",
        "PROXY TCP6 2001:db8::7::1 ::1 50412 18360\r",
        "PROXY tcp4 192.0.2.7 127.0.0.1 50412 18360\r",
        "PROXY UDP4 192.0.2.7 127.0.0.1 50412 18360\r",
        "PROXY UNKNOWNX\r",
        "PROXY\r",
        "PROXY",
        "PROXY \r"})
    EXPECT_FALSE(parse_proxy_line(line)) << line;
}

TEST(proxy_line, is_meant_when_the_first_word_is_proxy) {
  EXPECT_TRUE(is_proxy_line("PROXY"));
  EXPECT_TRUE(is_proxy_line("PROXY x"));
  EXPECT_FALSE(is_proxy_line("PROXYTCP4"));
  EXPECT_FALSE(is_proxy_line("proxy TCP4"));
  EXPECT_FALSE(is_proxy_line(" PROXY"));
}

using verdict = proxy_chain::verdict;

// The header a proxy on this host sends for `client`.
std::string naming(const std::string& client) {
  return "PROXY TCP4 " + client + " 127.0.0.1 50412 18360\r";
}

proxy_chain chain_from(const char* peer) {
  return proxy_chain(
      *client_address::parse(client_address::family::ipv4, peer, 40000));
}

TEST(proxy_chain, follows_local_proxies_in_a_row_to_the_client) {
  // A TLS front names the proxy behind it, which names the browser.
  proxy_chain chain = chain_from("127.0.0.1");
  EXPECT_EQ(verdict::taken, chain.take(naming("127.0.0.1")));
  EXPECT_EQ(verdict::taken, chain.take("PROXY UNKNOWN\r"));
  EXPECT_EQ(verdict::taken, chain.take(naming("198.51.100.1")));
  EXPECT_EQ("198.51.100.1:50412", chain.served().text());
  // A client that is not loopback is not trusted to name another.
  EXPECT_EQ(verdict::command, chain.take(naming("198.51.100.2")));
  EXPECT_EQ("198.51.100.1:50412", chain.served().text());
}

TEST(proxy_chain, ends_at_the_first_command_and_never_opens_elsewhere) {
  proxy_chain after_command = chain_from("127.0.0.1");
  EXPECT_EQ(verdict::command, after_command.take("list"));
  EXPECT_EQ(verdict::command, after_command.take(naming("198.51.100.1")));
  EXPECT_EQ("127.0.0.1:40000", after_command.served().text());

  proxy_chain remote = chain_from("192.0.2.7");
  EXPECT_EQ(verdict::command, remote.take(naming("127.0.0.1")));
  EXPECT_EQ(verdict::command, remote.take("PROXY TCP4\r"));
  EXPECT_EQ("192.0.2.7:40000", remote.served().text());
}

TEST(proxy_chain, refuses_a_malformed_line_and_one_past_the_most) {
  proxy_chain malformed = chain_from("127.0.0.1");
  EXPECT_EQ(verdict::taken, malformed.take(naming("127.0.0.2")));
  EXPECT_EQ(verdict::refused, malformed.take("PROXY TCP4 127.0.0.3\r"));

  proxy_chain too_long = chain_from("127.0.0.1");
  for (int line = 0; line < max_proxy_lines; ++line)
    EXPECT_EQ(verdict::taken, too_long.take(naming("127.0.0.2"))) << line;
  EXPECT_EQ(verdict::refused, too_long.take(naming("198.51.100.1")));
  EXPECT_EQ("127.0.0.2:50412", too_long.served().text());
}

}  // namespace
