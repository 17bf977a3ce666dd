#include "client/raster.h"

#include <algorithm>

namespace client {

unsigned channels(raster::form kind) {
  switch (kind) {
    case raster::form::grey:
    case raster::form::indexed:
      return 1;
    case raster::form::grey_alpha:
      return 2;
    case raster::form::rgb:
      return 3;
    case raster::form::rgba:
      return 4;
  }
  return 0;
}

bool has_alpha(raster::form kind) {
  return kind == raster::form::grey_alpha || kind == raster::form::rgba;
}

std::size_t raster::sample_count() const {
  return std::size_t{width} * height * channels(kind);
}

std::uint16_t raster::sample(std::size_t position) const {
  if (bitdepth != 16) return data[position];
  return static_cast<std::uint16_t>(data[2 * position] << 8 |
                                    data[2 * position + 1]);
}

void raster::set_sample(std::size_t position, std::uint16_t value) {
  if (bitdepth != 16) {
    data[position] = static_cast<std::uint8_t>(value);
    return;
  }
  data[2 * position] = static_cast<std::uint8_t>(value >> 8);
  data[2 * position + 1] = static_cast<std::uint8_t>(value);
}

std::size_t raster::data_bytes() const {
  return sample_count() * (bitdepth / 8);
}

void raster::allocate() { data.assign(data_bytes(), 0); }

raster without_palette(const raster& picture) {
  raster result;
  result.kind = raster::form::rgb;
  result.width = picture.width;
  result.height = picture.height;
  result.keyword = picture.keyword;
  result.text = picture.text;
  result.allocate();
  auto out = result.data.begin();
  for (const std::uint8_t index : picture.data)
    out = std::copy(picture.palette[index].begin(),
                    picture.palette[index].end(), out);
  return result;
}

}  // namespace client
