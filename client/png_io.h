// PNG files in memory, read and written with libpng.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "client/memory.h"
#include "client/raster.h"

namespace client {

// Decodes the PNG file `bytes` into the nearest form a raster holds exactly:
// bit depths below 8 widened to 8, palette pictures kept as indices. A
// picture with transparency given by a tRNS chunk becomes one with an alpha
// channel (a palette with transparency becomes 8-bit RGBA), and a line on
// `notices` says so. The first text chunk, if any, is kept. Messages name the
// file `name`. Throws failure when the bytes are not a PNG or do not decode
// (a damaged file), and over_limit, before decoding the rows, for a picture
// whose SNG text would be longer than an upload may be. `reserve` is told of
// the rows and of what libpng holds while it decodes them.
raster decode_png(std::string_view bytes, const std::string& name,
                  std::ostream& notices, const reserve_memory& reserve = {});

// The PNG file of `picture`, not interlaced; a raster of bit depth 8 or 16
// keeps it. Throws failure, naming `name`, when libpng refuses the picture.
// `reserve` is told of the file's bytes, at most, and of what libpng holds
// while it encodes.
std::string encode_png(const raster& picture, const std::string& name,
                       const reserve_memory& reserve = {});

}  // namespace client
