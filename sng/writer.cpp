// The SNG writer, sng::to_raw_string.
//
// The small chunks are formatted with a string stream; the pixel rows, the
// bulk of every text, are formatted by hand, a block of pixels at a time.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <iomanip>

#include "sng/hex.h"
#include "sng/sng.h"
#include "sng/strlib.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void write_header(std::ostream& out, const sng_IHDR& header) {
  out << "IHDR {\n"
      << "\twidth: " << header.width << '\n'
      << "\theight: " << header.height << '\n'
      << "\tbitdepth: " << static_cast<int>(header.bitdepth) << '\n';
  if (header.alpha || header.color || header.palette) {
    out << "\tusing ";
    if (header.alpha) out << "alpha ";
    if (header.color) out << "color ";
    if (header.palette) out << "palette ";
    out << '\n';
  }
  out << "}\n";
}

void write_gamma(std::ostream& out, const sng_gAMA& gamma) {
  out << "gAMA { " << std::fixed << std::setprecision(2)
      << static_cast<double>(gamma.gamma) << " }\n";
}

void write_time(std::ostream& out, const sng_tIME& time) {
  out << "tIME {\n"
      << "\tyear " << time.year << '\n'
      << "\tmonth " << static_cast<int>(time.month) << '\n'
      << "\tday " << static_cast<int>(time.day) << '\n'
      << "\thour " << static_cast<int>(time.hour) << '\n'
      << "\tminute " << static_cast<int>(time.minute) << '\n'
      << "\tsecond " << static_cast<int>(time.second) << '\n'
      << "}\n";
}

// The palette, and the histogram after it when it has values.
void write_palette(std::ostream& out, const sng_PLTE& palette,
                   const sng_hIST& histogram) {
  out << "PLTE {\n";
  for (const pcolor& entry : palette.colors)
    out << "\t(" << std::setw(3) << entry.r << ',' << std::setw(3) << entry.g
        << ',' << std::setw(3) << entry.b << ")\n";
  out << "}\n";
  if (!histogram.values.empty())
    out << "hIST {\n\t" << join(histogram.values, " ") << "\n}\n";
}

void write_text(std::ostream& out, const sng_tEXt& text) {
  out << "tEXt {\n"
      << "\tkeyword: " << text.keyword << '\n'
      << "\ttext: " << text.text << '\n'
      << "}\n";
}

void write_private(std::ostream& out, const sng_private& values) {
  for (const auto& [key, value] : values.entries)
    out << "private " << key << " {\n\t\"" << value << "\"\n}\n";
}

// Two lowercase hexadecimal digits for every byte value.
constexpr std::array<char, 512> hex_pairs = [] {
  std::array<char, 512> table{};
  for (int value = 0; value < 256; ++value) {
    table[2 * value] = hex_digits[value >> 4];
    table[2 * value + 1] = hex_digits[value & 15];
  }
  return table;
}();

// Writes the low `length` hexadecimal digits of `value`, high digit first.
// `Length` may be a compile-time constant, which unrolls the loop.
template <class Length>
char* put_hex(char* out, std::uint32_t value, Length length) {
  unsigned end = length;
  for (; end >= 2; end -= 2, value >>= 8)
    std::memcpy(out + end - 2, &hex_pairs[2 * (value & 0xff)], 2);
  if (end == 1) out[0] = hex_digits[value & 15];
  return out + length;
}

// Digits of one sample: its 32-bit two's complement in as many hexadecimal
// digits as it needs, at least one, padded with zeros to `digits`.
unsigned hex_length(std::uint32_t value, unsigned digits) {
  const auto bits = 32 - static_cast<unsigned>(std::countl_zero(value));
  return std::max(std::max((bits + 3) / 4, 1u), digits);
}

// Samples per direct pixel: alpha is written only with the alpha flag.
constexpr unsigned samples_written(bool alpha) { return alpha ? 4 : 3; }

// Writes one direct pixel and the blank after it: red, green, blue, and
// alpha only when `alpha`. Each sample is padded with zeros to `digits`
// (bit depth / 4) and takes more digits only when it needs them. Both
// `digits` and `alpha` may be compile-time constants.
template <class Digits, class Alpha>
char* put_direct_pixel(char* out, const pcolor& color, Digits digits,
                       Alpha alpha) {
  const unsigned count = samples_written(alpha);
  const std::uint32_t samples[] = {
      static_cast<std::uint32_t>(color.r), static_cast<std::uint32_t>(color.g),
      static_cast<std::uint32_t>(color.b), static_cast<std::uint32_t>(color.a)};
  std::uint32_t all = 0;
  for (unsigned i = 0; i < count; ++i) all |= samples[i];
  // Nearly always every sample fits its digits exactly.
  const bool fixed = digits >= 8 || (digits > 0 && (all >> (4 * digits)) == 0);
  for (unsigned i = 0; i < count; ++i)
    out = fixed ? put_hex(out, samples[i], digits)
                : put_hex(out, samples[i], hex_length(samples[i], digits));
  *out++ = ' ';
  return out;
}

