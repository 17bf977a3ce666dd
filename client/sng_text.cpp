#include "client/sng_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <random>

namespace client {
namespace {

// Appends `digits` random hexadecimal digits, eight from each number drawn.
void append_random_digits(std::string& text, std::mt19937& random,
                          std::size_t digits) {
  static constexpr char hex[] = "0123456789abcdef";
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (i % 8 == 0) bits = random();
    text += hex[bits & 15];
    bits >>= 4;
  }
}

void append_rows(std::string& text, const picture_spec& spec) {
  // Palette indices are written without anything between them.
  const std::string_view separator = spec.palette.empty() ? " " : "";
  const auto width = static_cast<std::size_t>(std::max(spec.width, 0));
  const auto height = static_cast<std::size_t>(std::max(spec.height, 0));
  text.reserve(text.size() +
               height * (width * (spec.pixel.size() + separator.size()) + 1) +
               image_end.size());
  if (spec.random_seed) {
    std::mt19937 random(*spec.random_seed);
    for (std::size_t y = 0; y < height; ++y) {
      for (std::size_t x = 0; x < width; ++x) {
        append_random_digits(text, random, spec.pixel.size());
        text += separator;
      }
      text += '\n';
    }
    return;
  }
  std::string row;
  for (std::size_t x = 0; x < width; ++x) (row += spec.pixel) += separator;
  row += '\n';
  for (std::size_t y = 0; y < height; ++y) text += row;
}

}  // namespace

std::string sng_head(const picture_spec& spec) {
  std::string text = "IHDR {\n\twidth: " + std::to_string(spec.width) +
                     "\n\theight: " + std::to_string(spec.height) +
                     "\n\tbitdepth: " + std::to_string(spec.bitdepth) + "\n";
  if (!spec.using_words.empty()) text += "\tusing " + spec.using_words + " \n";
  text +=
      "}\n"
      "gAMA { 1.00 }\n"
      "tIME {\n\tyear 1970\n\tmonth 1\n\tday 1\n\thour 0\n\tminute 0\n"
      "\tsecond 0\n}\n";
  if (!spec.palette.empty()) text += "PLTE {\n" + spec.palette + "}\n";
  return text + spec.chunks + std::string(image_begin);
}

std::string sng_text(const picture_spec& spec) {
  std::string text = sng_head(spec);
  if (spec.rows.empty())
    append_rows(text, spec);
  else
    text += spec.rows;
  return text += image_end;
}

std::string rgb_picture(int width, int height, const std::string& hex_pixel) {
  return sng_text({.width = width, .height = height, .pixel = hex_pixel});
}

std::string palette_entry(int red, int green, int blue) {
  char entry[64];
  std::snprintf(entry, sizeof entry, "\t(%3d,%3d,%3d)\n", red, green, blue);
  return entry;
}

std::string palette_entries(int count, int first) {
  std::string body;
  for (int i = 0; i < count; ++i)
    body += palette_entry(first + i, first, first);
  return body;
}

}  // namespace client
