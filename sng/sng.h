// One picture in memory, with its SNG reader (sng::sng) and writer
// (sng::to_raw_string). A picture owns all its data by value; copying it
// copies everything. It has no lock: one thread uses a picture at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One colour: four signed samples, not limited to any range.
struct pcolor {
  std::int32_t r;
  std::int32_t g;
  std::int32_t b;
  std::int32_t a;

  pcolor() : r(0), g(0), b(0), a(0) {}
  pcolor(int r, int g, int b, int a) : r(r), g(g), b(b), a(a) {}
};

bool operator==(const pcolor& left, const pcolor& right);

// One pixel as the reader decodes it: a direct colour, or a palette index in
// the first byte of the same storage. Pictures store their pixels more
// compactly (sng_IMAGE).
union color_t {
  pcolor color;
  std::uint8_t index;

  color_t() : color() {}
  // The colour samples are zeroed first, so that a pixel built from an index
  // reads as the colour (index, 0, 0, 0) on every machine this runs on.
  color_t(std::uint8_t index) : color() {  // NOLINT: implicit by design
    this->index = index;
  }
};

struct sng_IHDR {
  std::int64_t height = 0;
  std::int64_t width = 0;
  std::uint8_t bitdepth = 0;
  bool color = false;
  bool palette = false;
  bool alpha = false;

  bool operator==(const sng_IHDR&) const = default;
};

struct sng_gAMA {
  float gamma = 1.0f;

  bool operator==(const sng_gAMA&) const = default;
};

struct sng_PLTE {
  std::vector<pcolor> colors;  // an entry's position is its index

  bool operator==(const sng_PLTE&) const = default;
  // Bytes the entries take on the heap.
  std::size_t memory_size() const noexcept;
};

struct sng_hIST {
  std::vector<std::int16_t> values;

  bool operator==(const sng_hIST&) const = default;
  // Bytes the values take on the heap.
  std::size_t memory_size() const noexcept;
};

struct sng_tIME {
  std::int16_t year = 1970;
  std::uint8_t month = 1;
  std::uint8_t day = 1;
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;

  bool operator==(const sng_tIME&) const = default;
};

struct sng_tEXt {
  std::string keyword;
  std::string text;

  bool operator==(const sng_tEXt&) const = default;
  // Bytes the keyword and the text take on the heap.
  std::size_t memory_size() const noexcept;
};

// The pixel rows of a picture, stored flat in one block: no allocation per
// row, and nothing kept per row while all rows have one width (only rows of
// different widths, which parse_IMAGE can return, keep where each one ends).
// A pixel takes the bytes its samples need: one for a palette index, or four
// samples of one, two or four bytes each. Every stored pixel reads both as a
// colour and as an index: the index i is the colour (i, 0, 0, 0), and the
// index of a colour is the low byte of its red sample.
class sng_IMAGE {
 public:
  // How pixels are stored, narrowest first.
  enum class layout : std::uint8_t {
    index,          // one byte i: the colour (i, 0, 0, 0)
    byte_samples,   // four samples from 0 to 255, one byte each
    short_samples,  // four samples from 0 to 65535, two bytes each
    int_samples,    // four samples of any value, four bytes each
  };

  sng_IMAGE() = default;
  explicit sng_IMAGE(layout stored) : layout_(stored) {}

  // Bytes one pixel takes in `stored`.
  static constexpr std::size_t pixel_bytes(layout stored) noexcept {
    return stored == layout::index ? 1 : 4u << (static_cast<int>(stored) - 1);
  }
  // The narrowest layout that holds every sample of `digits` hexadecimal
  // digits.
  static constexpr layout for_sample_digits(unsigned digits) noexcept {
    return digits <= 2   ? layout::byte_samples
           : digits <= 4 ? layout::short_samples
                         : layout::int_samples;
  }
  // The narrowest layout that holds the samples of `color`.
  static layout narrowest_for(const pcolor& color) noexcept;
  // Heap bytes that `pixels` pixels take in `stored`.
  static std::size_t memory_for(std::size_t pixels, layout stored) noexcept;

