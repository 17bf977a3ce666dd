// The SNG reader: the chunk scanner (sng::sng) and one step per chunk kind.
//
// The small chunks are read with string streams, whose extraction rules are
// the format's rules. Pixel rows, the bulk of every text, are decoded by the
// loops below, which split words exactly where stream extraction would and
// apply the same digit rule to every character.
#include "sng/reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "sng/hex.h"
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

// `word` without one trailing colon or semicolon.
std::string_view without_colon(std::string_view word) {
  if (!word.empty() && (word.back() == ':' || word.back() == ';'))
    word.remove_suffix(1);
  return word;
}

// Throws sng::parse_error when `position` is std::string::npos.
void check_pos(std::size_t position) {
  if (position == std::string::npos) throw sng::parse_error();
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
pcolor read_color(Iterator& position, Digits digits, More more) {
  pcolor color;
  color.r = static_cast<std::int32_t>(read_sample(position, digits, more));
  color.g = static_cast<std::int32_t>(read_sample(position, digits, more));
  color.b = static_cast<std::int32_t>(read_sample(position, digits, more));
  if (more(position))
    color.a = static_cast<std::int32_t>(read_sample(position, digits, more));
  return color;
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

// How a line was decoded into a row.
struct decoded_row {
  // The pixels of the line; room + 1 when it holds more than the row's room.
  std::size_t pixels;
  // The layout its pixels need. When it is wider than the row's layout, a
  // pixel that needs it stopped the decoding and the row is unfinished.
  pixel_layout needs;
  // The hexadecimal digits that its widest sample needs, at most.
  unsigned sample_digits;
};

// Where the pixels of one row go: room for a number of pixels, stored one
// after another in the layout `Stored`.
template <pixel_layout Stored>
class row_room {
 public:
  row_room(std::uint8_t* first, std::size_t pixels)
      : first_(first), next_(first), end_(first + pixels * pixel_bytes) {}

  // Stores `color` as the next pixel. Stores nothing and returns false when
  // the row is full or its layout cannot hold the colour; `fitting` says
  // that it can.
  bool put(const pcolor& color, bool fitting = false) {
    if (next_ == end_) {
      full_ = true;
      return false;
    }
    if (!fitting && !fits(layout_constant<Stored>(), color)) {
      misfit_ = color;
      return false;
    }
    store_pixel(layout_constant<Stored>(), next_, color);
    next_ += pixel_bytes;
    return true;
  }

  // How the row was decoded, its samples needing up to `sample_digits`.
  decoded_row result(unsigned sample_digits) const {
    const std::size_t stored =
        static_cast<std::size_t>(next_ - first_) / pixel_bytes;
    return {full_ ? stored + 1 : stored,
            misfit_ ? sng_IMAGE::narrowest_for(*misfit_) : Stored,
            sample_digits};
  }

 private:
  static constexpr std::size_t pixel_bytes = sng_IMAGE::pixel_bytes(Stored);

  std::uint8_t* first_;
  std::uint8_t* next_;
  std::uint8_t* end_;
  bool full_ = false;
  std::optional<pcolor> misfit_;  // a colour the layout cannot hold
};

// Each decoder stores the pixels of one line in a row of `room` pixels at
// `row` until the line ends or the row takes no more.
decoded_row decode_index_row(std::string_view line, std::uint8_t* row,
                             std::size_t room) {
  row_room<pixel_layout::index> out(row, room);
  const char* position = line.data();
  const char* const end = position + line.size();
  while (position != end) {
    const auto index = static_cast<std::uint8_t>(
        read_sample(position, index_digits, before(end)));
    if (!out.put(pcolor(index, 0, 0, 0))) break;
  }
  return out.result(index_digits);
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
                       pcolor& color) {
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
  color =
      pcolor(static_cast<std::int32_t>(red), static_cast<std::int32_t>(green),
             static_cast<std::int32_t>(blue), static_cast<std::int32_t>(alpha));
  position += length;
  return true;
}

// Decodes each word of the line as one pixel, in one pass: a word ends at
// the first white space, as stream extraction ends it.
template <pixel_layout Stored, class Digits>
decoded_row decode_direct_row(std::string_view line, Digits digits,
                              std::uint8_t* row, std::size_t room) {
  row_room<Stored> out(row, room);
  const char* position = line.data();
  const char* const end = position + line.size();
  const auto in_word = [end](const char* at) {
    return at != end && !is_white_space(*at);
  };
  // Samples of plain digits need no more than `digits`, and fit the layout
  // the digits give, and so every layout rows of these digits are stored in.
  const unsigned plain_digits = std::min(std::max(unsigned{digits}, 1u), 8u);
  std::uint32_t other_bits = 0;  // of the samples of every other pixel
  for (;;) {
    while (position != end && is_white_space(*position)) ++position;
    if (position == end) break;
    pcolor color;
    const bool plain = decode_plain_word(position, end, digits, color);
    if (!plain) {
      color = read_color(position, digits, in_word);
      while (in_word(position)) ++position;  // characters after the samples
      other_bits |=
          static_cast<std::uint32_t>(color.r | color.g | color.b | color.a);
    }
    if (!out.put(color, plain)) break;
  }
  return out.result(std::max(plain_digits, hex_length(other_bits)));
}

// The layout that rows decoded with `bitdepth` are stored in, unless one of
// their pixels needs a wider one: samples of plain hexadecimal digits fit
// it, but the digit rule takes any character.
pixel_layout row_layout(unsigned char bitdepth, bool palette) {
  return palette ? pixel_layout::index
                 : sng_IMAGE::for_sample_digits(sample_digits(bitdepth));
}

// Decodes a line of direct pixels with any number of digits per sample into
// a row of any layout but index.
decoded_row decode_any_direct_row(std::string_view line, unsigned digits,
                                  pixel_layout stored, std::uint8_t* row,
                                  std::size_t room) {
  decoded_row decoded{};
  with_layout(stored, [&](auto stored) {
    if constexpr (stored != pixel_layout::index)
      decoded = decode_direct_row<stored>(line, digits, row, room);
  });
  return decoded;
}

// Decodes a line into a row stored in `stored`. The common bit depths, in
// the layout they give, have loops of their own; other bit depths and rows
// that were widened share one loop per layout.
decoded_row decode_line(std::string_view line, unsigned char bitdepth,
                        bool palette, pixel_layout stored, std::uint8_t* row,
                        std::size_t room) {
  if (palette) return decode_index_row(line, row, room);
  decoded_row decoded{};
  with_sample_digits(sample_digits(bitdepth), [&](auto digits) {
    if constexpr (std::is_empty_v<decltype(digits)>) {
      constexpr pixel_layout usual = sng_IMAGE::for_sample_digits(digits);
      if (stored == usual) {
        decoded = decode_direct_row<usual>(line, digits, row, room);
        return;
      }
    }
    decoded = decode_any_direct_row(line, digits, stored, row, room);
  });
  return decoded;
}

// Decodes `line` into a new last row of `image` with room for `room` pixels,
// and returns the pixels the line holds (room + 1 when it holds more); the
// row is begun, not ended. When a pixel needs a wider layout, calls
// `before_widening` with it, widens the image and decodes the line again.
template <class BeforeWidening>
std::size_t decode_row(sng_IMAGE& image, std::string_view line,
                       unsigned char bitdepth, bool palette, std::size_t room,
                       BeforeWidening before_widening) {
  for (;;) {
    std::uint8_t* row = image.begin_row(room);
    const decoded_row decoded =
        decode_line(line, bitdepth, palette, image.stored(), row, room);
    if (decoded.needs <= image.stored()) {
      image.note_sample_digits(decoded.sample_digits);
      return decoded.pixels;
    }
    before_widening(decoded.needs);
    image.widen(decoded.needs);
  }
}

// The body of an IMAGE chunk and how to read its rows. The scanner keeps the
// last one undecoded until the header is final: a later IMAGE chunk replaces
// all rows, and the rows must match the header read last, so only this one
// chunk is ever decoded, and only after its row count has been found to
// match.
struct pending_rows {
  std::string_view body;
  unsigned char bitdepth = 0;  // of the header read before the chunk
  bool palette = false;        // whether a PLTE chunk came before it
};

// Decodes every row of `rows` into `image`, in order. With a `width`, each
// row must hold exactly that many pixels (parse_error otherwise); without,
// a row holds the pixels its line gives.
template <class BeforeWidening>
void decode_rows(sng_IMAGE& image, const pending_rows& rows,
                 std::optional<std::size_t> width,
                 BeforeWidening before_widening) {
  for_each_row(rows.body, [&](std::string_view line) {
    const std::size_t room = width ? *width : max_pixels(line);
    const std::size_t pixels = decode_row(image, line, rows.bitdepth,
                                          rows.palette, room, before_widening);
    if (width && pixels != *width) throw sng::parse_error();
    image.end_row(pixels);
  });
  image.indexed = rows.palette && image.row_count() > 0;
}

// Memory the reader may take beyond what it has reserved: needs below this
// are not worth a call, and what the reader holds stays within 64 KiB of
// what it reserved.
constexpr std::size_t unreserved_bytes = 32 * 1024;

// Memory that reading one chunk other than IMAGE may take at its peak, per
// byte of its body and head: the copy of the body, the stream over it or a
// second copy, the words read from it and the record built, each up to
// twice its length while it grows (a palette entry of 16 bytes per six
// characters, with its old and new block while it grows, is the most), and
// a little for each allocation.
constexpr std::size_t chunk_bytes_per_text_byte = 12;
constexpr std::size_t chunk_fixed_bytes = 1024;

std::size_t chunk_peak_bytes(std::size_t text_bytes) {
  return chunk_bytes_per_text_byte * text_bytes + chunk_fixed_bytes;
}

// The memory the reader has reserved: before taking memory it covers what
// it will hold at most, reserving what exceeds its earlier reservations.
class memory_account {
 public:
  explicit memory_account(const sng::reserve_memory& reserve)
      : reserve_(reserve) {}

  // Makes sure that holding `peak` bytes stays within what is reserved plus
  // unreserved_bytes.
  void cover(std::size_t peak) {
    if (peak <= reserved_ + unreserved_bytes) return;
    reserve_(peak - reserved_);
    reserved_ = peak;
  }

 private:
  const sng::reserve_memory& reserve_;
  std::size_t reserved_ = 0;
};

// The rows of `pending`, tested against the header's height and width, all
// in one block. Its size is known, and reserved on top of the `held` bytes,
// once every line is found to have room for the width: memory is never
// taken by the header's numbers alone.
sng_IMAGE decode_checked_rows(const pending_rows& pending,
                              const sng_IHDR& header, std::size_t held,
                              memory_account& account) {
  // A negative width becomes one that no line has room for.
  const auto width = static_cast<std::uint64_t>(header.width);
  std::int64_t count = 0;
  bool room = true;
  for_each_row(pending.body, [&](std::string_view line) {
    ++count;
    room = room && max_pixels(line) >= width;
  });
  if (count != header.height || !room) throw sng::parse_error();

  const pixel_layout stored = row_layout(pending.bitdepth, pending.palette);
  sng_IMAGE image(stored);
  if (count == 0) return image;
  const std::size_t pixels = static_cast<std::size_t>(count) * width;
  account.cover(held + sng_IMAGE::memory_for(pixels, stored));
  image.reserve(pixels);
  // While widening, the block is copied into one of the wider layout.
  const auto before_widening = [&](pixel_layout wider) {
    account.cover(held + sng_IMAGE::memory_for(pixels, image.stored()) +
                  sng_IMAGE::memory_for(pixels, wider));
  };
  decode_rows(image, pending, width, before_widening);
  return image;
}

// The key and the value of a private chunk, within its head and its body.
std::pair<std::string_view, std::string_view> private_entry(
    std::string_view body, std::string_view head) {
  const auto key_first = head.find_first_not_of(" \t");
  check_pos(key_first);
  const auto key_last = head.find_last_not_of(" \t");
  const auto open_quote = body.find('"');
  check_pos(open_quote);
  const auto close_quote = body.find('"', open_quote + 1);
  check_pos(close_quote);
  return {head.substr(key_first, key_last - key_first + 1),
          body.substr(open_quote + 1, close_quote - open_quote - 1)};
}

// Stores the key and value of a private chunk; returns how many bytes that
// adds to what the values hold, negative when a longer value is replaced.
std::ptrdiff_t store_private(sng_private& values, std::string_view body,
                             std::string_view head) {
  const auto [key, value] = private_entry(body, head);
  auto [entry, added] = values.entries.try_emplace(std::string(key));
  const auto before =
      added ? 0 : sng_private::entry_size(entry->first, entry->second);
  entry->second = std::string(value);
  return static_cast<std::ptrdiff_t>(
             sng_private::entry_size(entry->first, entry->second)) -
         static_cast<std::ptrdiff_t>(before);
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

std::string _(const std::string& word) {
  return std::string(without_colon(word));
}

std::uint32_t hex2byte(std::string::const_iterator& position,
                       const std::string::const_iterator& end,
                       unsigned char bits) {
  return read_sample(position, sample_digits(bits), before(end));
}

color_t hex2color(const std::string& word, unsigned char bitdepth) {
  auto position = word.begin();
  color_t pixel;
  pixel.color =
      read_color(position, sample_digits(bitdepth), before(word.end()));
  return pixel;
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
  sng_IMAGE image(row_layout(bitdepth, palette));
  decode_rows(image, pending_rows{body, bitdepth, palette}, std::nullopt,
              [](pixel_layout) {});
  return image;
}

namespace {

// The chunks the reader knows; every other name is skipped.
enum class chunk_kind {
  header,
  gamma,
  palette,
  histogram,
  time,
  text,
  image,
  private_value,
  unknown
};

chunk_kind kind_of(std::string_view name) {
  if (name == "IHDR") return chunk_kind::header;
  if (name == "gAMA") return chunk_kind::gamma;
  if (name == "PLTE") return chunk_kind::palette;
  if (name == "hIST") return chunk_kind::histogram;
  if (name == "tIME") return chunk_kind::time;
  if (name == "tEXt") return chunk_kind::text;
  if (name == "IMAGE") return chunk_kind::image;
  if (name == "private") return chunk_kind::private_value;
  return chunk_kind::unknown;
}

// One chunk of a text: what its name names, the text between its name and
// its "{", and its body, between "{" and the first "}" after it.
struct chunk {
  chunk_kind kind;
  std::string_view head;
  std::string_view body;
};

// The chunk that starts at or after `position`, which is moved past its "}";
// nothing when only white space is left. Throws sng::parse_error when the
// text has a name without "{", or "{" without "}".
std::optional<chunk> next_chunk(std::string_view text,
                                std::string_view::size_type& position) {
  const auto name_start = text.find_first_not_of(" \t\n", position);
  if (name_start == std::string_view::npos) return std::nullopt;
  const auto name_end = text.find_first_of(" \t\n{", name_start);
  check_pos(name_end);
  const auto open = text.find('{', name_end);
  check_pos(open);
  const auto close = text.find('}', open);
  check_pos(close);
  position = close + 1;
  return chunk{
      kind_of(without_colon(text.substr(name_start, name_end - name_start))),
      text.substr(name_end, open - name_end),
      text.substr(open + 1, close - open - 1)};
}

}  // namespace

sng::sng(const std::string& text) : sng(text, [](std::size_t) {}) {}

sng::sng(const std::string& text, const reserve_memory& reserve) {
  memory_account account(reserve);
  std::ptrdiff_t private_bytes = 0;  // what private_values_ holds
  const auto held = [&] {
    return palette_.memory_size() + histogram_.memory_size() +
           text_.memory_size() + static_cast<std::size_t>(private_bytes);
  };
  bool header_seen = false;
  bool palette_seen = false;
  pending_rows image;  // none yet: no rows
  std::string_view::size_type position = 0;
  while (const std::optional<chunk> next = next_chunk(text, position)) {
    const auto [kind, head, body] = *next;
    // A chunk with an empty body, or a name the reader does not know, says
    // nothing.
    if (body.empty() || kind == chunk_kind::unknown) continue;
    if (kind == chunk_kind::image) {
      image = pending_rows{body, header_.bitdepth, palette_seen};
      continue;
    }
    account.cover(held() + chunk_peak_bytes(head.size() + body.size()));
    if (kind == chunk_kind::private_value) {
      private_bytes += store_private(private_values_, body, head);
      continue;
    }
    // The copy the step reads lives until its record is stored.
    const std::string copy(body);
    switch (kind) {
      case chunk_kind::header:
        header_ = parse_IHDR(copy);
        header_seen = true;
        break;
      case chunk_kind::gamma:
        gamma_ = parse_gAMA(copy);
        break;
      case chunk_kind::palette:
        palette_ = parse_PLTE(copy);
        palette_seen = true;
        break;
      case chunk_kind::histogram:
        histogram_ = parse_hIST(copy);
        break;
      case chunk_kind::time:
        time_ = parse_tIME(copy);
        break;
      default:  // the text chunk, the one kind left
        text_ = parse_tEXt(copy);
    }
  }
  if (!header_seen) throw parse_error();
  image_ = decode_checked_rows(image, header_, held(), account);
}
