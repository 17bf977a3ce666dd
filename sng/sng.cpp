// The picture model: pixel, text, time and private-value accessors, the
// compact pixel rows, and what the records take in memory.
#include "sng/sng.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sng/hex.h"

namespace {

// A palette pixel holds one byte, so entries from this position on cannot be
// named by a pixel.
constexpr std::size_t palette_index_limit = 256;
// The setter appends new colours only while the palette is shorter than this.
constexpr std::size_t palette_growth_limit = 255;

// The rows hold exactly `height` rows of `width` pixels each, so a position
// inside both dimensions always names a stored pixel.
bool inside(const sng_IHDR& header, unsigned int x, unsigned int y) {
  return static_cast<std::int64_t>(x) < header.width &&
         static_cast<std::int64_t>(y) < header.height;
}

// How glibc's malloc hands out memory: a block takes its size plus one word,
// rounded up to 16 bytes, at least 32; large blocks may be mapped in whole
// pages. Other allocators take about as much.
constexpr std::size_t allocation_header_bytes = 8;
constexpr std::size_t allocation_granule_bytes = 16;
constexpr std::size_t smallest_allocation_bytes = 32;
constexpr std::size_t mapped_allocation_bytes = 128 * 1024;
constexpr std::size_t page_bytes = 4096;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

// The memory a heap block of `bytes` takes.
std::size_t allocation_size(std::size_t bytes) {
  if (bytes == 0) return 0;
  if (bytes >= mapped_allocation_bytes)
    return round_up(bytes + 2 * allocation_header_bytes, page_bytes);
  return std::max(
      smallest_allocation_bytes,
      round_up(bytes + allocation_header_bytes, allocation_granule_bytes));
}

template <class T>
std::size_t heap_size(const std::vector<T>& values) {
  return allocation_size(values.capacity() * sizeof(T));
}

// Short strings are kept inside the string object itself.
std::size_t heap_size(const std::string& text) {
  static const std::size_t inline_capacity = std::string().capacity();
  return text.capacity() > inline_capacity
             ? allocation_size(text.capacity() + 1)
             : 0;
}

// A node of a red-black tree: its colour and three links, then the entry.
constexpr std::size_t private_node_bytes =
    4 * sizeof(void*) + sizeof(std::pair<const std::string, std::string>);

// Digits that the widest sample of `color` needs.
unsigned needed_digits(const pcolor& color) {
  // The widest sample has the highest bit of all four.
  return hex_length(
      static_cast<std::uint32_t>(color.r | color.g | color.b | color.a));
}

}  // namespace

std::size_t sng_PLTE::memory_size() const noexcept { return heap_size(colors); }

std::size_t sng_hIST::memory_size() const noexcept { return heap_size(values); }

std::size_t sng_tEXt::memory_size() const noexcept {
  return heap_size(keyword) + heap_size(text);
}

std::size_t sng_private::entry_size(const std::string& key,
                                    const std::string& value) noexcept {
  return allocation_size(private_node_bytes) + heap_size(key) +
         heap_size(value);
}

std::size_t sng_private::memory_size() const noexcept {
  std::size_t bytes = 0;
  for (const auto& [key, value] : entries) bytes += entry_size(key, value);
  return bytes;
}

sng_IMAGE::layout sng_IMAGE::narrowest_for(const pcolor& color) noexcept {
  if (fits(layout_constant<layout::index>(), color)) return layout::index;
  if (fits(layout_constant<layout::byte_samples>(), color))
    return layout::byte_samples;
  if (fits(layout_constant<layout::short_samples>(), color))
    return layout::short_samples;
  return layout::int_samples;
}

std::size_t sng_IMAGE::memory_for(std::size_t pixels, layout stored) noexcept {
  return allocation_size(pixels * pixel_bytes(stored));
}

std::size_t sng_IMAGE::memory_size() const noexcept {
  return heap_size(bytes_) + heap_size(row_ends_);
}

std::size_t sng_IMAGE::row_start(std::size_t y) const noexcept {
  if (row_ends_.empty()) return y * width_;
  return y == 0 ? 0 : row_ends_[y - 1];
}

