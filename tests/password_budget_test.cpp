// The password budget with a clock the test moves, and the addresses it
// counts clients by.
#include "service/password_budget.h"

#include <gtest/gtest.h>

#include <string>

#include "service/client_address.h"

namespace {

using namespace std::chrono_literals;
using verdict = password_budget::verdict;

budget_key ipv4(const std::string& address) {
  return client_address::parse(client_address::family::ipv4, address, 0)->key();
}

budget_key ipv6(const std::string& address) {
  return client_address::parse(client_address::family::ipv6, address, 0)->key();
}

class budget_clock : public ::testing::Test {
 protected:
  password_budget make_budget(password_budget::limits limits = {}) {
    return password_budget(limits, [this] { return now; });
  }

  // How many comparisons `client` may make now (and makes, until one is
  // refused).
  static int comparisons_left(password_budget& budget,
                              const budget_key& client) {
    int taken = 0;
    while (budget.take(client) == verdict::compare) ++taken;
    return taken;
  }

  password_budget::clock::time_point now{};
};

TEST_F(budget_clock, allows_32_at_once_then_one_a_second_never_above_32) {
  password_budget budget = make_budget();
  const budget_key guesser = ipv4("192.0.2.7");
  EXPECT_EQ(32, comparisons_left(budget, guesser));
  now += 999ms;
  EXPECT_EQ(verdict::spent, budget.take(guesser));
  now += 1ms;
  EXPECT_EQ(1, comparisons_left(budget, guesser));
  now += 5s;
  EXPECT_EQ(5, comparisons_left(budget, guesser));
  now += 1h;
  EXPECT_EQ(32, comparisons_left(budget, guesser));
}

TEST_F(budget_clock, a_comparison_given_back_costs_nothing) {
  password_budget budget = make_budget();
  const budget_key client = ipv4("192.0.2.7");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(verdict::compare, budget.take(client));
    budget.give_back(client);
  }
  EXPECT_EQ(0u, budget.tracked());
  EXPECT_EQ(32, comparisons_left(budget, client));
}

TEST_F(budget_clock, a_spent_budget_is_to_be_logged_once_a_minute) {
  password_budget budget = make_budget();
  const budget_key guesser = ipv4("192.0.2.7");
  EXPECT_EQ(32, comparisons_left(budget, guesser));  // and logs
  EXPECT_EQ(verdict::spent, budget.take(guesser));
  now += 59s;
  EXPECT_EQ(32, comparisons_left(budget, guesser));
  EXPECT_EQ(verdict::spent, budget.take(guesser));
  now += 1s;
  EXPECT_EQ(verdict::compare, budget.take(guesser));
  EXPECT_EQ(verdict::spent_log, budget.take(guesser));
}

TEST_F(budget_clock, counts_an_ipv6_network_of_64_bits_as_one_client) {
  password_budget budget = make_budget();
  EXPECT_EQ(32, comparisons_left(budget, ipv6("2001:db8:1:2::7")));
  EXPECT_EQ(0, comparisons_left(budget, ipv6("2001:db8:1:2:ffff::1")));
  EXPECT_EQ(32, comparisons_left(budget, ipv6("2001:db8:1:3::7")));
  // Addresses one apart are clients of their own in IPv4.
  EXPECT_EQ(32, comparisons_left(budget, ipv4("192.0.2.7")));
  EXPECT_EQ(32, comparisons_left(budget, ipv4("192.0.2.8")));
}

TEST_F(budget_clock, counts_an_ipv4_mapped_address_as_the_ipv4_address) {
  password_budget budget = make_budget();
  EXPECT_EQ(32, comparisons_left(budget, ipv6("::ffff:192.0.2.7")));
  EXPECT_EQ(0, comparisons_left(budget, ipv4("192.0.2.7")));
  // The first 64 bits of an IPv6 address are no IPv4 address.
  EXPECT_EQ(32, comparisons_left(budget, ipv6("0:0:c000:207::1")));
}

TEST_F(budget_clock, forgets_whole_budgets_first_then_the_one_whole_soonest) {
  password_budget budget = make_budget({.clients = 3});
  for (int i = 0; i < 10; ++i) budget.take(ipv4("192.0.2.1"));
  budget.take(ipv4("192.0.2.2"));
  for (int i = 0; i < 5; ++i) budget.take(ipv4("192.0.2.3"));
  now += 2s;
  // .2 is whole again and goes; then .4, whole again before .3 and .1.
  budget.take(ipv4("192.0.2.4"));
  budget.take(ipv4("192.0.2.5"));
  EXPECT_EQ(3u, budget.tracked());
  EXPECT_EQ(32 - 10 + 2, comparisons_left(budget, ipv4("192.0.2.1")));
  EXPECT_EQ(32 - 5 + 2, comparisons_left(budget, ipv4("192.0.2.3")));
}

TEST_F(budget_clock, a_flood_of_new_clients_frees_no_spent_budget) {
  password_budget budget = make_budget();
  const budget_key guesser = ipv4("192.0.2.7");
  comparisons_left(budget, guesser);
  for (std::uint64_t i = 0; i < 100'000; ++i)
    budget.take({0x20010db800000000 + i, true});
  EXPECT_LE(budget.tracked(), 65'536u);
  EXPECT_EQ(verdict::spent, budget.take(guesser));
}

TEST(client_address, loopback_is_127_0_0_0_8_and_1_also_mapped) {
  using family = client_address::family;
  for (const auto& [kind, text] : {std::pair{family::ipv4, "127.0.0.1"},
                                   {family::ipv4, "127.255.0.9"},
                                   {family::ipv6, "::1"},
                                   {family::ipv6, "::ffff:127.0.0.2"}})
    EXPECT_TRUE(client_address::parse(kind, text, 1)->is_loopback()) << text;
  for (const auto& [kind, text] : {std::pair{family::ipv4, "128.0.0.1"},
                                   {family::ipv4, "192.0.2.7"},
                                   {family::ipv6, "::2"},
                                   {family::ipv6, "::127.0.0.1"}})
    EXPECT_FALSE(client_address::parse(kind, text, 1)->is_loopback()) << text;
}

TEST(client_address, names_itself_as_the_log_names_peers) {
  using family = client_address::family;
  EXPECT_EQ("192.0.2.7:50412",
            client_address::parse(family::ipv4, "192.0.2.7", 50412)->text());
  EXPECT_EQ("[2001:db8::7]:443",
            client_address::parse(family::ipv6, "2001:db8:0::7", 443)->text());
  EXPECT_EQ("192.0.2.7:1",
            client_address::parse(family::ipv6, "::ffff:c000:207", 1)->text());
}

}  // namespace
