#include "client/positions.h"

#include <charconv>

#include "client/errors.h"
#include "sng/strlib.h"

namespace client {
namespace {

// What separates positions: a person copying them by hand brings line feeds,
// carriage returns and blanks at either end along.
constexpr const char* white_space = " \t\r\n\v\f";

// A decimal number that spans all of [first, last).
std::optional<std::uint32_t> whole_number(const char* first, const char* last) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (first == last || error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<pixel> parse_position(const std::string& word) {
  const auto colon = word.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const char* begin = word.data();
  const auto x = whole_number(begin, begin + colon);
  const auto y = whole_number(begin + colon + 1, begin + word.size());
  if (!x || !y) return std::nullopt;
  return pixel{*x, *y};
}

}  // namespace

std::optional<std::vector<pixel>> parse_positions(const std::string& text) {
  std::vector<pixel> positions;
  std::size_t start = text.find_first_not_of(white_space);
  while (start != std::string::npos) {
    const std::size_t end = text.find_first_of(white_space, start);
    const auto position = parse_position(text.substr(start, end - start));
    if (!position) return std::nullopt;
    positions.push_back(*position);
    start = text.find_first_not_of(white_space, end);
  }
  return positions;
}

std::vector<pixel> required_positions(const std::string& text) {
  const auto positions = parse_positions(text);
  if (!positions)
    throw usage_error("bad positions \"" + text.substr(0, 80) +
                      "\": write them x:y, separated by blanks");
  if (positions->empty()) throw usage_error("no positions given");
  return *positions;
}

std::string format_positions(const std::vector<pixel>& positions) {
  return join(positions, " ");
}

}  // namespace client
