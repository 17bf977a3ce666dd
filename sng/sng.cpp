// The picture model: pixel, text, time and private-value accessors.
#include "sng/sng.h"

#include <algorithm>
#include <cstddef>

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

}  // namespace

bool operator==(const pcolor& left, const pcolor& right) {
  return left.r == right.r && left.g == right.g && left.b == right.b &&
         left.a == right.a;
}

bool operator==(const sng_IMAGE& left, const sng_IMAGE& right) {
  if (left.indexed != right.indexed || left.rows.size() != right.rows.size())
    return false;
  const auto same_pixel = [indexed = left.indexed](const color_t& l,
                                                   const color_t& r) {
    return indexed ? l.index == r.index : l.color == r.color;
  };
  for (std::size_t y = 0; y < left.rows.size(); ++y) {
    if (!std::equal(left.rows[y].begin(), left.rows[y].end(),
                    right.rows[y].begin(), right.rows[y].end(), same_pixel))
      return false;
  }
  return true;
}

std::string _(const std::string& word) {
  if (!word.empty() && (word.back() == ':' || word.back() == ';'))
    return word.substr(0, word.size() - 1);
  return word;
}

std::int64_t sng::width() const { return header_.width; }

std::int64_t sng::height() const { return header_.height; }

pcolor sng::pixel(unsigned int x, unsigned int y) const {
  if (!inside(header_, x, y)) return pcolor();
  const color_t& stored = image_.rows[y][x];
  if (!header_.palette) return stored.color;
  const auto& colors = palette_.colors;
  return stored.index < colors.size() ? colors[stored.index] : pcolor();
}

void sng::pixel(unsigned int x, unsigned int y, pcolor color) noexcept {
  if (!inside(header_, x, y)) return;
  color_t& stored = image_.rows[y][x];
  if (!header_.palette) {
    stored.color = color;
    return;
  }
  auto& colors = palette_.colors;
  const auto found = std::find(colors.begin(), colors.end(), color);
  const auto position = static_cast<std::size_t>(found - colors.begin());
  if (found != colors.end()) {
    if (position < palette_index_limit)
      stored.index = static_cast<std::uint8_t>(position);
    return;
  }
  if (colors.size() >= palette_growth_limit) return;
  stored.index = static_cast<std::uint8_t>(colors.size());
  colors.push_back(color);
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
