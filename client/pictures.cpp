#include "client/pictures.h"

#include "client/errors.h"
#include "client/png_io.h"
#include "client/positions.h"
#include "client/sng_comments.h"
#include "client/sng_convert.h"

namespace client {
namespace {

// The service adds a palette entry for each colour that hiding a byte
// creates, but only while the palette has fewer entries than this; a byte
// that needs one more is not hidden.
constexpr std::size_t max_growing_palette = 255;

}  // namespace

std::string png_upload_text(std::string_view png, const std::string& name,
                            const std::string& secret, bool pixel_mode,
                            std::ostream& notices,
                            const reserve_memory& reserve) {
  raster picture = decode_png(png, name, notices, reserve);
  if (pixel_mode && picture.kind == raster::form::indexed &&
      picture.palette.size() + secret.size() > max_growing_palette) {
    notices << name
            << ": its palette has no room for a new colour per byte of the "
               "secret: sent as 8-bit RGB\n";
    raster expanded_shape;  // measured before any pixel is expanded
    expanded_shape.kind = raster::form::rgb;
    expanded_shape.width = picture.width;
    expanded_shape.height = picture.height;
    check_sng_size(expanded_shape, name);
    announce(reserve, expanded_shape.data_bytes());
    picture = without_palette(picture);
  }
  return to_sng(picture, notices, reserve);
}

std::string sng_upload_text(std::string_view file,
                            const reserve_memory& reserve) {
  announce(reserve, file.size() + 1);
  std::string text = without_comments(file);
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

bool has_sng_header(std::string_view text) {
  constexpr std::string_view header = "IHDR";
  for (std::size_t at = text.find(header); at != std::string_view::npos;
       at = text.find(header, at + 1)) {
    const bool word_start =
        at == 0 || text.find_first_of(" \t\n}", at - 1) == at - 1;
    std::size_t next = at + header.size();
    if (next < text.size() && (text[next] == ':' || text[next] == ';')) ++next;
    next = std::min(text.find_first_not_of(" \t\n", next), text.size());
    if (word_start && next < text.size() && text[next] == '{') return true;
  }
  return false;
}

std::string png_of(const std::string& sng_text, const std::string& source,
                   std::ostream& notices, const reserve_memory& reserve) {
  return encode_png(
      from_sng(parse_sng(sng_text, source, reserve), notices, reserve), source,
      reserve);
}

std::string hidden_text(const sng& picture,
                        const std::vector<pixel>& positions) {
  for (const pixel& position : positions)
    if (position.x >= picture.width() || position.y >= picture.height())
      throw failure("position " + format_positions({position}) +
                    " lies outside the " + std::to_string(picture.width()) +
                    " x " + std::to_string(picture.height()) + " picture");
  return stego::get(picture, positions);
}

}  // namespace client
