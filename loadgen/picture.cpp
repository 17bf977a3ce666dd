#include "loadgen/picture.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace loadgen {
namespace {

// Bytes per pixel in a row: six hexadecimal digits and a blank.
constexpr std::size_t pixel_bytes = 7;

// Every chunk before the pixel rows, the IMAGE chunk's opening included.
std::string header(int width, int height, int bitdepth = 8,
                   std::string_view kinds = "color") {
  return "IHDR {\n\twidth: " + std::to_string(width) +
         "\n\theight: " + std::to_string(height) +
         "\n\tbitdepth: " + std::to_string(bitdepth) + "\n\tusing " +
         std::string(kinds) +
         " \n}\n"
         "gAMA { 1.00 }\n"
         "tIME {\n\tyear 1970\n\tmonth 1\n\tday 1\n\thour 0\n\tminute 0\n"
         "\tsecond 0\n}\n"
         "IMAGE {\n\tpixels hex\n";
}

void append_rows(std::string& text, int width, int height) {
  static constexpr char digits[] = "0123456789abcdef";
  std::mt19937 random(20240607);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t rgb = random();
      for (int shift = 20; shift >= 0; shift -= 4)
        text += digits[(rgb >> shift) & 0xf];
      text += ' ';
    }
    text += '\n';
  }
}

// A picture of `width` x `height` pseudo-random pixels.
picture make_random_picture(int width, int height) {
  picture result{header(width, height), width, height};
  const std::size_t row_bytes = width * pixel_bytes + 1;
  result.text.reserve(result.text.size() + height * row_bytes + 2);
  append_rows(result.text, width, height);
  result.text += "}\n";
  return result;
}

}  // namespace

picture make_picture(std::size_t target_bytes) {
  const std::size_t fixed = header(0, 0).size() + 2;  // and the closing "}"
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
  std::string row;
  row.reserve(width * (word.size() + 1) + 1);
  for (int x = 0; x < width; ++x) (row += word) += ' ';
  row += '\n';
  picture result{header(width, height, bitdepth, kinds), width, height};
  result.text.reserve(result.text.size() + height * row.size() + 2);
  for (int y = 0; y < height; ++y) result.text += row;
  result.text += "}\n";
  return result;
}

std::string_view image_chunk(std::string_view text) {
  const std::size_t begin = text.find("IMAGE {\n");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = text.find("}\n", begin);
  if (end == std::string_view::npos) return {};
  return text.substr(begin, end + 2 - begin);
}

}  // namespace loadgen
