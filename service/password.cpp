// check_psw compares a candidate with the stored password by the length of
// their longest common subsequence. It computes that length bit-parallel
// (Allison-Dix, in Hyyro's form): one row of the comparison table is held as
// a bit vector over the stored password's positions, 64 positions per word,
// and each candidate byte advances the whole row with one add-with-carry pass.
// Memory grows with the stored password only, and lives on the heap.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/quarn.h"

namespace {

using word = std::uint64_t;
constexpr std::size_t word_bits = 64;

// For each byte value that occurs in the stored password, a bit vector with
// bit j set where position j holds that byte. Byte values that do not occur
// get no vector: they can never extend a common subsequence.
class match_masks {
 public:
  explicit match_masks(const std::string& stored)
      : words_((stored.size() + word_bits - 1) / word_bits) {
    row_of_.fill(absent);
    std::size_t rows = 0;
    for (const char byte : stored) {
      std::size_t& row = row_of_[static_cast<unsigned char>(byte)];
      if (row == absent) row = rows++;
    }
    masks_.assign(rows * words_, 0);
    for (std::size_t j = 0; j < stored.size(); ++j) {
      const std::size_t row = row_of_[static_cast<unsigned char>(stored[j])];
      masks_[row * words_ + j / word_bits] |= word{1} << (j % word_bits);
    }
  }

  std::size_t words() const { return words_; }

  // The vector for `byte`, words() words long; nullptr when it does not occur.
  const word* find(unsigned char byte) const {
    const std::size_t row = row_of_[byte];
    return row == absent ? nullptr : &masks_[row * words_];
  }

 private:
  static constexpr std::size_t absent = SIZE_MAX;

  std::size_t words_;
  std::array<std::size_t, 256> row_of_;
  std::vector<word> masks_;
};

// Advances the row vector by one candidate byte whose match vector is
// `match`: row = (row + (row & match)) | (row & ~match), the addition carried
// across words from the lowest position up.
void advance_row(std::vector<word>& row, const word* match) {
  word carry = 0;
  for (std::size_t k = 0; k < row.size(); ++k) {
    const word old = row[k];
    const word with_carry = old + carry;
    const word sum = with_carry + (old & match[k]);
    carry = (with_carry < carry) | (sum < with_carry);
    row[k] = sum | (old & ~match[k]);
  }
}

// The length of the longest common subsequence of the two byte strings.
// Each zero bit of the row vector marks one step of that length; the bits
// past the stored password's end start as ones and stay ones.
std::uint64_t common_subsequence_length(const std::string& candidate,
                                        const std::string& stored) {
  const match_masks masks(stored);
  std::vector<word> row(masks.words(), ~word{0});
  for (const char byte : candidate) {
    if (const word* match = masks.find(static_cast<unsigned char>(byte)))
      advance_row(row, match);
  }
  std::uint64_t ones = 0;
  for (const word bits : row) ones += std::popcount(bits);
  return row.size() * word_bits - ones;
}

}  // namespace

bool check_psw(const std::string& candidate, const std::string& stored) {
  const std::uint64_t common = common_subsequence_length(candidate, stored);
  return 4 * common >= 3 * static_cast<std::uint64_t>(stored.size());
}
