#include "loadgen/hostile_requests.h"

#include <algorithm>
#include <array>
#include <random>
#include <unordered_set>
#include <utility>

namespace loadgen {
namespace {

// Seeds of the pseudo-random bytes: fixed, so that every run sends the same.
constexpr std::uint32_t password_seed = 4096;
constexpr std::uint32_t secret_seed = 1303;
constexpr std::uint32_t candidates_seed = 8208;
constexpr std::uint32_t dictionary_seed = 100'000;

// Lengths of the dictionary's words, in letters.
constexpr std::size_t shortest_word = 8;
constexpr std::size_t longest_word = 12;
constexpr std::size_t letters = 26;

std::string random_bytes(std::size_t count, std::string_view alphabet,
                         std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = alphabet[pick(random)];
  return bytes;
}

std::string byte_range(int first, int last, std::string_view left_out) {
  std::string bytes;
  for (int value = first; value <= last; ++value)
    if (left_out.find(static_cast<char>(value)) == std::string_view::npos)
      bytes += static_cast<char>(value);
  return bytes;
}

}  // namespace

std::string hostile_password(std::size_t bytes) {
  // A stored password is written between double quotes, in a chunk that
  // ends at the first "}"; the command line splits at blanks.
  const std::string alphabet =
      byte_range('!', '~', "\"}") + byte_range(0x80, 0xff, "");
  return random_bytes(bytes, alphabet, password_seed);
}

std::string hostile_secret(std::size_t bytes) {
  return random_bytes(bytes, byte_range('!', '~', ""), secret_seed);
}

std::string distinct_bytes(std::string_view text) {
  std::array<bool, 256> seen{};
  for (const char byte : text) seen[static_cast<unsigned char>(byte)] = true;
  std::string result;
  for (int value = 0; value < 256; ++value)
    if (seen[value]) result += static_cast<char>(value);
  return result;
}

std::string candidates_line(std::string_view id, std::size_t candidate_bytes,
                            std::string_view alphabet, std::size_t line_bytes) {
  std::string line = "getpic " + std::string(id);
  const std::size_t room =
      line_bytes > line.size() ? line_bytes - line.size() : 0;
  const std::size_t count = room / (candidate_bytes + 1);
  const std::string bytes =
      random_bytes(count * candidate_bytes, alphabet, candidates_seed);
  line.reserve(line.size() + count * (candidate_bytes + 1) + 1);
  for (std::size_t i = 0; i < count; ++i)
    (line += ' ').append(bytes, i * candidate_bytes, candidate_bytes);
  line += '\n';
  return line;
}

std::vector<std::string> dictionary_words(std::size_t count) {
  std::mt19937 random(dictionary_seed);
  std::unordered_set<std::string> seen;
  std::vector<std::string> words;
  words.reserve(count);
  while (words.size() < count) {
    std::string word(
        shortest_word + random() % (longest_word - shortest_word + 1), '\0');
    for (char& letter : word)
      letter = static_cast<char>('a' + random() % letters);
    if (seen.insert(word).second) words.push_back(std::move(word));
  }
  return words;
}

std::vector<std::string> guessing_lines(std::string_view id,
                                        const std::vector<std::string>& words,
                                        std::size_t per_line) {
  std::vector<std::string> lines;
  for (std::size_t first = 0; first < words.size(); first += per_line) {
    std::string line = "getpic " + std::string(id);
    const std::size_t end = std::min(first + per_line, words.size());
    for (std::size_t i = first; i < end; ++i) (line += ' ') += words[i];
    line += '\n';
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace loadgen
