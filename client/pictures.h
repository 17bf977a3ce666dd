// What both tools do with pictures on their way to and from the service:
// the SNG text to upload for a PNG or SNG file, the PNG of a fetched
// picture, and the text hidden at positions.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sng/sng.h"
#include "stego/stego.h"

namespace client {

// The SNG text to upload for the PNG file `png`, named `name` in messages
// and notices. When `secret` is to be hidden in the pixels (`pixel_mode`)
// and the picture's palette has no room for a new colour per byte of it,
// the picture is sent as 8-bit RGB and a line on `notices` says so. Throws
// as decode_png does.
std::string png_upload_text(std::string_view png, const std::string& name,
                            const std::string& secret, bool pixel_mode,
                            std::ostream& notices);

// The SNG text to upload for the SNG file `file`: without comments
// (without_comments), with a line feed added when its last line lacks one.
std::string sng_upload_text(std::string_view file);

// The PNG file of the picture `sng_text`, which came from `source`. Throws
// failure when the text does not parse or PNG cannot hold the picture.
std::string png_of(const std::string& sng_text, const std::string& source,
                   std::ostream& notices);

// The bytes hidden at `positions`; throws failure for a position outside
// the picture, where nothing can be hidden.
std::string hidden_text(const sng& picture,
                        const std::vector<pixel>& positions);

}  // namespace client
