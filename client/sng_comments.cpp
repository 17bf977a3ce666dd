#include "client/sng_comments.h"

#include <algorithm>
#include <array>

namespace client {
namespace {

// Characters after which a word begins.
bool separates_words(char c) {
  constexpr std::string_view separators = " \t\r:;{}(),";
  return separators.find(c) != std::string_view::npos;
}

// How quarn's reader takes the value of a field word: the rest of the line,
// or the next word.
enum class value_reach { rest_of_line, next_word };

struct verbatim_field {
  std::string_view word;
  value_reach reach;
};

constexpr std::array<verbatim_field, 2> verbatim_fields{{
    {"text", value_reach::rest_of_line},
    {"keyword", value_reach::next_word},
}};

// The field that `rest` starts with, as a whole word with an optional ":" or
// ";" after it; its length goes to `length`.
const verbatim_field* field_at(std::string_view rest, std::size_t& length) {
  for (const verbatim_field& field : verbatim_fields) {
    if (!rest.starts_with(field.word)) continue;
    length = field.word.size();
    if (length < rest.size() && (rest[length] == ':' || rest[length] == ';'))
      ++length;
    if (length == rest.size() || rest[length] == ' ' || rest[length] == '\t')
      return &field;
  }
  return nullptr;
}

// Where the unquoted value of `field`, which starts at or after `from` in
// `line`, ends; `from` when the value is quoted or missing.
std::size_t verbatim_end(std::string_view line, std::size_t from,
                         const verbatim_field& field) {
  const std::size_t value = line.find_first_not_of(" \t", from);
  if (value == std::string_view::npos || line[value] == '"') return from;
  if (field.reach == value_reach::rest_of_line) return line.size();
  return std::min(line.find_first_of(" \t", value), line.size());
}

// Appends `line` (no line feed) without its comment. `quoted` says whether
// the line starts inside double quotes, and is left saying whether it ends
// inside them.
void strip_line(std::string_view line, bool& quoted, std::string& out) {
  const std::size_t line_start = out.size();
  bool word_start = true;
  for (std::size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (quoted || c == '"') {
      quoted = quoted ? c != '"' : true;
      out += c;
      word_start = false;
      ++i;
      continue;
    }
    std::size_t length = 0;
    const verbatim_field* field =
        word_start ? field_at(line.substr(i), length) : nullptr;
    if (field != nullptr) {
      const std::size_t end = verbatim_end(line, i + length, *field);
      out.append(line.substr(i, end - i));
      word_start = true;  // a blank, a tab or the line's end follows
      i = end;
      continue;
    }
    if (word_start && c == '#') {
      const std::size_t kept = out.find_last_not_of(" \t");
      out.resize(kept == std::string::npos || kept < line_start ? line_start
                                                                : kept + 1);
      return;
    }
    out += c;
    word_start = separates_words(c);
    ++i;
  }
}

}  // namespace

std::string without_comments(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);  // and the line feed an upload may add
  bool quoted = false;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (!quoted && line.find_first_of("#\"") == std::string_view::npos)
      out.append(line);
    else
      strip_line(line, quoted, out);
    if (end < text.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace client
