// The password check: a candidate passes when its longest common
// subsequence with the stored password is at least three quarters as long
// as the stored password. Bytes are compared exactly, case and all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Checks any number of candidates against one stored password. The stored
// password's match vectors are built once, on construction; a candidate then
// costs time proportional to its length times the stored length / 64, and
// no memory. Holds a working row, so one thread uses it at a time.
class password_check {
 public:
  explicit password_check(const std::string& stored);

  // The most memory the check of a stored password of `stored_size` bytes
  // holds: a row of masks per byte value that occurs, and the running row.
  static std::size_t memory_bytes(std::size_t stored_size);

  // Whether `candidate` passes against the stored password. An empty
  // stored password passes every candidate.
  bool passes(std::string_view candidate);

 private:
  using word = std::uint64_t;
  static constexpr std::size_t word_bits = 64;

  std::uint64_t common_length() const;
  void advance_row(const word* match);

  // Smallest common length that passes: three quarters of the stored
  // length, rounded up.
  std::uint64_t needed_;
  std::size_t words_;
  // For each byte value, its row of masks_ or `absent` when the byte does
  // not occur in the stored password.
  std::array<std::size_t, 256> row_of_;
  // Per byte value that occurs: bit j set where the stored password's byte
  // j is that value, words_ words per value.
  std::vector<word> masks_;
  std::vector<word> row_;
};

// Whether `candidate` passes against `stored`; see password_check. The
// threshold comes from `stored` alone, so the order of the arguments matters.
bool check_psw(const std::string& candidate, const std::string& stored);

// What comparing candidates may cost: asked for one comparison before each
// candidate is compared, and given it back when that candidate passes.
class comparison_allowance {
 public:
  // Whether one more candidate may be compared; when not, none is.
  virtual bool take() = 0;
  virtual void give_back() = 0;

 protected:
  ~comparison_allowance() = default;
};

// Whether any of `candidates`, tried in order, passes against `stored`, a
// non-empty stored password, as getpic tries them. An empty candidate and
// one longer than twice the stored password plus candidate_slack_bytes are
// not compared and do not pass; the others are compared while `allowance`
// allows.
bool any_candidate_passes(const std::string& stored,
                          std::span<const std::string> candidates,
                          comparison_allowance& allowance);
// The same, without a limit.
bool any_candidate_passes(const std::string& stored,
                          std::span<const std::string> candidates);
