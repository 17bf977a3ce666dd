// Hides a text in the low bits of randomly chosen pixels of a picture, one
// byte per pixel, and reads it back from the positions. Positions come from a
// generator of the calling thread seeded from the operating system's entropy,
// so they cannot be derived from the clock or from the picture's time stamp.
#pragma once

#include <cstdint>
#include <ostream>
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

// A position inside width x height from the calling thread's generator: x
// drawn uniformly first, then y. Both dimensions must be at least 1.
pixel random_position(long width, long height);

// A random position inside width x height that is not in `used`: drawn with
// random_position again while it is used. `used` is any set of positions
// with contains(pixel), std::set<pixel> among them. Both dimensions must be
// at least 1 and `used` must leave a position free.
template <class position_set>
pixel get_next(const position_set& used, long width, long height) {
  pixel position = random_position(width, height);
  while (used.contains(position)) position = random_position(width, height);
  return position;
}

namespace stego {

// Hides `text` in `picture` and returns one distinct position per byte, in
// text order. Returns an empty list and leaves the picture unchanged when the
// text is empty, does not fit in half the pixels, or any byte cannot be
// stored (a palette with no room for a changed colour). Takes time linear in
// the text's length and, besides the list, at most one bit per pixel; except
// when the rows are stored as palette indices while the header names no
// palette: a byte with any of its low six bits set then widens every pixel
// to four samples, and written as indices again, those bits are lost.
std::vector<pixel> put(sng& picture, const std::string& text);

// The bytes hidden at `positions`, in their order; a position outside the
// picture gives the byte 0.
std::string get(const sng& picture, const std::vector<pixel>& positions);

}  // namespace stego
