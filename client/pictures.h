// What both tools do with pictures on their way to and from the service:
// the SNG text to upload for a PNG or SNG file, the PNG of a fetched
// picture, and the text hidden at positions.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/memory.h"
#include "sng/sng.h"
#include "stego/stego.h"

namespace client {

// The SNG text to upload for the PNG file `png`, named `name` in messages
// and notices. When `secret` is to be hidden in the pixels (`pixel_mode`)
// and the picture's palette has no room for a new colour per byte of it,
// the picture is sent as 8-bit RGB and a line on `notices` says so. Throws
// as decode_png does. `reserve` is told of the memory of each step: at every
// moment the conversion holds at most what it has told, with 64 KiB to
// spare.
std::string png_upload_text(std::string_view png, const std::string& name,
                            const std::string& secret, bool pixel_mode,
                            std::ostream& notices,
                            const reserve_memory& reserve = {});

// The SNG text to upload for the SNG file `file`: without comments
// (without_comments), with a line feed added when its last line lacks one.
// `reserve` is told of the text's memory.
std::string sng_upload_text(std::string_view file,
                            const reserve_memory& reserve = {});

// Whether `text` has the header chunk every SNG picture has: the word IHDR
// (with or without a colon or semicolon) before a "{". A file of another
// kind, a JPEG or a letter, has none.
bool has_sng_header(std::string_view text);

// The PNG file of the picture `sng_text`, which came from `source`. Throws
// failure when the text does not parse or PNG cannot hold the picture.
// `reserve` is told of the memory of each step, as for png_upload_text.
std::string png_of(const std::string& sng_text, const std::string& source,
                   std::ostream& notices, const reserve_memory& reserve = {});

// The bytes hidden at `positions`; throws failure for a position outside
// the picture, where nothing can be hidden.
std::string hidden_text(const sng& picture,
                        const std::vector<pixel>& positions);

}  // namespace client
