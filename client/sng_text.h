// SNG text of made-up pictures, in the layout the service writes: what the
// tests upload, quarn-bench sends and the benchmarks read, and the frame
// around the rows that quarn-cli converts. A picture made here, stored and
// fetched, comes back byte for byte as it was made, but for what storing
// adds and what a spec asks that the service writes otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace client {

// A picture of `width` x `height` pixels, all alike or drawn at random.
struct picture_spec {
  int width = 1;
  int height = 1;
  int bitdepth = 8;
  // The header's words after "using"; no "using" line when empty.
  std::string using_words = "color";
  // Every pixel: a word of hexadecimal samples or, with a palette, an index
  // of two digits.
  std::string pixel = "808080";
  // When set, each pixel is instead a word of as many hexadecimal digits as
  // `pixel`, drawn at random from this seed: the same spec always gives the
  // same text. With a palette, the palette should have 256 entries.
  std::optional<std::uint32_t> random_seed = std::nullopt;
  // The body of a palette chunk before the rows, which then hold indices;
  // no palette chunk when empty.
  std::string palette{};
  // Whole chunks after the time and the palette, before the rows.
  std::string chunks{};
  // The lines of the rows, each ended by a line feed, instead of `height`
  // rows of `width` pixels.
  std::string rows{};
};

// The opening of the IMAGE chunk, whose rows follow, and its closing.
constexpr std::string_view image_begin = "IMAGE {\n\tpixels hex\n";
constexpr std::string_view image_end = "}\n";

// The SNG text of `spec`: header, gamma, time, palette, `chunks` and rows,
// every line ended by a line feed.
std::string sng_text(const picture_spec& spec);

// What sng_text writes before the rows, image_begin included.
std::string sng_head(const picture_spec& spec);

// An 8-bit RGB picture of the given size, every pixel `hex_pixel`.
std::string rgb_picture(int width, int height,
                        const std::string& hex_pixel = "808080");

// One line of a palette chunk's body, as the service writes it.
std::string palette_entry(int red, int green, int blue);

// The body of a palette chunk of `count` entries (first + i, first, first).
std::string palette_entries(int count, int first = 0);

}  // namespace client
