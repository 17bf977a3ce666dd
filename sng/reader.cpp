// The SNG reader: the chunk scanner (sng::sng) and one step per chunk kind.
//
// The small chunks are read with string streams, whose extraction rules are
// the format's rules. Pixel rows, the bulk of every text, are decoded by the
// loops below, which split words exactly where stream extraction would and
// apply the same digit rule to every character.
#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "sng/hex.h"
#include "sng/sng.h"
#include "sng/strlib.h"

namespace {

// The characters that stream extraction treats as white space.
constexpr std::array<bool, 256> white_space = [] {
  std::array<bool, 256> table{};
  for (const char c : std::string_view(" \t\n\v\f\r"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// The value each character adds as a hexadecimal digit: '0' to '9' are 0 to
// 9; every other character counts as a lowercase letter, its signed code
// minus 'a' plus 10, so no character is ever rejected.
constexpr std::array<std::uint32_t, 256> digit_value = [] {
  std::array<std::uint32_t, 256> table{};
  for (int code = 0; code < 256; ++code) {
    const int c = static_cast<signed char>(code);
    table[code] = static_cast<std::uint32_t>(
        c >= '0' && c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return table;
}();

bool is_white_space(char c) {
  return white_space[static_cast<unsigned char>(c)];
}

// One sample of `digits` hexadecimal digits from `position`, consuming one
// character per digit while `more` says that one remains; a missing digit
// shifts in a zero.
template <class Iterator, class Digits, class More>
std::uint32_t read_sample(Iterator& position, Digits digits, More more) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < digits; ++i) {
    value *= 16;
    if (more(position))
      value += digit_value[static_cast<unsigned char>(*position++)];
  }
  return value;
}

// One direct pixel: red, green and blue, then alpha only when characters
// remain; `position` is left after the samples read.
template <class Iterator, class Digits, class More>
color_t read_color(Iterator& position, Digits digits, More more) {
  color_t pixel;
  pixel.color.r =
      static_cast<std::int32_t>(read_sample(position, digits, more));
  pixel.color.g =
      static_cast<std::int32_t>(read_sample(position, digits, more));
  pixel.color.b =
      static_cast<std::int32_t>(read_sample(position, digits, more));
  if (more(position))
    pixel.color.a =
        static_cast<std::int32_t>(read_sample(position, digits, more));
  return pixel;
}

// Whether characters remain before `end`.
template <class Iterator>
auto before(Iterator end) {
  return [end](const Iterator& position) { return position != end; };
}

// Hexadecimal digits per direct sample.
unsigned sample_digits(unsigned char bitdepth) { return bitdepth >> 2; }

// Calls `visit` with every pixel row of an IMAGE body, in order: every line
// that is neither empty nor holds "pixels hex".
template <class Visit>
void for_each_row(std::string_view body, Visit visit) {
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view line = body.substr(start, end - start);
    if (!line.empty() && line.find("pixels hex") == std::string_view::npos)
      visit(line);
    start = end + 1;
  }
}

// The most pixels a row line can give: one per two characters, the last
// possibly alone, in either mode.
std::size_t max_pixels(std::string_view line) { return (line.size() + 1) / 2; }

void decode_index_row(std::string_view line, std::vector<color_t>& row) {
  const char* position = line.data();
  const char* const end = position + line.size();
  while (position != end)
    row.emplace_back(static_cast<std::uint8_t>(
        read_sample(position, index_digits, before(end))));
}

// Whether a word ends at `position`.
bool word_ends(const char* position, const char* end) {
  return position == end || is_white_space(*position);
}

// The values of the lower-case hexadecimal digits; every other character
// has bit 4 set.
constexpr std::array<std::uint8_t, 256> plain_hex = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(0x10);
  for (int d = 0; d < 16; ++d) table["0123456789abcdef"[d]] = d;
  return table;
}();

// One sample of `digits` characters from `position`, read as lower-case
// hexadecimal digits; `bad` gains bit 4 when one of them is not such a digit.
template <class Digits>
std::uint32_t plain_sample(const char* position, Digits digits, unsigned& bad) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < digits; ++i) {
    const unsigned digit = plain_hex[static_cast<unsigned char>(position[i])];
    bad |= digit;
    value = value << 4 | (digit & 15);
  }
  return value;
}

