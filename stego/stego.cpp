#include "stego/stego.h"

#include <random>
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

// Hides `byte` at `position`. The setter silently keeps the old pixel when a
// full palette has no room for the new colour, so success is read back.
bool hide_byte(sng& picture, const pixel& position, unsigned char byte) {
  const pcolor wanted = with_byte(picture.pixel(position.x, position.y), byte);
  picture.pixel(position.x, position.y, wanted);
  return picture.pixel(position.x, position.y) == wanted;
}

}  // namespace

bool operator<(const pixel& left, const pixel& right) {
  return left.x != right.x ? left.x < right.x : left.y < right.y;
}

pixel get_next(const std::set<pixel>& used, long width, long height) {
  std::mt19937_64& generator = position_generator();
  std::uniform_int_distribution<long> column(0, width - 1);
  std::uniform_int_distribution<long> row(0, height - 1);
  pixel position{};
  do {
    position.x = static_cast<std::uint32_t>(column(generator));
    position.y = static_cast<std::uint32_t>(row(generator));
  } while (used.contains(position));
  return position;
}

namespace stego {

std::vector<pixel> put(sng& picture, const std::string& text) {
  const std::int64_t width = picture.width();
  const std::int64_t height = picture.height();
  if (text.empty() || !fits_in_half(text.size(), width, height)) return {};

  // Changes go to a copy so that a byte that cannot be stored leaves the
  // caller's picture exactly as it was, palette included.
  sng changed = picture;
  std::vector<pixel> positions;
  positions.reserve(text.size());
  std::set<pixel> used;
  for (const char character : text) {
    const pixel position = get_next(used, width, height);
    used.insert(position);
    if (!hide_byte(changed, position, static_cast<unsigned char>(character)))
      return {};
    positions.push_back(position);
  }
  picture = std::move(changed);
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