  std::size_t row_count() const noexcept { return rows_; }
  std::size_t row_width(std::size_t y) const noexcept;
  std::size_t pixel_count() const noexcept;
  layout stored() const noexcept { return layout_; }
  // The stored bytes of row y, for code that walks whole rows.
  const std::uint8_t* row_data(std::size_t y) const noexcept;
  // No stored sample needs more hexadecimal digits than this (for its 32-bit
  // two's complement, one at least): rows whose padding gives every sample
  // that many have a written length known without a look at their pixels.
  unsigned widest_digits() const noexcept { return widest_digits_; }

  // The pixel at (x, y), which must be stored, as a colour and as an index.
  pcolor color(std::size_t x, std::size_t y) const noexcept;
  std::uint8_t index(std::size_t x, std::size_t y) const noexcept;
  // Stores the colour at (x, y), which must be stored; every pixel is first
  // widened to a layout that holds its samples when the current one does not.
  void set_color(std::size_t x, std::size_t y, const pcolor& color);
  // Sets the index of the pixel at (x, y), which must be stored: the low byte
  // of its red sample; its other bytes and samples stay.
  void set_index(std::size_t x, std::size_t y, std::uint8_t index) noexcept;

  // Building the rows, one after another: room for `pixels` more pixels
  // without moving the block; a new last row of `room` zero pixels, whose
  // bytes it returns; and the end of that row, whose first `width` pixels
  // (at most `room`) it keeps.
  void reserve(std::size_t pixels);
  std::uint8_t* begin_row(std::size_t room);
  void end_row(std::size_t width);
  // Takes note that pixels were stored whose samples need up to `digits`
  // hexadecimal digits.
  void note_sample_digits(unsigned digits) noexcept;
  // Stores every pixel in `wider`, a layout no narrower than the current one,
  // from now on, with room for as many pixels as before. A row begun and not
  // ended is dropped.
  void widen(layout wider);

  // Bytes the rows take on the heap.
  std::size_t memory_size() const noexcept;

  // True when the rows were read as palette indices (a palette chunk came
  // before them and there is at least one row); the writer then writes them
  // as indices again.
  bool indexed = false;

 private:
  std::size_t row_start(std::size_t y) const noexcept;

  std::vector<std::uint8_t> bytes_;    // the rows, one after another
  std::vector<std::size_t> row_ends_;  // pixels up to each row's end; empty
                                       // while every row has width_ pixels
  std::size_t rows_ = 0;
  std::size_t width_ = 0;
  layout layout_ = layout::index;
  std::uint8_t widest_digits_ = 1;
};

// Same flag and rows; pixels are compared by index when the rows hold
// indices and by all four samples otherwise, however they are stored.
bool operator==(const sng_IMAGE& left, const sng_IMAGE& right);

struct sng_private {
  std::map<std::string, std::string> entries;

  bool operator==(const sng_private&) const = default;
  // Bytes the entries take on the heap, and one entry of them.
  std::size_t memory_size() const noexcept;
  static std::size_t entry_size(const std::string& key,
                                const std::string& value) noexcept;
};

class sng {
 public:
  // Thrown by the reader, and only there, when the text is not a picture.
  class parse_error {};

  // Told by the reader how many more bytes it is about to take, before it
  // takes them. It may throw anything to stop the reader, which then passes
  // that exception on and leaves nothing behind.
  using reserve_memory = std::function<void(std::size_t bytes)>;

