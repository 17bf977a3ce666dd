#include "stego/stego.h"

#include <bit>
#include <cstddef>
#include <optional>
#include <random>
#include <unordered_map>
#include <utility>

namespace {

// The calling thread's position generator, seeded once per thread from the
// operating system's entropy; threads never share or reseed it.
std::mt19937_64& position_generator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy(),
                       entropy(), entropy(), entropy(), entropy()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

// Whether `length` bytes fit in half the pixels: 2 * length <= width * height,
// decided without forming the product, which can overflow. A picture with a
// dimension below 1 holds nothing.
bool fits_in_half(std::uint64_t length, std::int64_t width,
                  std::int64_t height) {
  if (width < 1 || height < 1) return false;
  const std::uint64_t needed = 2 * length;
  const auto columns = static_cast<std::uint64_t>(width);
  const std::uint64_t rows_needed =
      needed / columns + (needed % columns != 0 ? 1 : 0);
  return rows_needed <= static_cast<std::uint64_t>(height);
}

// width * height for dimensions of at least 1, or the largest count when the
// product does not fit.
std::uint64_t pixel_count(std::int64_t width, std::int64_t height) {
  const auto columns = static_cast<std::uint64_t>(width);
  const auto rows = static_cast<std::uint64_t>(height);
  return rows > UINT64_MAX / columns ? UINT64_MAX : columns * rows;
}

// The positions used so far by one call of put, in an open-addressing hash
// table with linear probing, never more than half full: 16 to 32 bytes per
// position, whatever the picture's size.
class position_table {
 public:
  explicit position_table(std::size_t count)
      : slots_(slot_count(count), empty),
        shift_(word_bits - std::countr_zero(slots_.size())) {}

  // Bits the table takes for `count` positions.
  static std::uint64_t bits_for(std::size_t count) {
    return std::uint64_t{slot_count(count)} * word_bits;
  }

  bool contains(const pixel& position) const {
    const std::uint64_t key = key_of(position);
    std::size_t slot = home_of(key);
    while (slots_[slot] != empty && slots_[slot] != key) slot = next(slot);
    return slots_[slot] == key;
  }

  void insert(const pixel& position) {
    const std::uint64_t key = key_of(position);
    std::size_t slot = home_of(key);
    while (slots_[slot] != empty && slots_[slot] != key) slot = next(slot);
    slots_[slot] = key;
  }

 private:
  static constexpr int word_bits = 64;
  // x in the high half of a key, y in the low half. A position put draws
  // lies in a picture whose rows are all held in memory, so x and y are
  // never both 2^32 - 1 and the all-ones key can mark a free slot.
  static constexpr std::uint64_t empty = UINT64_MAX;

  // A power of two of at least twice `count` slots.
  static std::size_t slot_count(std::size_t count) {
    return std::bit_ceil(2 * count);
  }
  static std::uint64_t key_of(const pixel& position) {
    return std::uint64_t{position.x} << 32 | position.y;
  }
  // Multiplicative hashing: the top bits of the key times 2^64 / phi.
  std::size_t home_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15u) >> shift_);
  }
  std::size_t next(std::size_t slot) const {
    return (slot + 1) & (slots_.size() - 1);
  }

  std::vector<std::uint64_t> slots_;
  int shift_;
};

// The positions used so far by one call of put, one bit per pixel of the
// picture, row by row.
class position_bitmap {
 public:
  position_bitmap(std::int64_t width, std::int64_t height)
      : width_(static_cast<std::uint64_t>(width)),
        words_((pixel_count(width, height) + word_bits - 1) / word_bits, 0) {}

  bool contains(const pixel& position) const {
    const std::uint64_t bit = bit_of(position);
    return (words_[bit / word_bits] >> (bit % word_bits)) & 1;
  }

  void insert(const pixel& position) {
    const std::uint64_t bit = bit_of(position);
    words_[bit / word_bits] |= std::uint64_t{1} << (bit % word_bits);
  }

 private:
  static constexpr std::uint64_t word_bits = 64;

  std::uint64_t bit_of(const pixel& position) const {
    return position.y * width_ + position.x;
  }

  std::uint64_t width_;
  std::vector<std::uint64_t> words_;
};

template <class position_set>
std::vector<pixel> draw_distinct(std::size_t count, std::int64_t width,
                                 std::int64_t height, position_set used) {
  std::vector<pixel> positions;
  positions.reserve(count);
  while (positions.size() < count) {
    const pixel position = get_next(used, width, height);
    used.insert(position);
    positions.push_back(position);
  }
  return positions;
}

// `count` distinct random positions inside width x height, in the order
// drawn; at most half the pixels. The used positions are kept in a hash
// table while it takes no more bits than the picture has pixels, and in a
// bitmap of the picture otherwise, which then takes less than 256 bits per
// position. Either way the time is linear in `count` and the extra memory at
// most one bit per pixel.
std::vector<pixel> distinct_positions(std::size_t count, std::int64_t width,
                                      std::int64_t height) {
  if (position_table::bits_for(count) <= pixel_count(width, height))
    return draw_distinct(count, width, height, position_table(count));
  return draw_distinct(count, width, height, position_bitmap(width, height));
}

