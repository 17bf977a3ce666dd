// The SNG writer, sng::to_raw_string, and the length of what it writes,
// sng::raw_size.
//
// The small chunks are formatted with a stream; the pixel rows, the bulk of
// every text, are formatted by hand, a block of pixels at a time. Both
// lengths come from the code that writes: the small chunks are written to a
// stream that only counts, and a pixel's length from the digits that
// put_direct_pixel gives each sample.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <streambuf>

#include "sng/hex.h"
#include "sng/sng.h"

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
  if (histogram.values.empty()) return;
  // Written value by value: the stream may only count, and then the values
  // take no memory beyond the picture's own.
  out << "hIST {\n\t";
  const char* separator = "";
  for (const std::int16_t value : histogram.values) {
    out << separator << value;
    separator = " ";
  }
  out << "\n}\n";
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

// Samples per direct pixel: alpha is written only with the alpha flag.
constexpr unsigned samples_written(bool alpha) { return alpha ? 4 : 3; }

// Calls `use` with `alpha` as a compile-time constant.
template <class Use>
void with_alpha(bool alpha, Use use) {
  if (alpha)
    use(std::true_type());
  else
    use(std::false_type());
}

// Writes one direct pixel and the blank after it: red, green, blue, and
// alpha only when `alpha`. Each sample is padded with zeros to `digits`
// (bit depth / 4) and takes more digits only when it needs them. Both
// `digits` and `alpha` may be compile-time constants.
template <class Digits, class Alpha>
char* put_direct_pixel(char* out, const stored_samples& samples, Digits digits,
                       Alpha alpha) {
  const unsigned count = samples_written(alpha);
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

// Characters of one direct pixel as put_direct_pixel writes it.
template <class Digits, class Alpha>
unsigned direct_pixel_length(const stored_samples& samples, Digits digits,
                             Alpha alpha) {
  unsigned length = 1;  // the blank after the pixel
  for (unsigned i = 0; i < samples_written(alpha); ++i)
    length += hex_length(samples[i], digits);
  return length;
}

// Characters of the row lines, a line feed after each row: two digits per
// index, or the samples and blank of each direct pixel. When no stored
// sample needs more digits than the padding gives it, as in every picture
// read from plain hexadecimal digits, every pixel has the same length;
// otherwise each pixel is measured.
std::size_t rows_length(const sng_IMAGE& image, bool as_indices,
                        const sng_IHDR& header) {
  const std::size_t line_feeds = image.row_count();
  const std::size_t pixels = image.pixel_count();
  if (as_indices) return line_feeds + index_digits * pixels;
  const unsigned digits = header.bitdepth >> 2;
  const unsigned padded = std::max(digits, 1u);  // one digit at least
  if (image.widest_digits() <= padded)
    return line_feeds + pixels * (samples_written(header.alpha) * padded + 1);
  std::size_t length = line_feeds;
  if (pixels == 0) return length;
  const std::uint8_t* const first = image.row_data(0);  // rows follow on
  with_layout(image.stored(), [&](auto stored) {
    with_alpha(header.alpha, [&](auto alpha) {
      const auto measure = [&](auto digits) {
        const std::size_t bytes = sng_IMAGE::pixel_bytes(stored);
        for (std::size_t i = 0; i < pixels; ++i)
          length += direct_pixel_length(load_samples(stored, first + i * bytes),
                                        digits, alpha);
      };
      // Every sample takes one digit at least, so padding to none or one
      // digit is the same; with a constant the loop leaves the padding out.
      if (digits <= 1)
        measure(std::integral_constant<unsigned, 1>());
      else
        measure(digits);
    });
  });
  return length;
}

// Pixels formatted at a time into a small buffer that stays in cache, before
// being appended to the text.
constexpr std::size_t block_pixels = 256;

// Appends one line per row, each pixel, stored in the layout `stored`,
// formatted by `put` (which returns the end of what it wrote) into a buffer
// with room for `max_pixel_length` characters per pixel.
template <pixel_layout Stored, class Put>
void append_rows(std::string& out, const sng_IMAGE& image,
                 layout_constant<Stored>, std::size_t max_pixel_length,
                 Put put) {
  constexpr std::size_t bytes = sng_IMAGE::pixel_bytes(Stored);
  std::string block(block_pixels * max_pixel_length, '\0');
  for (std::size_t y = 0; y < image.row_count(); ++y) {
    const std::uint8_t* const row = image.row_data(y);
    const std::size_t width = image.row_width(y);
    for (std::size_t first = 0; first < width; first += block_pixels) {
      const std::size_t last = std::min(width, first + block_pixels);
      char* end = block.data();
      for (std::size_t x = first; x < last; ++x)
        end = put(end, row + x * bytes);
      out.append(block.data(), end);
    }
    out += '\n';
  }
}

// Appends rows of direct pixels stored in `stored`.
template <class Stored, class Digits, class Alpha>
void append_direct_rows(std::string& out, const sng_IMAGE& image, Stored stored,
                        Digits digits, Alpha alpha) {
  // A sample takes at most its padding or eight digits, whichever is more.
  const std::size_t longest_pixel =
      samples_written(alpha) * std::max<unsigned>(digits, 8) + 1;
  append_rows(out, image, stored, longest_pixel,
              [&](char* end, const std::uint8_t* pixel) {
                return put_direct_pixel(end, load_samples(stored, pixel),
                                        digits, alpha);
              });
}

// Appends rows of direct pixels of any layout and digits per sample.
void append_any_direct_rows(std::string& out, const sng_IMAGE& image,
                            unsigned digits, bool alpha) {
  with_layout(image.stored(), [&](auto stored) {
    with_alpha(alpha, [&](auto alpha) {
      append_direct_rows(out, image, stored, digits, alpha);
    });
  });
}

// Appends the pixel rows: two digits per index, or the direct samples of
// each pixel followed by a blank. The common bit depths, in the layout they
// give, have loops of their own.
void append_rows(std::string& out, const sng_IMAGE& image, bool as_indices,
                 const sng_IHDR& header) {
  if (as_indices) {
    with_layout(image.stored(), [&](auto stored) {
      append_rows(out, image, stored, index_digits,
                  [](char* end, const std::uint8_t* pixel) {
                    return put_hex(end, load_index(decltype(stored)(), pixel),
                                   index_digits);
                  });
    });
    return;
  }
  with_sample_digits(header.bitdepth >> 2, [&](auto digits) {
    if constexpr (std::is_empty_v<decltype(digits)>) {
      constexpr pixel_layout usual = sng_IMAGE::for_sample_digits(digits);
      if (image.stored() == usual) {
        with_alpha(header.alpha, [&](auto alpha) {
          append_direct_rows(out, image, layout_constant<usual>(), digits,
                             alpha);
        });
        return;
      }
    }
    append_any_direct_rows(out, image, digits, header.alpha);
  });
}

// Which chunks go where. Rows read as palette indices are written as indices
// after a palette chunk in its usual place, so that they read back as
// indices. Rows of colours in a picture with histogram values are written
// directly, their palette and histogram after them, so that they read back
// as colours. Otherwise a palette is written exactly when the histogram has
// values.
struct chunk_order {
  bool rows_as_indices;
  bool palette_after_rows;
  bool palette_before_text;

  explicit chunk_order(const sng& picture) {
    const bool has_rows = picture.chunk_IMAGE().row_count() > 0;
    const bool has_histogram = !picture.chunk_hIST().values.empty();
    rows_as_indices = picture.chunk_IMAGE().indexed && has_rows;
    palette_after_rows = has_histogram && has_rows && !rows_as_indices;
    palette_before_text =
        (has_histogram || rows_as_indices) && !palette_after_rows;
  }
};

// Everything before the first row line.
void write_head(std::ostream& out, const sng& picture,
                const chunk_order& order) {
  write_header(out, picture.chunk_IHDR());
  write_gamma(out, picture.chunk_gAMA());
  write_time(out, picture.chunk_tIME());
  if (order.palette_before_text)
    write_palette(out, picture.chunk_PLTE(), picture.chunk_hIST());
  if (!picture.chunk_tEXt().keyword.empty())
    write_text(out, picture.chunk_tEXt());
  out << "IMAGE {\n\tpixels hex\n";
}

// Everything after the last row line.
void write_tail(std::ostream& out, const sng& picture,
                const chunk_order& order) {
  out << "}\n";
  if (order.palette_after_rows)
    write_palette(out, picture.chunk_PLTE(), picture.chunk_hIST());
  write_private(out, picture.chunk_private());
}

// A stream buffer that appends what is written to a string or, given none,
// only counts it: the small chunks are measured by the very code that
// writes them.
class text_buffer : public std::streambuf {
 public:
  explicit text_buffer(std::string* out) : out_(out) {}

  std::size_t size() const { return size_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    ++size_;
    if (out_ != nullptr) out_->push_back(traits_type::to_char_type(c));
    return c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    size_ += static_cast<std::size_t>(count);
    if (out_ != nullptr) out_->append(text, static_cast<std::size_t>(count));
    return count;
  }

 private:
  std::string* out_;
  std::size_t size_ = 0;
};

// Runs `write` on a stream that appends to `out`, or only counts when `out`
// is null; returns the characters written.
template <class Write>
std::size_t write_to(std::string* out, Write write) {
  text_buffer buffer(out);
  std::ostream stream(&buffer);
  write(stream);
  return buffer.size();
}

}  // namespace

bool sng::reads_back() const noexcept {
  return header_.width != 0 || header_.height <= 0;
}

std::size_t sng::raw_size() const {
  const chunk_order order(*this);
  const auto head = [&](std::ostream& out) { write_head(out, *this, order); };
  const auto tail = [&](std::ostream& out) { write_tail(out, *this, order); };
  return write_to(nullptr, head) +
         rows_length(image_, order.rows_as_indices, header_) +
         write_to(nullptr, tail);
}

std::string sng::to_raw_string() const { return to_raw_string(raw_size()); }

std::string sng::to_raw_string(std::size_t known_size) const {
  const chunk_order order(*this);
  std::string out;
  out.reserve(known_size);
  write_to(&out,
           [&](std::ostream& stream) { write_head(stream, *this, order); });
  append_rows(out, image_, order.rows_as_indices, header_);
  write_to(&out,
           [&](std::ostream& stream) { write_tail(stream, *this, order); });
  return out;
}