  // Reads a picture from SNG text; throws parse_error.
  explicit sng(const std::string& text);
  // The same, calling `reserve` before taking memory, so that at every
  // moment what the reader holds besides `text` (the records, the copies and
  // streams of chunk bodies) is at most the sum of the bytes reserved so far
  // plus 64 KiB. The pixel rows are reserved once, when their size is known
  // (and again in the rare case that a sample made of characters that are
  // no hexadecimal digits needs wider storage). A text that is no picture
  // throws parse_error, possibly after reserving.
  sng(const std::string& text, const reserve_memory& reserve);

  std::int64_t width() const;
  std::int64_t height() const;

  // The colour at (x, y); (0, 0, 0, 0) outside the picture or for a palette
  // index that names no entry.
  pcolor pixel(unsigned int x, unsigned int y) const;
  // Sets the pixel at (x, y). Outside the picture nothing changes. In a
  // palette picture the pixel takes the index palette_index gives it, and
  // the colour is appended when that index is new. A colour the rows'
  // layout cannot hold widens every row first, which may throw bad_alloc.
  void pixel(unsigned int x, unsigned int y, pcolor color);

  // The pixel setter's rule for palette pictures: the index a pixel gets
  // for a colour whose first equal entry in a palette of `entries` entries
  // is `first_equal` (nothing when no entry is equal). That is `first_equal`,
  // or `entries` when the colour is appended as a new entry; nothing when
  // the pixel stays as it was: the index would not fit in one byte, or the
  // palette already holds 255 entries. Once an index is refused, every later
  // one is too, and a palette holding such an entry never grows.
  static std::optional<std::size_t> palette_index(
      std::optional<std::size_t> first_equal, std::size_t entries) noexcept;

  std::string keyword() const noexcept;
  void keyword(const std::string& keyword) noexcept;
  std::string text() const noexcept;
  void text(const std::string& text) noexcept;

  // The time stamp as month/day/year hour:minute:second.
  std::string time() const noexcept;
  void time(short year, unsigned char month, unsigned char day,
            unsigned char hour, unsigned char minute,
            unsigned char second) noexcept;

  // The private value under `key`, or "" when there is none.
  std::string private_(const std::string& key) const noexcept;
  // Stores `value` under `key`; an empty key removes that entry instead.
  void private_(const std::string& key, const std::string& value) noexcept;

  // The picture as SNG text, every line ended by a line feed.
  std::string to_raw_string() const;
  // The same for a caller that already has raw_size(): `known_size` is
  // reserved for the text at once, and the pixels are not measured again.
  std::string to_raw_string(std::size_t known_size) const;
  // to_raw_string().size(), without building the text: at most one pass
  // over the pixels and no memory that grows with the picture.
  std::size_t raw_size() const;
  // Whether to_raw_string() reads back into a picture. Rows of no pixels are
  // written as empty lines, which reading skips, so a picture of width 0
  // with rows does not.
  bool reads_back() const noexcept;

  // Bytes the picture holds, itself and on the heap: an upper bound, close
  // to what the allocator really hands out.
  std::size_t memory_size() const noexcept;

  // Read-only views of the records, for tools and tests that inspect a
  // picture as a whole.
  const sng_IHDR& chunk_IHDR() const noexcept { return header_; }
  const sng_gAMA& chunk_gAMA() const noexcept { return gamma_; }
  const sng_PLTE& chunk_PLTE() const noexcept { return palette_; }
  const sng_hIST& chunk_hIST() const noexcept { return histogram_; }
  const sng_tIME& chunk_tIME() const noexcept { return time_; }
  const sng_tEXt& chunk_tEXt() const noexcept { return text_; }
  const sng_IMAGE& chunk_IMAGE() const noexcept { return image_; }
  const sng_private& chunk_private() const noexcept { return private_values_; }

  // Two pictures are equal when every record is.
  friend bool operator==(const sng& left, const sng& right) = default;

 private:
  sng_IHDR header_;
  sng_gAMA gamma_;
  sng_PLTE palette_;
  sng_hIST histogram_;
  sng_tIME time_;
  sng_tEXt text_;
  sng_IMAGE image_;
  sng_private private_values_;
};