// `color` carrying `byte`: bits 7-6 in red's bits 1-0, bits 5-4 in green's
// bits 1-0, bits 3-0 in blue's bits 3-0; every other bit and alpha kept.
pcolor with_byte(pcolor color, unsigned char byte) {
  color.r = (color.r & ~3) | (byte >> 6);
  color.g = (color.g & ~3) | ((byte >> 4) & 3);
  color.b = (color.b & ~15) | (byte & 15);
  return color;
}

unsigned char byte_in(const pcolor& color) {
  return static_cast<unsigned char>(((color.r & 3) << 6) |
                                    ((color.g & 3) << 4) | (color.b & 15));
}

void hide_byte(sng& picture, const pixel& position, unsigned char byte) {
  picture.pixel(position.x, position.y,
                with_byte(picture.pixel(position.x, position.y), byte));
}

struct color_hash {
  std::size_t operator()(const pcolor& color) const {
    const std::uint64_t red_green =
        std::uint64_t{static_cast<std::uint32_t>(color.r)} << 32 |
        static_cast<std::uint32_t>(color.g);
    const std::uint64_t blue_alpha =
        std::uint64_t{static_cast<std::uint32_t>(color.b)} << 32 |
        static_cast<std::uint32_t>(color.a);
    return std::hash<std::uint64_t>{}(red_green * 0x9e3779b97f4a7c15u ^
                                      blue_alpha);
  }
};

// Plays through, without changing the picture, what the pixel setter does
// to a palette picture while bytes are hidden in it one by one, so that put
// knows before its first change whether every byte will read back. The
// setter gives a pixel the index sng::palette_index gives its new colour,
// appending the colour when the index is new; appended entries can give
// meaning to indices that named no entry.
class palette_trial {
 public:
  // Entries the setter never names are left out: the first index it refuses
  // ends them. A colour held by no entry left in is then as good as absent,
  // since the setter refuses to append to a palette holding such entries.
  explicit palette_trial(const sng& picture)
      : picture_(picture), size_(picture.chunk_PLTE().colors.size()) {
    for (std::size_t index = 0;
         index < size_ && sng::palette_index(index, size_); ++index)
      first_index_.emplace(entry(index), index);
  }

  // Whether `byte` hidden at `position`, a position not used before, reads
  // back; the palette grows as the setter would grow it.
  bool hide(const pixel& position, unsigned char byte) {
    const std::size_t index =
        picture_.chunk_IMAGE().index(position.x, position.y);
    const pcolor old = index < size_ ? entry(index) : pcolor();
    const pcolor wanted = with_byte(old, byte);
    const auto found = first_index_.find(wanted);
    const std::optional<std::size_t> given = sng::palette_index(
        found == first_index_.end() ? std::nullopt
                                    : std::optional(found->second),
        size_);
    if (!given) return old == wanted;  // the pixel stays as it was
    if (*given == size_) {
      appended_.push_back(wanted);
      first_index_.emplace(wanted, size_++);
    }
    return true;
  }

 private:
  const pcolor& entry(std::size_t index) const {
    const std::vector<pcolor>& original = picture_.chunk_PLTE().colors;
    return index < original.size() ? original[index]
                                   : appended_[index - original.size()];
  }

  const sng& picture_;
  std::size_t size_;  // entries, the appended ones included
  std::vector<pcolor> appended_;
  // Each colour of the entries the setter may name, at its first index.
  std::unordered_map<pcolor, std::size_t, color_hash> first_index_;
};

// Whether every byte of `text` hidden at its position reads back from the
// picture in memory. Only a palette picture can refuse a colour: the setter
// of any other stores every colour. (Rows read as indices in a picture whose
// header names no palette are written back as indices, so there the green
// and blue bits of a byte do not survive the written text.)
bool every_byte_fits(const sng& picture, const std::vector<pixel>& positions,
                     const std::string& text) {
  if (!picture.chunk_IHDR().palette) return true;
  palette_trial trial(picture);
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!trial.hide(positions[i], static_cast<unsigned char>(text[i])))
      return false;
  return true;
}

}  // namespace

bool operator<(const pixel& left, const pixel& right) {
  return left.x != right.x ? left.x < right.x : left.y < right.y;
}

std::ostream& operator<<(std::ostream& out, const pixel& position) {
  return out << position.x << ':' << position.y;
}

pixel random_position(long width, long height) {
  std::mt19937_64& generator = position_generator();
  std::uniform_int_distribution<long> column(0, width - 1);
  std::uniform_int_distribution<long> row(0, height - 1);
  const auto x = static_cast<std::uint32_t>(column(generator));
  return {x, static_cast<std::uint32_t>(row(generator))};
}

namespace stego {

std::vector<pixel> put(sng& picture, const std::string& text) {
  const std::int64_t width = picture.width();
  const std::int64_t height = picture.height();
  if (text.empty() || !fits_in_half(text.size(), width, height)) return {};

  // Every position is drawn and every byte tried before the first change,
  // so that a byte that cannot be stored leaves the picture as it was.
  std::vector<pixel> positions = distinct_positions(text.size(), width, height);
  if (!every_byte_fits(picture, positions, text)) return {};
  for (std::size_t i = 0; i < text.size(); ++i)
    hide_byte(picture, positions[i], static_cast<unsigned char>(text[i]));
  return positions;
}

std::string get(const sng& picture, const std::vector<pixel>& positions) {
  std::string text;
  text.reserve(positions.size());
  for (const pixel& position : positions)
    text.push_back(
        static_cast<char>(byte_in(picture.pixel(position.x, position.y))));
  return text;
}

}  // namespace stego
