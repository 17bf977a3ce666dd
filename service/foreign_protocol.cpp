#include "service/foreign_protocol.h"

#include <algorithm>

namespace {

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The characters of an HTTP token other than letters and digits.
constexpr std::string_view token_symbols = "!#$%&'*+-.^_`|~";

// A method as browsers send them: an HTTP token of upper-case letters,
// digits and symbols, beginning with a letter.
bool is_method(std::string_view word) {
  return !word.empty() && is_upper(word.front()) &&
         std::all_of(word.begin(), word.end(), [](char c) {
           return is_upper(c) || is_digit(c) ||
                  token_symbols.find(c) != token_symbols.npos;
         });
}

bool is_target(std::string_view word) {
  return !word.empty() && std::none_of(word.begin(), word.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte == 0x7f;
  });
}

// "HTTP/1.1", "HTTP/1.0", "HTTP/2".
bool is_version(std::string_view word) {
  constexpr std::string_view name = "HTTP/";
  if (!word.starts_with(name)) return false;
  word.remove_prefix(name.size());
  return (word.size() == 1 && is_digit(word[0])) ||
         (word.size() == 3 && is_digit(word[0]) && word[1] == '.' &&
          is_digit(word[2]));
}

bool is_request_line(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == line.npos || first == last) return false;
  return is_method(line.substr(0, first)) &&
         is_target(line.substr(first + 1, last - first - 1)) &&
         is_version(line.substr(last + 1));
}

bool is_host_header(std::string_view line) {
  constexpr std::string_view name = "host:";
  return line.size() >= name.size() &&
         std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
           return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
         });
}

}  // namespace

bool is_foreign_protocol_line(std::string_view line) {
  return is_request_line(line) || is_host_header(line);
}
