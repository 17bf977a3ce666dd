// The pictures the load generator uploads, made by the client's picture
// maker (client/sng_text.h): 8-bit RGB SNG text in exactly the layout the
// service writes, so that a stored picture's pixel rows come back byte for
// byte as they were sent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace loadgen {

struct picture {
  std::string text;  // SNG text, every line ended by a line feed
  int width = 0;
  int height = 0;
};

// A picture of about `target_bytes` of text (at least one pixel), roughly
// square, with pseudo-random pixels from a fixed seed: the same size always
// gives the same text.
picture make_picture(std::size_t target_bytes);

// A picture of `side` x `side` pixels, otherwise as make_picture.
picture make_square_picture(int side);

// A picture of `width` x `height` pixels that are all the one pixel word
// `word`, rows written as the service writes them (each word followed by a
// blank). The header names `bitdepth` and the colour kind words `kinds`
// (such as "alpha color"). A one-digit word costs two bytes of upload per
// pixel, however many digits the bit depth makes the service write for it.
picture make_word_picture(int width, int height, int bitdepth,
                          std::string_view kinds, std::string_view word);

// The lines of the IMAGE chunk from its opening line to its closing "}" and
// line feed; empty when `text` has no IMAGE chunk.
std::string_view image_chunk(std::string_view text);

}  // namespace loadgen
