#include "loadgen/picture.h"

#include <algorithm>
#include <cmath>

#include "client/sng_text.h"

namespace loadgen {
namespace {

// The seed of the pixels: every run uploads the same pictures.
constexpr std::uint32_t pixel_seed = 20240607;

// Bytes per pixel in a row: six hexadecimal digits and a blank.
constexpr std::size_t pixel_bytes = 7;

// A picture of `width` x `height` pseudo-random pixels.
picture make_random_picture(int width, int height) {
  return {client::sng_text(
              {.width = width, .height = height, .random_seed = pixel_seed}),
          width, height};
}

}  // namespace

picture make_picture(std::size_t target_bytes) {
  // Every chunk but the rows.
  const std::size_t fixed = client::sng_head({.width = 0, .height = 0}).size() +
                            client::image_end.size();
  const std::size_t pixels_bytes =
      target_bytes > fixed ? target_bytes - fixed : 0;
  const int width =
      std::max(1, static_cast<int>(std::sqrt(static_cast<double>(pixels_bytes) /
                                             pixel_bytes)));
  const std::size_t row_bytes = width * pixel_bytes + 1;
  const int height =
      std::max(1, static_cast<int>((pixels_bytes + row_bytes / 2) / row_bytes));
  return make_random_picture(width, height);
}

picture make_square_picture(int side) {
  return make_random_picture(side, side);
}

picture make_word_picture(int width, int height, int bitdepth,
                          std::string_view kinds, std::string_view word) {
  return {client::sng_text({.width = width,
                            .height = height,
                            .bitdepth = bitdepth,
                            .using_words = std::string(kinds),
                            .pixel = std::string(word)}),
          width, height};
}

std::string_view image_chunk(std::string_view text) {
  const std::size_t begin = text.find("IMAGE {\n");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = text.find("}\n", begin);
  if (end == std::string_view::npos) return {};
  return text.substr(begin, end + 2 - begin);
}

}  // namespace loadgen
