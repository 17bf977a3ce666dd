#include "sng/strlib.h"

#include <algorithm>
#include <cstring>

std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  // Exactly as many elements as pieces: a line of four million blanks makes
  // four million empty pieces, none of which allocates.
  pieces.reserve(count_pieces(text, delimiter));
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find(delimiter, start);
    if (end == std::string::npos) end = text.size();
    pieces.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return pieces;
}

std::size_t count_pieces(const std::string& text, char delimiter) {
  if (text.empty()) return 0;
  const auto delimiters =
      static_cast<std::size_t>(std::count(text.begin(), text.end(), delimiter));
  return text.back() == delimiter ? delimiters : delimiters + 1;
}

std::string replace(const std::string& text, const char* set,
                    char replacement) {
  std::string result(text);
  for (char& c : result)
    if (std::strchr(set, c) != nullptr) c = replacement;
  return result;
}

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}