// Decodes the word at `position` when it is exactly red, green and blue, or
// those and alpha, all in lower-case hexadecimal digits: the common case,
// which needs no check per digit. Then advances `position` past the word and
// returns true; otherwise leaves both alone.
template <class Digits>
bool decode_plain_word(const char*& position, const char* end, Digits digits,
                       color_t& pixel) {
  const auto left = static_cast<std::size_t>(end - position);
  if (digits == 0 || left < 3 * digits) return false;
  unsigned bad = 0;
  const std::uint32_t red = plain_sample(position, digits, bad);
  const std::uint32_t green = plain_sample(position + digits, digits, bad);
  const std::uint32_t blue = plain_sample(position + 2 * digits, digits, bad);
  std::uint32_t alpha = 0;
  std::size_t length = 3 * digits;
  if (!word_ends(position + length, end)) {
    if (left < 4 * digits) return false;
    alpha = plain_sample(position + length, digits, bad);
    length += digits;
    if (!word_ends(position + length, end)) return false;
  }
  if (bad & 0x10) return false;
  pixel.color =
      pcolor(static_cast<std::int32_t>(red), static_cast<std::int32_t>(green),
             static_cast<std::int32_t>(blue), static_cast<std::int32_t>(alpha));
  position += length;
  return true;
}

// Decodes each word of the line as one pixel, in one pass: a word ends at
// the first white space, as stream extraction ends it.
template <class Digits>
void decode_direct_row(std::string_view line, Digits digits,
                       std::vector<color_t>& row) {
  const char* position = line.data();
  const char* const end = position + line.size();
  const auto in_word = [end](const char* at) {
    return at != end && !is_white_space(*at);
  };
  for (;;) {
    while (position != end && is_white_space(*position)) ++position;
    if (position == end) return;
    color_t pixel;
    if (decode_plain_word(position, end, digits, pixel)) {
      row.push_back(pixel);
      continue;
    }
    row.push_back(read_color(position, digits, in_word));
    while (in_word(position)) ++position;  // characters after the samples
  }
}

void decode_row(std::string_view line, unsigned char bitdepth, bool palette,
                std::vector<color_t>& row) {
  if (palette)
    decode_index_row(line, row);
  else
    with_sample_digits(sample_digits(bitdepth), [&](auto digits) {
      decode_direct_row(line, digits, row);
    });
}

// The last IMAGE chunk of a text, kept undecoded until the header is final:
// a later IMAGE chunk replaces all rows, and the rows must match the header
// read last, so only this one chunk is ever decoded, and only after its row
// count has been found to match.
struct pending_rows {
  std::string_view body;
  unsigned char bitdepth = 0;  // of the header read before the chunk
  bool palette = false;        // whether a PLTE chunk came before it
};

// The rows of `pending`, tested against the header's height and width;
// memory is taken only for rows that can still match, never by the header's
// numbers alone.
sng_IMAGE decode_checked_rows(const pending_rows& pending,
                              const sng_IHDR& header) {
  std::int64_t count = 0;
  for_each_row(pending.body, [&count](std::string_view) { ++count; });
  if (count != header.height) throw sng::parse_error();

  sng_IMAGE image;
  image.indexed = pending.palette && count > 0;
  image.rows.reserve(static_cast<std::size_t>(count));
  const auto width =
      static_cast<std::uint64_t>(std::max<std::int64_t>(header.width, 0));
  for_each_row(pending.body, [&](std::string_view line) {
    auto& row = image.rows.emplace_back();
    row.reserve(std::min<std::uint64_t>(width, max_pixels(line)));
    decode_row(line, pending.bitdepth, pending.palette, row);
    if (static_cast<std::int64_t>(row.size()) != header.width)
      throw sng::parse_error();
  });
  return image;
}

// Reads the body word by word; calls `field` with each word (one trailing
// colon or semicolon dropped) and the stream, for it to read the value.
template <class Field>
void read_fields(const std::string& body, Field field) {
  std::istringstream in(body);
  std::string word;
  while (in >> word) field(_(word), in);
}

}  // namespace

void check_pos(unsigned long position) {
  if (position == std::string::npos) throw sng::parse_error();
}

std::uint32_t hex2byte(std::string::const_iterator& position,
                       const std::string::const_iterator& end,
                       unsigned char bits) {
  return read_sample(position, sample_digits(bits), before(end));
}

color_t hex2color(const std::string& word, unsigned char bitdepth) {
  auto position = word.begin();
  return read_color(position, sample_digits(bitdepth), before(word.end()));
}

