// SNG text for the tests: pictures in the layout the service writes, built
// from a few words.
#pragma once

#include <string>

// A picture of `width` x `height` pixels, all alike.
struct picture_spec {
  int width = 1;
  int height = 1;
  int bitdepth = 8;
  // The header's words after "using"; no "using" line when empty.
  std::string using_words = "color";
  // Every pixel: a word of hexadecimal samples or, with a palette, an index
  // of two digits.
  std::string pixel = "808080";
  // The body of a palette chunk before the rows, which then hold indices;
  // no palette chunk when empty.
  std::string palette;
  // Whole chunks after the time and the palette, before the rows.
  std::string chunks;
  // The lines of the rows, each ended by a line feed, instead of `height`
  // rows of `width` pixels.
  std::string rows;
};

// The SNG text of `spec`: header, gamma, time, palette, `chunks` and rows,
// every line ended by a line feed.
std::string sng_text(const picture_spec& spec);

// An 8-bit RGB picture of the given size, every pixel `hex_pixel`.
std::string rgb_picture(int width, int height,
                        const std::string& hex_pixel = "808080");

// The body of a palette chunk of `count` entries (first + i, first, first),
// as the service writes them.
std::string palette_entries(int count, int first = 0);
