// Hides a text in the low bits of randomly chosen pixels of a picture, one
// byte per pixel, and reads it back from the positions. Positions come from a
// generator of the calling thread seeded from the operating system's entropy,
// so they cannot be derived from the clock or from the picture's time stamp.
#pragma once

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "sng/sng.h"

// A position in a picture: column x, row y.
struct pixel {
  std::uint32_t x;
  std::uint32_t y;
};

// Orders by x, then by y.
bool operator<(const pixel& left, const pixel& right);

// Writes x, ":" and y with the stream's current settings.
std::ostream& operator<<(std::ostream& out, const pixel& position);

// A random position inside width x height that is not in `used`: x and y
// drawn uniformly, x first, again while the position is used. Both
// dimensions must be at least 1 and `used` must leave a position free.
pixel get_next(const std::set<pixel>& used, long width, long height);

namespace stego {

// Hides `text` in `picture` and returns one distinct position per byte, in
// text order. Returns an empty list and leaves the picture unchanged when the
// text is empty, does not fit in half the pixels, or any byte cannot be
// stored (a palette with no room for a changed colour).
std::vector<pixel> put(sng& picture, const std::string& text);

// The bytes hidden at `positions`, in their order; a position outside the
// picture gives the byte 0.
std::string get(const sng& picture, const std::vector<pixel>& positions);

}  // namespace stego
