#include "sng/strlib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/quarn.h"

namespace {

using words = std::vector<std::string>;

TEST(split, cuts_at_every_blank_like_getline) {
  EXPECT_EQ(words{"list"}, split("list", ' '));
  EXPECT_EQ((words{"a", "", "b"}), split("a  b", ' '));
  EXPECT_EQ((words{"", "list"}), split(" list", ' '));
  EXPECT_EQ(words{"list"}, split("list ", ' '));
  EXPECT_EQ((words{"a", ""}), split("a  ", ' '));
  EXPECT_EQ(words{""}, split(" ", ' '));
  EXPECT_EQ(words{}, split("", ' '));
}

TEST(replace, turns_every_character_of_the_set_into_the_replacement) {
  EXPECT_EQ(" 255,  0)", replace("(255,  0)", "(", ' '));
  EXPECT_EQ(" 1 2 3  a9", replace("(1,2,3) a9", "(),", ' '));
  EXPECT_EQ(std::string("a b"), replace(std::string("a\0b", 3), "()", ' '));
}

TEST(count_lines, counts_line_feeds_only) {
  EXPECT_EQ(1, count_lines("one\ntwo"));
  EXPECT_EQ(2, count_lines("one\ntwo\n"));
  EXPECT_EQ(0, count_lines(""));
}

TEST(join, puts_the_separator_between_neighbours_only) {
  EXPECT_EQ("", join(std::vector<short>{}, " "));
  EXPECT_EQ("7", join(std::vector<short>{7}, " "));
  EXPECT_EQ("1 -2 3", join(std::vector<short>{1, -2, 3}, " "));
}

TEST(int_to_string, writes_plain_decimal) {
  EXPECT_EQ("-5", int_to_string(-5));
  EXPECT_EQ("0", int_to_string(0));
  EXPECT_EQ("2147483647", int_to_string(2147483647));
}

TEST(string_to_int, reads_a_leading_number_like_atoi) {
  EXPECT_EQ(42, string_to_int(" 42abc"));
  EXPECT_EQ(0, string_to_int("abc"));
  EXPECT_EQ(-7, string_to_int("-7"));
  EXPECT_EQ(3, string_to_int("+3"));
  EXPECT_EQ(0, string_to_int(""));
  EXPECT_EQ(2147483647, string_to_int("99999999999999999999"));
  EXPECT_EQ(-2147483647 - 1, string_to_int("-99999999999"));
}

}  // namespace
