// Reading and writing PNG files with libpng.
#pragma once

#include <ostream>
#include <string>

#include "cli/raster.h"

namespace cli {

// Decodes the PNG file at `path` into the nearest form a raster holds exactly:
// bit depths below 8 widened to 8, palette pictures kept as indices. A
// picture with transparency given by a tRNS chunk becomes one with an alpha
// channel (a palette with transparency becomes 8-bit RGBA), and a line on
// `notices` says so. The first text chunk, if any, is kept. Throws failure
// when the file cannot be read, is not a PNG, or is larger than the tool
// handles.
raster read_png(const std::string& path, std::ostream& notices);

// Encodes `picture` at `path`, not interlaced; a raster of bit depth 8 or 16
// keeps it. Throws failure when the file cannot be written, and then leaves
// no file behind.
void write_png(const std::string& path, const raster& picture);

}  // namespace cli
