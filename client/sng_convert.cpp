#include "client/sng_convert.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "client/errors.h"
#include "client/sng_text.h"
#include "net/limits.h"

namespace client {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Histogram values are signed 16-bit numbers; every entry counts at least 1
// so that the histogram is never empty and the rows stay palette indices.
constexpr std::uint32_t max_histogram_count = 32767;

// PNG limits: palette entries, keyword bytes, and the largest dimension.
constexpr std::size_t max_palette_entries = 256;
constexpr std::size_t max_png_keyword_bytes = 79;
constexpr std::int64_t max_png_dimension = 0x7fffffff;

void append_hex(std::string& out, unsigned value, unsigned digits) {
  for (unsigned shift = 4 * digits; shift > 0; shift -= 4)
    out += hex_digits[(value >> (shift - 4)) & 15];
}

// The colour kind words of the header's using line.
const char* using_words(raster::form kind) {
  switch (kind) {
    case raster::form::grey:
      return "";
    case raster::form::grey_alpha:
      return "alpha";
    case raster::form::rgb:
      return "color";
    case raster::form::rgba:
      return "alpha color";
    case raster::form::indexed:
      return "color palette";
  }
  return "";
}

std::vector<std::uint32_t> histogram(const raster& picture) {
  std::vector<std::uint32_t> counts(picture.palette.size(), 0);
  for (const std::uint8_t index : picture.data) ++counts[index];
  for (std::uint32_t& count : counts)
    count = std::clamp<std::uint32_t>(count, 1, max_histogram_count);
  return counts;
}

std::string palette_body(const raster& picture) {
  std::string body;
  for (const auto& [red, green, blue] : picture.palette)
    body += palette_entry(red, green, blue);
  return body;
}

std::string histogram_chunk(const raster& picture) {
  std::string chunk = "hIST {\n\t";
  for (const std::uint32_t count : histogram(picture))
    chunk += std::to_string(count) + " ";
  return chunk + "\n}\n";
}

// Whether an SNG text chunk reads back `keyword` and `text` as they are: the
// keyword is read as one word, the text as the rest of one line, and "}"
// ends the chunk.
bool sng_carries_text(const std::string& keyword, const std::string& text) {
  return keyword.find_first_of(" \t\n\r\v\f}") == std::string::npos &&
         text.find_first_of("\n}") == std::string::npos;
}

std::string text_chunk(const raster& picture, std::ostream& notices) {
  if (picture.keyword.empty()) return "";
  if (!sng_carries_text(picture.keyword, picture.text)) {
    notices << "the text chunk \"" << picture.keyword
            << "\" cannot be written in SNG and is left out\n";
    return "";
  }
  return "tEXt {\n\tkeyword: " + picture.keyword + "\n\ttext: " + picture.text +
         "\n}\n";
}

// The chunks before the rows of `picture`, image_begin included.
std::string head(const raster& picture, std::ostream& notices) {
  picture_spec frame{.width = static_cast<int>(picture.width),
                     .height = static_cast<int>(picture.height),
                     .bitdepth = static_cast<int>(picture.bitdepth),
                     .using_words = using_words(picture.kind)};
  if (picture.kind == raster::form::indexed) {
    frame.palette = palette_body(picture);
    frame.chunks = histogram_chunk(picture);
  }
  frame.chunks += text_chunk(picture, notices);
  return sng_head(frame);
}

void write_index_row(std::string& out, const raster& picture,
                     std::size_t first) {
  for (std::size_t x = 0; x < picture.width; ++x)
    append_hex(out, picture.data[first + x], 2);
}

// One direct row: red, green, blue and, with alpha, alpha for each pixel,
// each sample in bitdepth / 4 digits, every pixel followed by a blank. Grey
// gives its one sample to red, green and blue alike.
void write_direct_row(std::string& out, const raster& picture,
                      std::size_t first) {
  const unsigned digits = picture.bitdepth / 4;
  const unsigned per_pixel = channels(picture.kind);
  const bool grey = picture.kind == raster::form::grey ||
                    picture.kind == raster::form::grey_alpha;
  for (std::size_t x = 0; x < picture.width; ++x) {
    const std::size_t at = first + x * per_pixel;
    if (grey) {
      for (int i = 0; i < 3; ++i) append_hex(out, picture.sample(at), digits);
      if (has_alpha(picture.kind))
        append_hex(out, picture.sample(at + 1), digits);
    } else {
      for (unsigned i = 0; i < per_pixel; ++i)
        append_hex(out, picture.sample(at + i), digits);
    }
    out += ' ';
  }
}

void write_rows(std::string& out, const raster& picture) {
  out.reserve(out.size() + sng_image_bytes(picture));
  const std::size_t row_samples =
      std::size_t{picture.width} * channels(picture.kind);
  for (std::size_t y = 0; y < picture.height; ++y) {
    if (picture.kind == raster::form::indexed)
      write_index_row(out, picture, y * row_samples);
    else
      write_direct_row(out, picture, y * row_samples);
    out += '\n';
  }
}

void set_size(raster& result, const sng_IHDR& header) {
  if (header.width < 1 || header.height < 1 ||
      header.width > max_png_dimension || header.height > max_png_dimension)
    throw failure("a picture of " + std::to_string(header.width) + " x " +
                  std::to_string(header.height) +
                  " pixels cannot be written as PNG");
  result.width = static_cast<std::uint32_t>(header.width);
  result.height = static_cast<std::uint32_t>(header.height);
}

std::uint8_t palette_sample(std::int32_t value) {
  if (value < 0 || value > 255)
    throw failure("the palette holds the sample " + std::to_string(value) +
                  ", outside 0 to 255");
  return static_cast<std::uint8_t>(value);
}

// Sizes the samples of `result`, whose form and size are set.
void allocate(raster& result, const reserve_memory& reserve) {
  announce(reserve, result.data_bytes());
  result.allocate();
}

void fill_indexed(raster& result, const sng& picture,
                  const reserve_memory& reserve) {
  const std::vector<pcolor>& colors = picture.chunk_PLTE().colors;
  if (colors.size() > max_palette_entries)
    throw failure("a palette of " + std::to_string(colors.size()) +
                  " entries cannot be written as PNG (at most 256)");
  result.kind = raster::form::indexed;
  result.bitdepth = 8;
  for (const pcolor& color : colors)
    result.palette.push_back({palette_sample(color.r), palette_sample(color.g),
                              palette_sample(color.b)});
  allocate(result, reserve);
  auto out = result.data.begin();
  const sng_IMAGE& image = picture.chunk_IMAGE();
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const std::uint8_t index = image.index(x, y);
      if (index >= colors.size())
        throw failure("a pixel names palette entry " + std::to_string(index) +
                      " of a palette of " + std::to_string(colors.size()));
      *out++ = index;
    }
}

