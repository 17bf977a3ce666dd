// The framing of quarn's line protocol as clients write and read it: a block
// of lines, such as the SNG text of a picture, travels as a line holding the
// number of its lines, then the lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace client {

// The number of line feeds in `text`.
std::size_t count_lines(std::string_view text);

// `text` as a block: its count line, then `text`, whose lines each end with
// a line feed.
std::string block(std::string_view text);

// The number a count line holds, when it is one: decimal digits and nothing
// else.
std::optional<std::size_t> line_count(std::string_view line);

}  // namespace client
