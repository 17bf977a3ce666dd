#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "loadgen/hostile_requests.h"
#include "loadgen/measurement.h"
#include "loadgen/process_watch.h"

namespace loadgen {
namespace {

// The words of `line` after its first two ("getpic" and the identifier).
std::vector<std::string_view> candidates_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t begin = 0;
  for (std::size_t blank; (blank = line.find(' ', begin)) != line.npos;
       begin = blank + 1)
    words.push_back(line.substr(begin, blank - begin));
  words.push_back(line.substr(begin));
  return {words.begin() + 2, words.end()};
}

TEST(hostile_requests, password_holds_many_byte_values_a_stored_password_can) {
  const std::string password = hostile_password(4096);
  ASSERT_EQ(password.size(), 4096u);
  for (const char byte : password) {
    EXPECT_GT(static_cast<unsigned char>(byte), ' ');
    EXPECT_NE(byte, '"');
    EXPECT_NE(byte, '}');
    EXPECT_NE(byte, '\x7f');
  }
  EXPECT_GT(distinct_bytes(password).size(), 200u);
}

TEST(hostile_requests, candidates_fill_a_line_with_bytes_of_the_password) {
  const std::string alphabet = distinct_bytes("kite");
  EXPECT_EQ(alphabet, "eikt");
  const std::string line = candidates_line("1f.sng", 5, alphabet, 40);
  ASSERT_TRUE(line.ends_with('\n'));
  EXPECT_TRUE(line.starts_with("getpic 1f.sng "));
  // 13 bytes of "getpic 1f.sng", then 4 candidates of 1 + 5 bytes fit in 40.
  EXPECT_EQ(line.size(), 13u + 4 * 6 + 1);
  const std::vector<std::string_view> candidates =
      candidates_of(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_EQ(candidates.size(), 4u);
  for (const std::string_view candidate : candidates) {
    EXPECT_EQ(candidate.size(), 5u);
    EXPECT_EQ(candidate.find_first_not_of(alphabet), candidate.npos);
  }
}

// The length of the longest common subsequence of `a` and `b`: how many of
// a stored password's bytes a candidate holds in order.
std::size_t common_subsequence(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1, 0);
  for (const char byte : a) {
    std::size_t diagonal = 0;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = byte == b[j - 1] ? diagonal + 1 : std::max(above, row[j - 1]);
      diagonal = above;
    }
  }
  return row[b.size()];
}

TEST(hostile_requests, the_dictionary_is_fixed_and_only_its_password_opens) {
  const std::vector<std::string> words = dictionary_words(dictionary_size);
  ASSERT_EQ(words.size(), dictionary_size);
  EXPECT_EQ(std::set(words.begin(), words.end()).size(), dictionary_size);
  const std::string& password = words[dictionary_password_index];
  // Figures taken before and after a change of the service compare the same
  // attack only while the words stay the same.
  EXPECT_EQ(password, "fgekqfyhf");
  // A candidate passes when it holds three quarters of the password in
  // order: then the guesses that open the picture are counted exactly.
  for (std::size_t i = 0; i < words.size(); ++i)
    EXPECT_EQ(4 * common_subsequence(words[i], password) >= 3 * password.size(),
              i == dictionary_password_index)
        << i << ": " << words[i];
}

TEST(hostile_requests, guessing_lines_offer_every_word_in_order) {
  const std::vector<std::string> words = {"alpha", "beta", "gamma", "delta",
                                          "epsilon"};
  EXPECT_EQ(guessing_lines("a.sng", words, 2),
            (std::vector<std::string>{"getpic a.sng alpha beta\n",
                                      "getpic a.sng gamma delta\n",
                                      "getpic a.sng epsilon\n"}));
}

TEST(process_watch, reads_cpu_time_after_a_command_name_with_parentheses) {
  const auto fields = parse_stat(
      "42 (odd) name) S 1 42 42 0 -1 4194560 10 0 0 0 250 31 0 0 20 0 3 0");
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->state, 'S');
  EXPECT_EQ(fields->cpu_ticks, 281u);
  EXPECT_FALSE(parse_stat("42 (cut"));
}

TEST(process_watch, reads_a_named_number_only_at_the_start_of_a_line) {
  const std::string status = "Name:\tquarn\nXVmRSS:\t9 kB\nVmRSS:\t  2144 kB\n";
  EXPECT_EQ(named_number(status, "VmRSS"), 2144u);
  EXPECT_EQ(named_number("VmHWM: 7 kB\n", "VmHWM"), 7u);
  EXPECT_FALSE(named_number(status, "VmHWM"));
}

TEST(list_samples, count_a_missing_answer_as_the_wait_and_leave_closed_out) {
  using result = list_sample::result;
  std::vector<list_sample> samples(198, {result::answered, 2'000'000});
  samples.push_back({result::closed, 1'000'000'000'000});
  samples.push_back({result::no_answer, 12'000'000'000});
  const list_summary summary = summarize_list_samples(samples);
  EXPECT_EQ(summary.samples, 200u);
  EXPECT_EQ(summary.answered, 198u);
  EXPECT_EQ(summary.closed, 1u);
  EXPECT_EQ(summary.no_answer, 1u);
  EXPECT_EQ(summary.max_ms, 10000);
  EXPECT_EQ(summary.p99_ms, 2);
}

}  // namespace
}  // namespace loadgen