std::size_t sng_IMAGE::row_width(std::size_t y) const noexcept {
  return row_ends_.empty() ? width_ : row_ends_[y] - row_start(y);
}

std::size_t sng_IMAGE::pixel_count() const noexcept { return row_start(rows_); }

const std::uint8_t* sng_IMAGE::row_data(std::size_t y) const noexcept {
  return bytes_.data() + row_start(y) * pixel_bytes(layout_);
}

pcolor sng_IMAGE::color(std::size_t x, std::size_t y) const noexcept {
  const std::uint8_t* at = row_data(y) + x * pixel_bytes(layout_);
  pcolor color;
  with_layout(layout_, [&](auto stored) { color = load_pixel(stored, at); });
  return color;
}

std::uint8_t sng_IMAGE::index(std::size_t x, std::size_t y) const noexcept {
  const std::uint8_t* at = row_data(y) + x * pixel_bytes(layout_);
  std::uint8_t index = 0;
  with_layout(layout_, [&](auto stored) { index = load_index(stored, at); });
  return index;
}

void sng_IMAGE::set_color(std::size_t x, std::size_t y, const pcolor& color) {
  widen(std::max(layout_, narrowest_for(color)));
  note_sample_digits(needed_digits(color));
  std::uint8_t* at = bytes_.data() + (row_start(y) + x) * pixel_bytes(layout_);
  with_layout(layout_, [&](auto stored) { store_pixel(stored, at, color); });
}

void sng_IMAGE::set_index(std::size_t x, std::size_t y,
                          std::uint8_t index) noexcept {
  // The red sample's other bits stay; its low byte needs two digits.
  note_sample_digits(hex_length(0xff));
  std::uint8_t* at = bytes_.data() + (row_start(y) + x) * pixel_bytes(layout_);
  with_layout(layout_, [&](auto stored) { store_index(stored, at, index); });
}

// Rewrites every pixel in the wider layout, last pixel first, so that each
// one is read before a wider pixel is written over it.
void sng_IMAGE::widen(layout wider) {
  if (wider == layout_) return;
  const std::size_t pixels = pixel_count();
  const std::size_t narrow_bytes = pixel_bytes(layout_);
  const std::size_t wide_bytes = pixel_bytes(wider);
  const std::size_t room = bytes_.capacity() / narrow_bytes;
  bytes_.resize(pixels * narrow_bytes);
  bytes_.reserve(room * wide_bytes);
  bytes_.resize(pixels * wide_bytes);
  std::uint8_t* const data = bytes_.data();
  with_layout(layout_, [&](auto from) {
    with_layout(wider, [&](auto to) {
      for (std::size_t i = pixels; i-- > 0;)
        store_pixel(to, data + i * wide_bytes,
                    load_pixel(from, data + i * narrow_bytes));
    });
  });
  layout_ = wider;
}

void sng_IMAGE::note_sample_digits(unsigned digits) noexcept {
  widest_digits_ =
      static_cast<std::uint8_t>(std::max<unsigned>(widest_digits_, digits));
}

void sng_IMAGE::reserve(std::size_t pixels) {
  bytes_.reserve((pixel_count() + pixels) * pixel_bytes(layout_));
}

std::uint8_t* sng_IMAGE::begin_row(std::size_t room) {
  const std::size_t start = pixel_count() * pixel_bytes(layout_);
  bytes_.resize(start + room * pixel_bytes(layout_));
  return bytes_.data() + start;
}

void sng_IMAGE::end_row(std::size_t width) {
  const std::size_t start = pixel_count();
  bytes_.resize((start + width) * pixel_bytes(layout_));
  if (row_ends_.empty() && (rows_ == 0 || width == width_)) {
    width_ = width;
    ++rows_;
    return;
  }
  if (row_ends_.empty()) {
    row_ends_.reserve(rows_ + 1);
    for (std::size_t y = 1; y <= rows_; ++y) row_ends_.push_back(y * width_);
  }
  row_ends_.push_back(start + width);
  ++rows_;
}

