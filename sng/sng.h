// One picture in memory, with its SNG reader (sng::sng) and writer
// (sng::to_raw_string). A picture owns all its data by value; copying it
// copies everything. It has no lock: one thread uses a picture at a time.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
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

// One stored pixel: a direct colour, or in rows that hold palette indices an
// index in the first byte of the same storage. Which one it holds follows
// from the picture, not from the pixel.
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
};

struct sng_hIST {
  std::vector<std::int16_t> values;

  bool operator==(const sng_hIST&) const = default;
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
};

struct sng_IMAGE {
  std::vector<std::vector<color_t>> rows;  // rows[y][x]
  // True when the rows were read as palette indices (a palette chunk came
  // before them and there is at least one row); the writer then writes them
  // as indices again.
  bool indexed = false;
};

// Same flag and rows; pixels are compared by index when the rows hold
// indices and by all four samples otherwise.
bool operator==(const sng_IMAGE& left, const sng_IMAGE& right);

struct sng_private {
  std::map<std::string, std::string> entries;

  bool operator==(const sng_private&) const = default;
};

class sng {
 public:
  // Thrown by the reader, and only there, when the text is not a picture.
  class parse_error {};

  // Reads a picture from SNG text; throws parse_error.
  explicit sng(const std::string& text);

  std::int64_t width() const;
  std::int64_t height() const;

  // The colour at (x, y); (0, 0, 0, 0) outside the picture or for a palette
  // index that names no entry.
  pcolor pixel(unsigned int x, unsigned int y) const;
  // Sets the pixel at (x, y). Outside the picture nothing changes. In a
  // palette picture the pixel takes the index of the first equal entry, or
  // of the colour appended as a new entry; it stays as it was when that
  // index would not fit in one byte or the palette already holds 255 entries.
  void pixel(unsigned int x, unsigned int y, pcolor color) noexcept;

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

// `word` without one trailing colon or semicolon.
std::string _(const std::string& word);

// One integer read from `in` as a 64-bit value and cut to T's low bits; 0
// (with `in` failed) when no number can be read there.
template <class T>
T get_num(std::istringstream& in) {
  long long value = 0;
  in >> value;
  return static_cast<T>(value);
}

// The reader's steps, one per chunk kind. parse_IMAGE decodes every row and
// tests none of them against a header.
sng_IHDR parse_IHDR(const std::string& body);
sng_gAMA parse_gAMA(const std::string& body);
sng_PLTE parse_PLTE(const std::string& body);
sng_hIST parse_hIST(const std::string& body);
sng_tIME parse_tIME(const std::string& body);
sng_tEXt parse_tEXt(const std::string& body);
sng_IMAGE parse_IMAGE(const std::string& body, unsigned char bitdepth,
                      bool palette);
void parse_private(sng_private& values, const std::string& body,
                   const std::string& head);
std::uint32_t hex2byte(std::string::const_iterator& position,
                       const std::string::const_iterator& end,
                       unsigned char bits);
color_t hex2color(const std::string& word, unsigned char bitdepth);
// Throws sng::parse_error when `position` is std::string::npos.
void check_pos(unsigned long position);
