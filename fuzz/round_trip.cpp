// Every written text reads back, except that of a picture of width 0 with
// rows: a row of no pixels is an empty line, which the reader skips. The
// comparison allows for what the format cannot carry: the text gains the
// blank after "text:", gamma keeps two decimals, a palette without histogram
// values next to rows of colours is not written, samples that the bit depth
// gives no digits read back as 0, and alpha is written only with the alpha
// flag. Pictures whose samples need more digits than their bit depth gives
// read back, but into other samples, so they are not compared.
#include "fuzz/round_trip.h"

#include <cstdint>
#include <cstdio>

namespace {

unsigned sample_digits(const sng& picture) {
  return picture.chunk_IHDR().bitdepth >> 2;
}

bool rows_hold_indices(const sng& picture) {
  return picture.chunk_IMAGE().indexed;
}

// Whether `sample` reads back from the digits the writer gives it.
bool fits(std::int32_t sample, unsigned digits) {
  if (digits == 0 || digits >= 8) return true;
  return static_cast<std::uint32_t>(sample) >> (4 * digits) == 0;
}

bool samples_read_back(const sng& picture) {
  if (rows_hold_indices(picture)) return true;
  const unsigned digits = sample_digits(picture);
  const bool alpha = picture.chunk_IHDR().alpha;
  const sng_IMAGE& image = picture.chunk_IMAGE();
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const pcolor c = image.color(x, y);
      if (!fits(c.r, digits) || !fits(c.g, digits) || !fits(c.b, digits) ||
          (alpha && !fits(c.a, digits)))
        return false;
    }
  return true;
}

float gamma_as_written(float gamma) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(gamma));
  return sng(std::string("IHDR {\n} gAMA {") + text + "}").chunk_gAMA().gamma;
}

sng_PLTE palette_as_written(const sng& picture) {
  const bool written =
      rows_hold_indices(picture) || !picture.chunk_hIST().values.empty();
  return written ? picture.chunk_PLTE() : sng_PLTE();
}

sng_tEXt text_as_written(const sng& picture) {
  sng_tEXt text = picture.chunk_tEXt();
  if (text.keyword.empty()) return sng_tEXt();
  text.text = " " + text.text;
  return text;
}

sng_IMAGE rows_as_written(const sng& picture) {
  sng_IMAGE image = picture.chunk_IMAGE();
  if (image.indexed) return image;
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      pcolor color = image.color(x, y);
      if (sample_digits(picture) == 0) color = pcolor();
      if (!picture.chunk_IHDR().alpha) color.a = 0;
      image.set_color(x, y, color);
    }
  return image;
}

// The first record of `back`, read from the text written of `picture`, that
// is not what the writer wrote of it.
std::optional<std::string> differing_record(const sng& picture,
                                            const sng& back) {
  if (!(back.chunk_IHDR() == picture.chunk_IHDR())) return "header";
  if (back.chunk_gAMA().gamma != gamma_as_written(picture.chunk_gAMA().gamma))
    return "gamma";
  if (!(back.chunk_PLTE() == palette_as_written(picture))) return "palette";
  if (!(back.chunk_hIST() == picture.chunk_hIST())) return "histogram";
  if (!(back.chunk_tIME() == picture.chunk_tIME())) return "time";
  if (!(back.chunk_tEXt() == text_as_written(picture))) return "text";
  if (!(back.chunk_IMAGE() == rows_as_written(picture))) return "rows";
  if (!(back.chunk_private() == picture.chunk_private()))
    return "private values";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> round_trip_fault(const sng& picture) {
  const std::string text = picture.to_raw_string();
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "}\n") != 0)
    return "text does not end with a closing line";
  if (picture.raw_size() != text.size()) return "raw_size() is not the length";
  if (!picture.reads_back()) return std::nullopt;
  std::optional<sng> back;
  try {
    back.emplace(text);
  } catch (const sng::parse_error&) {
    return "written text does not read back";
  }
  if (!samples_read_back(picture)) return std::nullopt;
  return differing_record(picture, *back);
}
