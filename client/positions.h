// Pixel positions as people and the service write them: x, ":" and y in
// decimal, positions separated by blanks (or any white space).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "stego/stego.h"

namespace client {

// The positions in `text`, in order; nothing when a word is not x:y with
// both numbers in 0 .. 4294967295. Runs of white space (blanks, tabs, line
// feeds, carriage returns) separate them and may stand at either end.
std::optional<std::vector<pixel>> parse_positions(const std::string& text);

// The positions in `text`, of which there must be at least one; throws
// usage_error otherwise.
std::vector<pixel> required_positions(const std::string& text);

// The positions separated by single blanks.
std::string format_positions(const std::vector<pixel>& positions);

}  // namespace client
