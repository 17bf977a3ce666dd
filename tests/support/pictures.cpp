#include "support/pictures.h"

#include <cstdio>

std::string sng_text(const picture_spec& spec) {
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
  text += spec.chunks + "IMAGE {\n\tpixels hex\n";
  if (!spec.rows.empty()) return text + spec.rows + "}\n";
  // Palette indices are written without anything between them.
  const std::string pixel =
      spec.palette.empty() ? spec.pixel + " " : spec.pixel;
  std::string row;
  for (int x = 0; x < spec.width; ++x) row += pixel;
  for (int y = 0; y < spec.height; ++y) text += row + "\n";
  return text + "}\n";
}

std::string rgb_picture(int width, int height, const std::string& hex_pixel) {
  return sng_text({.width = width, .height = height, .pixel = hex_pixel});
}

std::string palette_entries(int count, int first) {
  std::string body;
  char entry[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(entry, sizeof entry, "\t(%3d,%3d,%3d)\n", first + i, first,
                  first);
    body += entry;
  }
  return body;
}
