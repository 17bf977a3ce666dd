// Small text functions shared by the command loop, the SNG reader and the SNG
// writer. None keeps state or throws anything of its own.
#pragma once

#include <sstream>
#include <string>
#include <vector>

// Pieces of `text` between occurrences of `delimiter`, as std::getline reads
// them: two delimiters in a row give an empty piece, a delimiter at the very
// end gives no last piece, and the empty text gives no piece at all.
std::vector<std::string> split(const std::string& text, char delimiter);
// The number of pieces split(text, delimiter) returns.
std::size_t count_pieces(const std::string& text, char delimiter);

// A copy of `text` in which every character found by strchr in `set` (so also
// every zero byte) is `replacement`.
std::string replace(const std::string& text, const char* set, char replacement);

// Number of line feeds in `text`.
int count_lines(const std::string& text);

// The elements from `begin` to `end`, each written with its operator<<, with
// `separator` between neighbours and nothing before or after.
template <class Container>
std::string join(typename Container::const_iterator begin,
                 typename Container::const_iterator end,
                 const std::string& separator) {
  std::ostringstream out;
  if (begin != end) {
    out << *begin;
    for (++begin; begin != end; ++begin) out << separator << *begin;
  }
  return out.str();
}

template <class Container>
std::string join(const Container& container, const std::string& separator) {
  return join<Container>(container.begin(), container.end(), separator);
}
