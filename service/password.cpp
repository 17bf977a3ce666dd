// The common subsequence length is computed bit-parallel (Allison-Dix, in
// Hyyro's form): one row of the comparison table is held as a bit vector over
// the stored password's positions, 64 positions per word, and each candidate
// byte advances the whole row with one add-with-carry pass. Memory grows with
// the stored password only, and lives on the heap.
#include "service/password.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "net/limits.h"

namespace {

constexpr std::size_t absent = SIZE_MAX;

// Candidate bytes advanced between two looks at the common length so far:
// often enough to stop soon after the outcome is settled, rarely enough
// that counting the row's bits costs little beside advancing it.
constexpr std::size_t bytes_between_counts = 64;

}  // namespace

password_check::password_check(const std::string& stored)
    : needed_((3 * std::uint64_t{stored.size()} + 3) / 4),
      words_((stored.size() + word_bits - 1) / word_bits),
      row_(words_) {
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

// Each zero bit of the row marks one step of the common length; the bits
// past the stored password's end start as ones and stay ones. Every
// candidate byte adds at most one to the common length, so a candidate is
// settled as soon as the length reaches the threshold or the bytes left
// can no longer make up the difference; an empty or too short candidate
// needs no comparison at all.
bool password_check::passes(std::string_view candidate) {
  if (candidate.size() < needed_) return false;
  std::fill(row_.begin(), row_.end(), ~word{0});
  std::uint64_t common = 0;
  std::size_t done = 0;
  while (common < needed_ && common + (candidate.size() - done) >= needed_) {
    const std::size_t end =
        std::min(candidate.size(), done + bytes_between_counts);
    for (; done < end; ++done) {
      const std::size_t row =
          row_of_[static_cast<unsigned char>(candidate[done])];
      // A byte that does not occur in the stored password changes nothing.
      if (row != absent) advance_row(&masks_[row * words_]);
    }
    common = common_length();
  }
  return common >= needed_;
}

std::size_t password_check::memory_bytes(std::size_t stored_size) {
  const std::size_t words = (stored_size + word_bits - 1) / word_bits;
  const std::size_t rows = std::min<std::size_t>(stored_size, 256) + 1;
  return rows * words * sizeof(word);
}

std::uint64_t password_check::common_length() const {
  std::uint64_t ones = 0;
  for (const word bits : row_) ones += std::popcount(bits);
  return row_.size() * word_bits - ones;
}

// Advances the row by one candidate byte whose match vector is `match`:
// row = (row + (row & match)) | (row & ~match), the addition carried across
// words from the lowest position up.
void password_check::advance_row(const word* match) {
  word carry = 0;
  for (std::size_t k = 0; k < row_.size(); ++k) {
    const word old = row_[k];
    const word with_carry = old + carry;
    const word sum = with_carry + (old & match[k]);
    carry = (with_carry < carry) | (sum < with_carry);
    row_[k] = sum | (old & ~match[k]);
  }
}

bool check_psw(const std::string& candidate, const std::string& stored) {
  return password_check(stored).passes(candidate);
}

bool any_candidate_passes(const std::string& stored,
                          std::span<const std::string> candidates,
                          comparison_allowance& allowance) {
  const std::size_t longest = 2 * stored.size() + candidate_slack_bytes;
  // Built for the first candidate compared: a client whose allowance is
  // spent costs no tables.
  std::optional<password_check> check;
  for (const std::string& candidate : candidates) {
    if (candidate.empty() || candidate.size() > longest) continue;
    if (!allowance.take()) return false;
    if (!check) check.emplace(stored);
    if (check->passes(candidate)) {
      allowance.give_back();
      return true;
    }
  }
  return false;
}

bool any_candidate_passes(const std::string& stored,
                          std::span<const std::string> candidates) {
  struct : comparison_allowance {
    bool take() override { return true; }
    void give_back() override {}
  } unlimited;
  return any_candidate_passes(stored, candidates, unlimited);
}
