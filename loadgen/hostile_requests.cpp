#include "loadgen/hostile_requests.h"

#include <array>
#include <random>

namespace loadgen {
namespace {

// Seeds of the pseudo-random bytes: fixed, so that every run sends the same.
constexpr std::uint32_t password_seed = 4096;
constexpr std::uint32_t secret_seed = 1303;
constexpr std::uint32_t candidates_seed = 8208;

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

}  // namespace loadgen
