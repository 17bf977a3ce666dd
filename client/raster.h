// A picture as plain samples, in one of the forms that both PNG and an SNG
// picture carry exactly. It is what the PNG side and the SNG side of the tool
// meet on: PNG files are decoded into it and encoded from it, SNG text is
// written from it and read into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace client {

struct raster {
  enum class form { grey, grey_alpha, rgb, rgba, indexed };

  form kind = form::rgb;
  // Bits per sample: 8 or 16; always 8 for indexed pictures.
  unsigned bitdepth = 8;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Indexed pictures: the colours, by index.
  std::vector<std::array<std::uint8_t, 3>> palette;
  // The samples row by row, channels(kind) per pixel (an indexed pixel is its
  // index), in PNG's layout: one byte per sample at bit depth 8, two bytes,
  // most significant first, at bit depth 16.
  std::vector<std::uint8_t> data;
  // One text chunk, carried when the keyword is not empty.
  std::string keyword;
  std::string text;

  std::size_t sample_count() const;
  // Bytes `data` takes for width x height pixels of this kind and bit depth.
  std::size_t data_bytes() const;
  std::uint16_t sample(std::size_t position) const;
  void set_sample(std::size_t position, std::uint16_t value);
  // Sizes `data` to data_bytes().
  void allocate();
};

// Samples per pixel: 1 (grey, indexed), 2 (grey_alpha), 3 (rgb), 4 (rgba).
unsigned channels(raster::form kind);
bool has_alpha(raster::form kind);

// `picture` with each index replaced by its palette colour: 8-bit RGB.
raster without_palette(const raster& picture);

}  // namespace client