bool operator==(const pcolor& left, const pcolor& right) {
  return left.r == right.r && left.g == right.g && left.b == right.b &&
         left.a == right.a;
}

bool operator==(const sng_IMAGE& left, const sng_IMAGE& right) {
  if (left.indexed != right.indexed || left.row_count() != right.row_count())
    return false;
  for (std::size_t y = 0; y < left.row_count(); ++y)
    if (left.row_width(y) != right.row_width(y)) return false;
  const std::size_t pixels = left.pixel_count();
  if (pixels == 0) return true;
  // In one layout, equal pixels are equal bytes; an index layout holds
  // nothing but the index.
  const auto stored = left.stored();
  if (stored == right.stored() &&
      (!left.indexed || stored == sng_IMAGE::layout::index))
    return std::memcmp(left.row_data(0), right.row_data(0),
                       pixels * sng_IMAGE::pixel_bytes(stored)) == 0;
  for (std::size_t y = 0; y < left.row_count(); ++y)
    for (std::size_t x = 0; x < left.row_width(y); ++x) {
      const bool same = left.indexed ? left.index(x, y) == right.index(x, y)
                                     : left.color(x, y) == right.color(x, y);
      if (!same) return false;
    }
  return true;
}

std::int64_t sng::width() const { return header_.width; }

std::int64_t sng::height() const { return header_.height; }

pcolor sng::pixel(unsigned int x, unsigned int y) const {
  if (!inside(header_, x, y)) return pcolor();
  if (!header_.palette) return image_.color(x, y);
  const std::uint8_t index = image_.index(x, y);
  const auto& colors = palette_.colors;
  return index < colors.size() ? colors[index] : pcolor();
}

void sng::pixel(unsigned int x, unsigned int y, pcolor color) {
  if (!inside(header_, x, y)) return;
  if (!header_.palette) {
    image_.set_color(x, y, color);
    return;
  }
  auto& colors = palette_.colors;
  const auto found = std::find(colors.begin(), colors.end(), color);
  const std::optional<std::size_t> index = palette_index(
      found == colors.end()
          ? std::nullopt
          : std::optional(static_cast<std::size_t>(found - colors.begin())),
      colors.size());
  if (!index) return;
  image_.set_index(x, y, static_cast<std::uint8_t>(*index));
  if (*index == colors.size()) colors.push_back(color);
}

std::optional<std::size_t> sng::palette_index(
    std::optional<std::size_t> first_equal, std::size_t entries) noexcept {
  if (first_equal)
    return *first_equal < palette_index_limit ? first_equal : std::nullopt;
  if (entries >= palette_growth_limit) return std::nullopt;
  return entries;
}

std::size_t sng::memory_size() const noexcept {
  return sizeof(sng) + palette_.memory_size() + histogram_.memory_size() +
         text_.memory_size() + image_.memory_size() +
         private_values_.memory_size();
}

std::string sng::keyword() const noexcept { return text_.keyword; }

void sng::keyword(const std::string& keyword) noexcept {
  text_.keyword = keyword;
}

std::string sng::text() const noexcept { return text_.text; }

void sng::text(const std::string& text) noexcept { text_.text = text; }

std::string sng::time() const noexcept {
  const auto number = [](int value) { return std::to_string(value); };
  return number(time_.month) + "/" + number(time_.day) + "/" +
         number(time_.year) + " " + number(time_.hour) + ":" +
         number(time_.minute) + ":" + number(time_.second);
}

void sng::time(short year, unsigned char month, unsigned char day,
               unsigned char hour, unsigned char minute,
               unsigned char second) noexcept {
  time_ = sng_tIME{year, month, day, hour, minute, second};
}

std::string sng::private_(const std::string& key) const noexcept {
  const auto found = private_values_.entries.find(key);
  return found == private_values_.entries.end() ? std::string() : found->second;
}

void sng::private_(const std::string& key, const std::string& value) noexcept {
  if (key.empty()) {
    private_values_.entries.erase(key);
    return;
  }
  private_values_.entries.insert_or_assign(key, value);
}
