// The requests of quarn-hostile's scenarios: lines and secrets at the
// protocol's limits, built to cost the service as much as one client can
// make them cost. Each comes from a fixed seed: the same bytes every run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace loadgen {

// Longest line the service takes, line feed excluded.
constexpr std::size_t longest_line_bytes = 4 * 1024 * 1024;
// Longest password the service stores with a picture.
constexpr std::size_t longest_password_bytes = 4096;

// Longest candidate the service compares with a stored password of
// `password_bytes` bytes; longer ones never pass.
constexpr std::size_t longest_candidate_bytes(std::size_t password_bytes) {
  return 2 * password_bytes + 16;
}

// A password of `bytes` bytes drawn from every byte value a stored password
// can hold (all but the control bytes, blank, DEL, '"' and '}'), so that as
// many byte values as possible occur in it.
std::string hostile_password(std::size_t bytes);

// A secret of `bytes` printable bytes, no blank among them.
std::string hostile_secret(std::size_t bytes);

// The distinct bytes of `text`, in ascending order.
std::string distinct_bytes(std::string_view text);

// The line "getpic ID" followed by as many candidates of `candidate_bytes`
// bytes each, drawn from `alphabet`, as fit in `line_bytes` (line feed
// excluded), each after one blank; ends with the line feed.
std::string candidates_line(std::string_view id, std::size_t candidate_bytes,
                            std::string_view alphabet, std::size_t line_bytes);

// The dictionary scenario's words, and the position of the one that guards
// its picture (from 0): the 50,000th of 100,000.
constexpr std::size_t dictionary_size = 100'000;
constexpr std::size_t dictionary_password_index = 49'999;

// A made-up dictionary of `count` distinct words of 8 to 12 lower-case
// letters, the same on every run and every standard library: the letters
// come from the random engine's own numbers, which the language fixes, not
// through a distribution, which it leaves to each library. Words this long
// seldom hold three quarters of another in order, so that a guarded picture
// opens for its own word only (hostile_test checks this for the scenario's).
std::vector<std::string> dictionary_words(std::size_t count);

// The getpic lines for the picture `id` that offer `words` in their order,
// `per_line` to a line (the last line may hold fewer), each line ended by a
// line feed.
std::vector<std::string> guessing_lines(std::string_view id,
                                        const std::vector<std::string>& words,
                                        std::size_t per_line);

}  // namespace loadgen