// Pixels formatted at a time into a small buffer that stays in cache, before
// being appended to the text.
constexpr std::size_t block_pixels = 256;

// Appends one line per row, each pixel formatted by `put` (which returns the
// end of what it wrote) into a buffer with room for `max_pixel_length`
// characters per pixel.
template <class Put>
void append_rows(std::string& out, const sng_IMAGE& image,
                 std::size_t max_pixel_length, Put put) {
  std::string block(block_pixels * max_pixel_length, '\0');
  for (const auto& row : image.rows) {
    for (std::size_t first = 0; first < row.size(); first += block_pixels) {
      const std::size_t last = std::min(row.size(), first + block_pixels);
      char* end = block.data();
      for (std::size_t x = first; x < last; ++x) end = put(end, row[x]);
      out.append(block.data(), end);
    }
    out += '\n';
  }
}

// Characters of a pixel whose samples take exactly their digits (one when
// the bit depth gives none), as nearly all do.
std::size_t usual_pixel_length(bool as_indices, const sng_IHDR& header) {
  if (as_indices) return index_digits;
  return samples_written(header.alpha) * std::max(header.bitdepth >> 2, 1) + 1;
}

// Room for the row lines of usual pixels, a line feed after each row.
std::size_t usual_rows_length(const sng_IMAGE& image, bool as_indices,
                              const sng_IHDR& header) {
  const std::size_t pixel_length = usual_pixel_length(as_indices, header);
  std::size_t length = image.rows.size();
  for (const auto& row : image.rows) length += row.size() * pixel_length;
  return length;
}

// Appends the pixel rows: two digits per index, or the direct samples of
// each pixel followed by a blank.
void append_rows(std::string& out, const sng_IMAGE& image, bool as_indices,
                 const sng_IHDR& header) {
  if (as_indices) {
    append_rows(out, image, index_digits, [](char* end, const color_t& pixel) {
      return put_hex(end, pixel.index, index_digits);
    });
    return;
  }
  const unsigned digits = header.bitdepth >> 2;
  // No sample takes more than eight digits beyond its padding.
  const std::size_t longest_pixel =
      samples_written(header.alpha) * std::max(digits, 8u) + 1;
  with_sample_digits(digits, [&](auto digits) {
    const auto append = [&](auto alpha) {
      append_rows(out, image, longest_pixel,
                  [&](char* end, const color_t& pixel) {
                    return put_direct_pixel(end, pixel.color, digits, alpha);
                  });
    };
    if (header.alpha)
      append(std::true_type());
    else
      append(std::false_type());
  });
}

}  // namespace

// Rows read as palette indices are written as indices after a palette chunk
// in its usual place, so that they read back as indices. Rows of colours in
// a picture with histogram values are written directly, their palette and
// histogram after them, so that they read back as colours. Otherwise a
// palette is written exactly when the histogram has values.
std::string sng::to_raw_string() const {
  const bool has_rows = !image_.rows.empty();
  const bool rows_as_indices = image_.indexed && has_rows;
  const bool has_histogram = !histogram_.values.empty();
  const bool palette_after_rows = has_histogram && has_rows && !rows_as_indices;
  const bool palette_before_text =
      (has_histogram || rows_as_indices) && !palette_after_rows;

  std::ostringstream head;
  write_header(head, header_);
  write_gamma(head, gamma_);
  write_time(head, time_);
  if (palette_before_text) write_palette(head, palette_, histogram_);
  if (!text_.keyword.empty()) write_text(head, text_);
  head << "IMAGE {\n\tpixels hex\n";

  std::ostringstream tail;
  tail << "}\n";
  if (palette_after_rows) write_palette(tail, palette_, histogram_);
  write_private(tail, private_values_);

  std::string out = std::move(head).str();
  const std::string end = std::move(tail).str();
  out.reserve(out.size() + usual_rows_length(image_, rows_as_indices, header_) +
              end.size());
  append_rows(out, image_, rows_as_indices, header_);
  out += end;
  return out;
}
