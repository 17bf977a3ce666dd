#include "client/line_protocol.h"

#include <algorithm>
#include <charconv>

namespace client {

std::size_t count_lines(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string block(std::string_view text) {
  return std::to_string(count_lines(text)) + "\n" + std::string(text);
}

std::optional<std::size_t> line_count(std::string_view line) {
  std::size_t count = 0;
  const char* end = line.data() + line.size();
  const auto [stop, error] = std::from_chars(line.data(), end, count);
  if (line.empty() || error != std::errc() || stop != end) return std::nullopt;
  return count;
}

}  // namespace client