sng_IHDR parse_IHDR(const std::string& body) {
  sng_IHDR header;
  read_fields(body, [&header](const std::string& word, std::istringstream& in) {
    if (word == "height") {
      header.height = get_num<long>(in);
    } else if (word == "width") {
      header.width = get_num<long>(in);
    } else if (word == "bitdepth") {
      header.bitdepth = get_num<unsigned char>(in);
    } else if (word == "using") {
      std::string kind;
      while (in >> kind) {
        kind = _(kind);
        if (kind == "color") header.color = true;
        if (kind == "palette") header.palette = true;
        if (kind == "alpha") header.alpha = true;
      }
    }
  });
  return header;
}

sng_gAMA parse_gAMA(const std::string& body) {
  sng_gAMA gamma;
  std::istringstream in(body);
  in >> gamma.gamma;
  return gamma;
}

sng_PLTE parse_PLTE(const std::string& body) {
  sng_PLTE palette;
  std::istringstream in(replace(body, "(),", ' '));
  int r = 0;
  int g = 0;
  int b = 0;
  while (in >> r >> g >> b) palette.colors.emplace_back(r, g, b, 0);
  return palette;
}

sng_hIST parse_hIST(const std::string& body) {
  sng_hIST histogram;
  std::istringstream in(_(body));
  std::int16_t value = 0;
  while (in >> value) histogram.values.push_back(value);
  return histogram;
}

sng_tIME parse_tIME(const std::string& body) {
  sng_tIME time;
  read_fields(body, [&time](const std::string& word, std::istringstream& in) {
    if (word == "year") time.year = get_num<short>(in);
    if (word == "month") time.month = get_num<unsigned char>(in);
    if (word == "day") time.day = get_num<unsigned char>(in);
    if (word == "hour") time.hour = get_num<unsigned char>(in);
    if (word == "minute") time.minute = get_num<unsigned char>(in);
    if (word == "second") time.second = get_num<unsigned char>(in);
  });
  return time;
}

sng_tEXt parse_tEXt(const std::string& body) {
  sng_tEXt text;
  read_fields(body, [&text](const std::string& word, std::istringstream& in) {
    if (word == "keyword") in >> text.keyword;
    if (word == "text") std::getline(in, text.text);
  });
  return text;
}

sng_IMAGE parse_IMAGE(const std::string& body, unsigned char bitdepth,
                      bool palette) {
  sng_IMAGE image;
  for_each_row(body, [&](std::string_view line) {
    decode_row(line, bitdepth, palette, image.rows.emplace_back());
  });
  image.indexed = palette && !image.rows.empty();
  return image;
}

void parse_private(sng_private& values, const std::string& body,
                   const std::string& head) {
  const auto key_first = head.find_first_not_of(" \t");
  check_pos(key_first);
  const auto key_last = head.find_last_not_of(" \t");
  const auto open_quote = body.find('"');
  check_pos(open_quote);
  const auto close_quote = body.find('"', open_quote + 1);
  check_pos(close_quote);
  values.entries.insert_or_assign(
      head.substr(key_first, key_last - key_first + 1),
      body.substr(open_quote + 1, close_quote - open_quote - 1));
}

sng::sng(const std::string& text) {
  bool header_seen = false;
  bool palette_seen = false;
  pending_rows image;  // none yet: no rows
  std::string::size_type position = 0;
  for (;;) {
    const auto name_start = text.find_first_not_of(" \t\n", position);
    if (name_start == std::string::npos) break;
    const auto name_end = text.find_first_of(" \t\n{", name_start);
    check_pos(name_end);
    const auto open = text.find('{', name_end);
    check_pos(open);
    const auto close = text.find('}', open);
    check_pos(close);
    position = close + 1;
    if (close == open + 1) continue;

    const std::string name = _(text.substr(name_start, name_end - name_start));
    const std::string_view body(text.data() + open + 1, close - open - 1);
    if (name == "IMAGE") {
      image = pending_rows{body, header_.bitdepth, palette_seen};
    } else if (name == "IHDR") {
      header_ = parse_IHDR(std::string(body));
      header_seen = true;
    } else if (name == "gAMA") {
      gamma_ = parse_gAMA(std::string(body));
    } else if (name == "PLTE") {
      palette_ = parse_PLTE(std::string(body));
      palette_seen = true;
    } else if (name == "hIST") {
      histogram_ = parse_hIST(std::string(body));
    } else if (name == "tIME") {
      time_ = parse_tIME(std::string(body));
    } else if (name == "tEXt") {
      text_ = parse_tEXt(std::string(body));
    } else if (name == "private") {
      parse_private(private_values_, std::string(body),
                    text.substr(name_end, open - name_end));
    }
  }
  if (!header_seen) throw parse_error();
  image_ = decode_checked_rows(image, header_);
}