bool all_grey(const sng_IMAGE& image) {
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const pcolor pixel = image.color(x, y);
      if (pixel.r != pixel.g || pixel.g != pixel.b) return false;
    }
  return true;
}

// How direct samples of the picture's bit depth become raster samples: the
// largest value they may hold and the factor that widens them.
struct sample_scale {
  std::int32_t max;
  std::uint16_t factor;
};

sample_scale scale_for(unsigned bitdepth) {
  switch (bitdepth) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16: {
      const std::int32_t max = (1 << bitdepth) - 1;
      return {max, static_cast<std::uint16_t>(bitdepth < 8 ? 255 / max : 1)};
    }
  }
  throw failure("a picture of bit depth " + std::to_string(bitdepth) +
                " cannot be written as PNG");
}

raster::form direct_form(const sng& picture, std::ostream& notices) {
  const sng_IHDR& header = picture.chunk_IHDR();
  const bool grey_header = !header.color && !header.palette;
  const bool grey = grey_header && all_grey(picture.chunk_IMAGE());
  if (grey_header && !grey)
    notices << "the picture is grey by its header but its red, "
               "green and blue samples differ (hidden text does that): "
               "written as RGB to keep every bit\n";
  if (grey) return header.alpha ? raster::form::grey_alpha : raster::form::grey;
  return header.alpha ? raster::form::rgba : raster::form::rgb;
}

