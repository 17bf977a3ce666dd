// Between rasters and SNG pictures, in the layout the quarn service itself
// writes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "client/memory.h"
#include "client/raster.h"
#include "sng/sng.h"

namespace client {

// The SNG text of `picture`, as the service's writer writes it. RGB and RGBA
// are direct colours of bit depth 8 or 16; grey is RGB with equal samples
// and a header without the colour flag ("using alpha" for grey with alpha);
// an indexed picture is a palette, a histogram (each entry's pixel count,
// clamped to 1 .. 32767) and rows of indices. A text chunk that SNG cannot
// carry (a keyword that is not one word, a text of several lines or holding
// "}") is left out, and a line on `notices` says so. `reserve` is told of the
// text and of the picture read back from it to write it in the service's
// layout.
std::string to_sng(const raster& picture, std::ostream& notices,
                   const reserve_memory& reserve = {});

// Bytes of the IMAGE chunk that to_sng writes for `picture`, from its size,
// form and bit depth alone: no pixel is read, so a picture can be measured
// before its rows are decoded. The whole text is longer by its other chunks.
std::uint64_t sng_image_bytes(const raster& picture);

// Throws over_limit, naming `name`, when the SNG text of `picture` would be
// longer than an upload to the service may be; reads no pixel.
void check_sng_size(const raster& picture, const std::string& name);

// The raster of an SNG picture. Rows of palette indices give an indexed
// raster; direct rows give grey when the header has neither the colour nor
// the palette flag and every pixel's samples are equal, RGB otherwise (a line
// on `notices` says when a grey header had to become RGB), with alpha when
// the header has the alpha flag. Bit depths 1, 2 and 4 are widened to 8. A
// text chunk is kept when PNG can carry its keyword. Throws failure for a
// picture PNG cannot hold: no pixels, more than 256 palette entries, a
// sample or index out of range, another bit depth. `reserve` is told of the
// raster's samples.
raster from_sng(const sng& picture, std::ostream& notices,
                const reserve_memory& reserve = {});

// `text` as an SNG picture; throws failure naming `source` when it does not
// parse. `reserve` is told of the memory the picture takes as it is read.
sng parse_sng(const std::string& text, const std::string& source,
              const reserve_memory& reserve = {});

}  // namespace client
