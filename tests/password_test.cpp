#include "service/password.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// The plain comparison table, two rows at a time.
int reference_common_length(const std::string& candidate,
                            const std::string& stored) {
  std::vector<int> previous(stored.size() + 1, 0);
  std::vector<int> current(stored.size() + 1, 0);
  for (const char c : candidate) {
    for (std::size_t j = 1; j <= stored.size(); ++j)
      current[j] = c == stored[j - 1] ? previous[j - 1] + 1
                                      : std::max(previous[j], current[j - 1]);
    std::swap(previous, current);
  }
  return previous[stored.size()];
}

// Checks that the verdict changes exactly where a common length of `common`
// puts the threshold. Appending a byte that occurs in neither string to the
// stored password raises its length only; appending it to both raises both
// lengths. Either shift moves the pair across the threshold step by step.
void expect_threshold_at(const std::string& candidate,
                         const std::string& stored, int common) {
  const int stored_length = static_cast<int>(stored.size());
  const auto pad = [](const std::string& text, int count) {
    return text + std::string(count, 'z');
  };
  if (4 * common < 3 * stored_length) {
    const int both = 3 * stored_length - 4 * common;
    EXPECT_TRUE(check_psw(pad(candidate, both), pad(stored, both)));
    EXPECT_FALSE(check_psw(pad(candidate, both - 1), pad(stored, both - 1)));
  } else {
    const int extra = (4 * common - 3 * stored_length) / 3;
    EXPECT_TRUE(check_psw(candidate, pad(stored, extra)));
    EXPECT_FALSE(check_psw(candidate, pad(stored, extra + 1)));
  }
}

std::string random_text(std::mt19937& random, std::size_t length,
                        char last_letter) {
  std::uniform_int_distribution<int> letter('a', last_letter);
  std::string text(length, ' ');
  for (char& c : text) c = static_cast<char>(letter(random));
  return text;
}

}  // namespace

TEST(check_psw, needs_three_quarters_of_the_stored_length_rounded_up) {
  const std::string letters = "abcdefghijklmnop";
  const struct {
    int stored_length;
    int smallest_passing;
  } table[] = {{1, 1}, {2, 2}, {3, 3}, {4, 3},  {5, 4},
               {6, 5}, {7, 6}, {8, 6}, {12, 9}, {16, 12}};
  for (const auto& row : table) {
    const std::string stored = letters.substr(0, row.stored_length);
    SCOPED_TRACE(stored);
    EXPECT_TRUE(check_psw(stored.substr(0, row.smallest_passing), stored));
    EXPECT_FALSE(check_psw(stored.substr(0, row.smallest_passing - 1), stored));
  }
}

TEST(check_psw, passes_the_stored_password_among_any_other_bytes) {
  EXPECT_TRUE(check_psw("secret", "secret"));
  const std::string noise(5000, 'x');
  EXPECT_TRUE(
      check_psw(noise + "s" + noise + "ecr" + noise + "et" + noise, "secret"));
  EXPECT_TRUE(check_psw(std::string("\xff\x00\x80", 3),
                        std::string("\xff\x00\x80", 3)));
}

TEST(check_psw, tolerates_a_quarter_of_the_bytes_wrong_and_no_more) {
  EXPECT_TRUE(check_psw("abXd", "abcd"));
  EXPECT_FALSE(check_psw("aXYd", "abcd"));
  EXPECT_FALSE(check_psw("bc", "abc"));
  EXPECT_FALSE(check_psw("ac", "abc"));
  EXPECT_FALSE(check_psw("ab", "abc"));
}

TEST(check_psw, compares_bytes_exactly_and_in_order) {
  EXPECT_FALSE(check_psw("A", "a"));
  EXPECT_FALSE(check_psw("ba", "ab"));
  EXPECT_FALSE(check_psw("hgfedcba", "abcdefgh"));
  EXPECT_FALSE(check_psw(std::string("\x7f", 1), std::string("\xff", 1)));
}

TEST(check_psw, fails_an_empty_candidate_and_passes_an_empty_stored_password) {
  EXPECT_FALSE(check_psw("", "a"));
  EXPECT_TRUE(check_psw("", ""));
  EXPECT_TRUE(check_psw("anything", ""));
}

TEST(check_psw, takes_the_threshold_from_the_stored_password_only) {
  EXPECT_FALSE(check_psw("abcd", "abcdefghijklmnop"));
  EXPECT_TRUE(check_psw("abcdefghijklmnop", "abcd"));
}

TEST(check_psw, agrees_with_the_plain_table_on_random_pairs) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> any_length(0, 300);
  std::uniform_int_distribution<int> alphabet('b', 'e');
  const std::vector<std::size_t> word_edges = {0,   1,   63,  64,  65,
                                               127, 128, 129, 191, 192};
  std::uniform_int_distribution<std::size_t> edge(0, word_edges.size() - 1);
  for (int round = 0; round < 200; ++round) {
    const bool at_edge = round % 2 == 0;
    const std::size_t stored_length =
        at_edge ? word_edges[edge(random)] : any_length(random);
    const char last_letter = static_cast<char>(alphabet(random));
    const std::string stored = random_text(random, stored_length, last_letter);
    // One check serves every candidate, as getpic uses it.
    password_check check(stored);
    for (int trial = 0; trial < 2; ++trial) {
      const std::string candidate =
          random_text(random, any_length(random), last_letter);
      SCOPED_TRACE(candidate + " / " + stored);
      const int common = reference_common_length(candidate, stored);
      expect_threshold_at(candidate, stored, common);
      EXPECT_EQ(4 * common >= 3 * static_cast<int>(stored.size()),
                check.passes(candidate));
    }
  }
}