void fill_direct(raster& result, const sng& picture, std::ostream& notices,
                 const reserve_memory& reserve) {
  const sample_scale scale = scale_for(picture.chunk_IHDR().bitdepth);
  result.kind = direct_form(picture, notices);
  result.bitdepth = scale.max == 0xffff ? 16 : 8;
  allocate(result, reserve);
  const bool grey = channels(result.kind) <= 2;
  const bool alpha = has_alpha(result.kind);
  std::size_t position = 0;
  const auto put = [&](std::int32_t value) {
    if (value < 0 || value > scale.max)
      throw failure("the picture holds the sample " + std::to_string(value) +
                    ", outside 0 to " + std::to_string(scale.max) +
                    " for its bit depth");
    result.set_sample(position++,
                      static_cast<std::uint16_t>(value) * scale.factor);
  };
  const sng_IMAGE& image = picture.chunk_IMAGE();
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const pcolor pixel = image.color(x, y);
      put(pixel.r);
      if (!grey) {
        put(pixel.g);
        put(pixel.b);
      }
      if (alpha) put(pixel.a);
    }
}

bool png_keyword(const std::string& keyword) {
  return keyword.size() <= max_png_keyword_bytes &&
         std::all_of(keyword.begin(), keyword.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return (byte > 32 && byte < 127) || byte > 160;
         });
}

// The picture's text chunk, without the blanks that separate an SNG text
// from its label and that reading keeps.
void keep_text(raster& result, const sng& picture, std::ostream& notices) {
  const std::string keyword = picture.keyword();
  if (keyword.empty()) return;
  if (!png_keyword(keyword)) {
    notices << "the text chunk \"" << keyword
            << "\" has no valid PNG keyword and is left out\n";
    return;
  }
  const std::string text = picture.text();
  result.keyword = keyword;
  result.text = text.substr(std::min(text.find_first_not_of(' '), text.size()));
}

}  // namespace

std::uint64_t sng_image_bytes(const raster& picture) {
  // An index is two digits; a direct pixel is red, green, blue and, with
  // alpha, alpha (grey repeats its sample) and a blank.
  const std::uint64_t pixel_chars =
      picture.kind == raster::form::indexed
          ? 2
          : (has_alpha(picture.kind) ? 4 : 3) * (picture.bitdepth / 4) + 1;
  return image_begin.size() +
         std::uint64_t{picture.height} *
             (std::uint64_t{picture.width} * pixel_chars + 1) +
         image_end.size();
}

void check_sng_size(const raster& picture, const std::string& name) {
  const std::uint64_t bytes = sng_image_bytes(picture);
  if (bytes > max_upload_bytes)
    throw over_limit(name + " would become at least " + std::to_string(bytes) +
                     " bytes of SNG text; the service accepts at most " +
                     std::to_string(max_upload_bytes));
}

std::string to_sng(const raster& picture, std::ostream& notices,
                   const reserve_memory& reserve) {
  std::string text = head(picture, notices);
  announce(reserve, text.size() + sng_image_bytes(picture));
  write_rows(text, picture);
  text += image_end;
  const sng converted = parse_sng(text, "the converted picture", reserve);
  const std::size_t size = converted.raw_size();
  announce(reserve, size);
  return converted.to_raw_string(size);
}

raster from_sng(const sng& picture, std::ostream& notices,
                const reserve_memory& reserve) {
  raster result;
  set_size(result, picture.chunk_IHDR());
  if (picture.chunk_IMAGE().indexed)
    fill_indexed(result, picture, reserve);
  else
    fill_direct(result, picture, notices, reserve);
  keep_text(result, picture, notices);
  return result;
}

sng parse_sng(const std::string& text, const std::string& source,
              const reserve_memory& reserve) {
  try {
    return sng(text, callable(reserve));
  } catch (const sng::parse_error&) {
    throw failure(source + " is not a valid SNG picture");
  }
}

}  // namespace client
