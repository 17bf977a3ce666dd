#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "storage/index_file.h"

namespace {

// The words a standard stream reads from `text`.
std::vector<std::string> stream_words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(index_names, are_the_words_a_stream_reads_from_the_index) {
  // Every byte a stream skips or keeps, in runs of either.
  const std::string bytes = std::string("ab.1 \t\n\v\f\r\x1c\x85") + '\0';
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 24, ' ');
    for (char& c : text) c = bytes[random() % bytes.size()];
    const std::vector<std::string_view> names = index_names(text);
    EXPECT_EQ(stream_words(text),
              std::vector<std::string>(names.begin(), names.end()))
        << testing::PrintToString(text);
  }
}

}  // namespace
