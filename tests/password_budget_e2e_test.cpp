// The password budget and local proxies' PROXY headers over the wire,
// against the real binary, from clients on addresses of the test's own
// network (support/private_network.h). Loopback clients are not counted.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/line_client.h"
#include "support/pictures.h"
#include "support/private_network.h"
#include "support/service_process.h"

namespace {

using namespace std::chrono_literals;

const std::string password = "tr0ub4dor";
// A typo that does not pass: 6 of the 9 bytes in order.
const std::string bad_typo = "trOUB4dor";

// `count` different words of 6 to 12 lower-case letters, the same on every
// run.
std::vector<std::string> dictionary(std::size_t count) {
  std::mt19937 random(18360);
  std::vector<std::string> words;
  while (words.size() < count) {
    std::string word(6 + random() % 7, ' ');
    for (char& letter : word) letter = static_cast<char>('a' + random() % 26);
    words.push_back(word);
  }
  return words;
}

std::string joined(const std::vector<std::string>& words, std::size_t from,
                   std::size_t count) {
  std::string line;
  for (std::size_t i = from; i < from + count; ++i) line += " " + words[i];
  return line;
}

// Sends the getpic line `words` after the identifier; true when the picture
// came, false for "ERROR(PASSWORD)".
bool opens(line_client& c, const std::string& id, const std::string& words) {
  c.send_line("getpic " + id + " " + words);
  const std::string answer = c.line();
  if (answer == "ERROR(PASSWORD)") return false;
  for (int lines = std::stoi(answer); lines > 0; --lines) c.line();
  return true;
}

// `count` wrong candidates, none of them near the password.
std::string wrong_candidates(int count) {
  std::string words;
  for (int i = 0; i < count; ++i) words += " wrong" + std::to_string(i);
  return words.substr(1);
}

std::string proxy_header(const std::string& client) {
  return "PROXY TCP4 " + client + " 127.0.0.1 40000 18360\r\n";
}

class guessing : public ::testing::Test {
 protected:
  explicit guessing(service_options options = {})
      : service(std::move(options)) {}

  void SetUp() override {
    if (!can_bind_address("192.0.2.7"))
      GTEST_SKIP() << "no documentation network is local here";
    line_client owner;
    owner.send_line("putpic secret " + password);
    owner.send_block(rgb_picture(2, 2));
    id = owner.line();
  }

  service_process service;
  std::string id;
};

// A failed comparison comes back after 200 ms, not a second.
class quick_refill : public guessing {
 protected:
  quick_refill() : guessing({{"QUARN_TEST_REFILL_MS=200"}, {}}) {}
};

TEST_F(quick_refill,
       a_dictionary_from_one_address_opens_nothing_until_refilled) {
  // 50 lines of 2,000 words; the password is the 50,000th, the last of its
  // line, where no comparison that comes back during the attack reaches.
  std::vector<std::string> words = dictionary(100'000);
  words[49'999] = password;
  line_client attacker("192.0.2.7");
  std::string lines;
  for (std::size_t from = 0; from < words.size(); from += 2'000)
    lines += "getpic " + id + joined(words, from, 2'000) + "\n";
  attacker.send(lines);
  for (int line = 0; line < 50; ++line)
    EXPECT_EQ("ERROR(PASSWORD)", attacker.line()) << line;
  EXPECT_TRUE(logged(service, "WARN", "password_budget_spent",
                     "peer=192.0.2.7:[0-9]* picture=" + id));

  line_client other("192.0.2.8");
  EXPECT_TRUE(opens(other, id, password));

  // Refused while spent, which costs nothing, until one comes back.
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!opens(attacker, id, password) &&
         std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(50ms);
  EXPECT_LT(std::chrono::steady_clock::now(), give_up);
  // Logged once in the minute, and without a candidate.
  const std::string log = service.error_output();
  EXPECT_EQ(log.find("password_budget_spent"),
            log.rfind("password_budget_spent"));
  EXPECT_EQ(std::string::npos, log.find(password));
}

TEST_F(guessing, an_honest_client_with_typos_sees_no_difference) {
  line_client owner;
  owner.send_line("getpic " + id + " " + password);
  const std::string picture = owner.block();
  line_client honest("192.0.2.9");
  for (int i = 0; i < 20; ++i) {
    honest.send_line("getpic " + id + " " + bad_typo + " " + password);
    EXPECT_EQ(picture, honest.block()) << i;
  }
  honest.send_line("getpic " + id + " " + bad_typo);
  EXPECT_EQ("ERROR(PASSWORD)", honest.line());
}

TEST_F(guessing, loopback_clients_are_not_counted) {
  line_client local;
  EXPECT_TRUE(opens(local, id, wrong_candidates(100) + " " + password));
}

TEST_F(guessing, a_local_proxy_names_the_client_counted) {
  line_client first;
  first.send(proxy_header("198.51.100.1"));
  EXPECT_FALSE(opens(first, id, wrong_candidates(32) + " " + password));
  line_client again;
  again.send(proxy_header("198.51.100.1"));
  EXPECT_FALSE(opens(again, id, password));

  line_client other;  // the same loopback peer, for another client
  other.send(proxy_header("198.51.100.2"));
  EXPECT_TRUE(opens(other, id, password));
  EXPECT_TRUE(logged(service, "WARN", "password_budget_spent",
                     "peer=198.51.100.1:40000 picture=" + id));
}

TEST_F(guessing, a_proxy_naming_loopback_or_no_client_is_not_counted) {
  for (const std::string& header :
       {proxy_header("127.0.0.9"), std::string("PROXY UNKNOWN\r\n")}) {
    line_client c;
    c.send(header);
    EXPECT_TRUE(opens(c, id, wrong_candidates(40) + " " + password)) << header;
  }
}

TEST_F(guessing, proxies_in_a_row_name_the_client_counted) {
  // A TLS front names the proxy behind it, which names the browser.
  line_client c;
  c.send(proxy_header("127.0.0.1") + proxy_header("198.51.100.3"));
  EXPECT_FALSE(opens(c, id, wrong_candidates(32) + " " + password));
  EXPECT_TRUE(logged(service, "WARN", "password_budget_spent",
                     "peer=198.51.100.3:40000 picture=" + id));

  line_client too_many;
  too_many.send(proxy_header("127.0.0.1") + proxy_header("127.0.0.1") +
                proxy_header("127.0.0.1") + proxy_header("198.51.100.4") +
                "list\n");
  EXPECT_EQ(0u, too_many.bytes_until_closed());
}

TEST_F(guessing, a_proxy_header_is_a_command_elsewhere) {
  line_client remote("192.0.2.7");
  remote.send(proxy_header("198.51.100.1"));
  EXPECT_EQ("Unknown command", remote.line());
  // Counted as itself: the client it named still has its budget.
  EXPECT_FALSE(opens(remote, id, wrong_candidates(32) + " " + password));
  line_client named("198.51.100.1");
  EXPECT_TRUE(opens(named, id, password));

  line_client later;
  later.send_line("list");
  later.block();
  later.send(proxy_header("198.51.100.1"));
  EXPECT_EQ("Unknown command", later.line());
}

TEST_F(guessing, a_malformed_proxy_header_from_loopback_closes) {
  line_client c;
  c.send("PROXY TCP4 198.51.100.1 127.0.0.1 40000\r\nlist\n");
  EXPECT_EQ(0u, c.bytes_until_closed());
  EXPECT_TRUE(
      logged(service, "WARN", "malformed_proxy_line", "peer=127.0.0.1:[0-9]*"));
}

}  // namespace
