#include "client/png_io.h"

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "client/errors.h"
#include "client/sng_convert.h"

namespace client {
namespace {

// Most pixels a picture may have: an upload to quarn holds at most 64 MiB of
// SNG text, two characters or more per pixel, so a larger picture could
// never be stored. It only bounds the header's size; check_sng_size then
// refuses, from the size, form and bit depth, every picture whose text would
// pass the upload limit (up to 17 characters per pixel), before a row is
// decoded, so the tool allocates nothing for a picture it cannot send.
constexpr std::uint64_t max_pixels = 32 * 1024 * 1024;

// Length of the signature every PNG file starts with.
constexpr std::size_t signature_bytes = 8;

// What libpng and zlib hold while they decode or encode, besides two rows:
// zlib's window and state, with room to spare.
constexpr std::size_t codec_state_bytes = 1024 * 1024;

// Bytes of one chunk's length, type and check.
constexpr std::size_t chunk_frame_bytes = 12;

// What libpng holds while it decodes or encodes `picture`: its state, the
// row it works on and the row before, each behind a filter byte.
std::size_t codec_bytes(const raster& picture) {
  const std::size_t row = picture.data_bytes() / picture.height;
  return codec_state_bytes + 2 * (row + 1);
}

// Most bytes encode writes for `picture`: every row behind its filter byte,
// compressed at worst into a little more than itself, in chunks of 8 KiB or
// more, and the header, palette, text and end chunks.
std::size_t png_bytes_bound(const raster& picture) {
  const std::size_t filtered = picture.data_bytes() + picture.height;
  const std::size_t compressed = compressBound(filtered);
  const std::size_t chunks = compressed / 8192 + 4;
  return signature_bytes + compressed + chunks * chunk_frame_bytes + 13 +
         3 * picture.palette.size() + picture.keyword.size() + 1 +
         picture.text.size();
}

// The bytes of a PNG file that libpng has not read yet.
struct png_source {
  std::string_view unread;
};

// libpng's reading callback: the next `length` bytes of the png_source.
void read_bytes(png_structp png, png_bytep out, png_size_t length) {
  auto& source = *static_cast<png_source*>(png_get_io_ptr(png));
  if (source.unread.size() < length) png_error(png, "Read Error");
  std::memcpy(out, source.unread.data(), length);
  source.unread.remove_prefix(length);
}

// libpng's writing callback: appends to the std::string of the session.
void append_bytes(png_structp png, png_bytep data, png_size_t length) {
  bool appended = true;
  try {
    static_cast<std::string*>(png_get_io_ptr(png))
        ->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    appended = false;
  }
  if (!appended) png_error(png, "out of memory");
}

void flush_nothing(png_structp) {}

// libpng reports a failure by calling this, which keeps the message and goes
// back to png_session::run by longjmp.
[[noreturn]] void keep_error(png_structp png, png_const_charp message) {
  static_cast<std::string*>(png_get_error_ptr(png))->assign(message);
  png_longjmp(png, 1);
}

// Warnings change nothing the tool keeps.
void ignore_warning(png_structp, png_const_charp) {}

// The libpng structures of one read or write, destroyed with the session.
class png_session {
 public:
  png_session(const png_session&) = delete;
  png_session& operator=(const png_session&) = delete;

  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

  // Runs `step`, a few libpng calls, and turns a libpng failure into a
  // failure naming `path`. libpng leaves `step` by longjmp, so `step` must
  // not own anything with a destructor.
  template <class Step>
  void run(const std::string& path, Step step) {
    if (setjmp(png_jmpbuf(png_))) throw failure(path + failure_words_ + error_);
    step();
  }

 protected:
  // `failure_words` stand between the file's name and libpng's message.
  explicit png_session(const char* failure_words)
      : failure_words_(failure_words) {}
  // Completes construction; `png` may be null when libpng ran out of memory.
  void start(png_structp png) {
    png_ = png;
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (png_ == nullptr || info_ == nullptr) throw failure("out of memory");
  }
  std::string* error() { return &error_; }

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;

 private:
  const char* failure_words_;
  std::string error_;
};

// Reads from `source`, which must outlive the reader.
class png_reader : public png_session {
 public:
  // libpng fails to read only what is no whole PNG file: one cut short,
  // or bytes that are no chunk where one should start.
  explicit png_reader(png_source& source)
      : png_session(" is a damaged PNG file: ") {
    try {
      start(png_create_read_struct(PNG_LIBPNG_VER_STRING, error(), keep_error,
                                   ignore_warning));
    } catch (const failure&) {
      png_destroy_read_struct(&png_, &info_, nullptr);
      throw;
    }
    png_set_read_fn(png_, &source, read_bytes);
  }
  ~png_reader() { png_destroy_read_struct(&png_, &info_, nullptr); }
};

// Appends to `out`, which must outlive the writer.
class png_writer : public png_session {
 public:
  explicit png_writer(std::string& out) : png_session(": ") {
    try {
      start(png_create_write_struct(PNG_LIBPNG_VER_STRING, error(), keep_error,
                                    ignore_warning));
    } catch (const failure&) {
      png_destroy_write_struct(&png_, &info_);
      throw;
    }
    png_set_write_fn(png_, &out, append_bytes, flush_nothing);
  }
  ~png_writer() { png_destroy_write_struct(&png_, &info_); }
};

// What the PNG header says, before any transformation.
struct png_facts {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bit_depth = 0;
  int color_type = 0;
  bool transparency = false;  // a tRNS chunk
};

png_facts read_facts(png_reader& reader, const std::string& path) {
  png_facts facts;
  reader.run(path, [&] {
    png_set_sig_bytes(reader.png(), signature_bytes);
    png_read_info(reader.png(), reader.info());
    facts.width = png_get_image_width(reader.png(), reader.info());
    facts.height = png_get_image_height(reader.png(), reader.info());
    facts.bit_depth = png_get_bit_depth(reader.png(), reader.info());
    facts.color_type = png_get_color_type(reader.png(), reader.info());
    facts.transparency =
        png_get_valid(reader.png(), reader.info(), PNG_INFO_tRNS) != 0;
  });
  if (std::uint64_t{facts.width} * facts.height > max_pixels)
    throw over_limit(path + " has " + std::to_string(facts.width) + " x " +
                     std::to_string(facts.height) + " pixels, more than the " +
                     std::to_string(max_pixels) + " a stored picture can have");
  return facts;
}

// The raster form that carries a PNG of this colour type exactly; a tRNS
// chunk needs an alpha channel.
raster::form form_for(const png_facts& facts, const std::string& path) {
  switch (facts.color_type) {
    case PNG_COLOR_TYPE_PALETTE:
      return facts.transparency ? raster::form::rgba : raster::form::indexed;
    case PNG_COLOR_TYPE_GRAY:
      return facts.transparency ? raster::form::grey_alpha : raster::form::grey;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return raster::form::grey_alpha;
    case PNG_COLOR_TYPE_RGB:
      return facts.transparency ? raster::form::rgba : raster::form::rgb;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return raster::form::rgba;
  }
  throw failure(path + " has an unknown PNG colour type");
}

const char* form_name(raster::form kind) {
  switch (kind) {
    case raster::form::grey:
      return "grey";
    case raster::form::grey_alpha:
      return "grey with alpha";
    case raster::form::rgb:
      return "RGB";
    case raster::form::rgba:
      return "RGBA";
    case raster::form::indexed:
      return "palette";
  }
  return "";
}

// Sets up libpng to deliver the samples of `picture`'s form and checks that
// the rows it will deliver have that layout.
void request_form(png_reader& reader, const raster& picture,
                  const std::string& path) {
  png_size_t row_bytes = 0;
  reader.run(path, [&] {
    if (picture.kind == raster::form::indexed)
      png_set_packing(reader.png());  // one index per byte
    else
      png_set_expand(reader.png());  // palette to RGB, grey to 8 bits or
                                     // more, tRNS to alpha
    png_set_interlace_handling(reader.png());
    png_read_update_info(reader.png(), reader.info());
    row_bytes = png_get_rowbytes(reader.png(), reader.info());
  });
  if (row_bytes != std::size_t{picture.width} * channels(picture.kind) *
                       (picture.bitdepth / 8))
    throw failure(path + ": libpng delivers rows of an unexpected layout");
}

void read_palette(png_reader& reader, raster& picture,
                  const std::string& path) {
  png_colorp colors = nullptr;
  int count = 0;
  reader.run(path, [&] {
    png_get_PLTE(reader.png(), reader.info(), &colors, &count);
  });
  for (int i = 0; i < count; ++i)
    picture.palette.push_back({colors[i].red, colors[i].green, colors[i].blue});
}

void read_rows(png_reader& reader, raster& picture, const std::string& path) {
  picture.allocate();
  const std::size_t row_bytes = picture.data.size() / picture.height;
  std::vector<png_bytep> rows(picture.height);
  for (std::size_t y = 0; y < rows.size(); ++y)
    rows[y] = picture.data.data() + y * row_bytes;
  reader.run(path, [&] {
    png_read_image(reader.png(), rows.data());
    png_read_end(reader.png(), reader.info());
  });
}

void check_indices(const raster& picture, const std::string& path) {
  for (const std::uint8_t index : picture.data)
    if (index >= picture.palette.size())
      throw failure(path + ": a pixel names palette entry " +
                    std::to_string(index) + " of a palette of " +
                    std::to_string(picture.palette.size()));
}

void read_text(png_reader& reader, raster& picture, const std::string& path) {
  png_textp texts = nullptr;
  int count = 0;
  reader.run(path, [&] {
    count = png_get_text(reader.png(), reader.info(), &texts, nullptr);
  });
  if (count <= 0) return;
  picture.keyword = texts[0].key;
  picture.text.assign(texts[0].text, texts[0].text_length);
}

int color_type_for(raster::form kind) {
  switch (kind) {
    case raster::form::grey:
      return PNG_COLOR_TYPE_GRAY;
    case raster::form::grey_alpha:
      return PNG_COLOR_TYPE_GRAY_ALPHA;
    case raster::form::rgb:
      return PNG_COLOR_TYPE_RGB;
    case raster::form::rgba:
      return PNG_COLOR_TYPE_RGB_ALPHA;
    case raster::form::indexed:
      return PNG_COLOR_TYPE_PALETTE;
  }
  return PNG_COLOR_TYPE_RGB;
}

void encode(png_writer& writer, const raster& picture,
            const std::string& path) {
  std::vector<png_color> palette;
  for (const auto& [red, green, blue] : picture.palette)
    palette.push_back({red, green, blue});
  const std::size_t row_bytes = picture.data.size() / picture.height;
  std::vector<png_bytep> rows(picture.height);
  for (std::size_t y = 0; y < rows.size(); ++y)  // libpng only reads them
    rows[y] = const_cast<png_bytep>(picture.data.data() + y * row_bytes);
  png_text text{};
  text.compression = PNG_TEXT_COMPRESSION_NONE;
  text.key = const_cast<png_charp>(picture.keyword.c_str());
  text.text = const_cast<png_charp>(picture.text.c_str());
  text.text_length = picture.text.size();
  writer.run(path, [&] {
    png_set_IHDR(writer.png(), writer.info(), picture.width, picture.height,
                 static_cast<int>(picture.bitdepth),
                 color_type_for(picture.kind), PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
      png_set_PLTE(writer.png(), writer.info(), palette.data(),
                   static_cast<int>(palette.size()));
    if (!picture.keyword.empty())
      png_set_text(writer.png(), writer.info(), &text, 1);
    png_write_info(writer.png(), writer.info());
    png_write_image(writer.png(), rows.data());
    png_write_end(writer.png(), writer.info());
  });
}

}  // namespace

raster decode_png(std::string_view bytes, const std::string& path,
                  std::ostream& notices, const reserve_memory& reserve) {
  if (bytes.size() < signature_bytes ||
      png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0,
                  signature_bytes))
    throw failure(path + " is not a PNG file");
  png_source source{bytes.substr(signature_bytes)};
  png_reader reader(source);
  const png_facts facts = read_facts(reader, path);

  raster picture;
  picture.kind = form_for(facts, path);
  picture.bitdepth = facts.bit_depth == 16 ? 16 : 8;
  picture.width = facts.width;
  picture.height = facts.height;
  if (facts.transparency)
    notices << path
            << ": transparency from a tRNS chunk is carried as an alpha "
               "channel: converted to "
            << picture.bitdepth << "-bit " << form_name(picture.kind) << '\n';
  check_sng_size(picture, path);

  request_form(reader, picture, path);
  if (picture.kind == raster::form::indexed)
    read_palette(reader, picture, path);
  announce(reserve, picture.data_bytes() + codec_bytes(picture));
  read_rows(reader, picture, path);
  if (picture.kind == raster::form::indexed) check_indices(picture, path);
  read_text(reader, picture, path);
  return picture;
}

std::string encode_png(const raster& picture, const std::string& path,
                       const reserve_memory& reserve) {
  // Room for the whole file at once, so that the bytes are never copied
  // into a larger block while libpng writes them.
  const std::size_t bound = png_bytes_bound(picture);
  announce(reserve, bound + codec_bytes(picture));
  std::string bytes;
  bytes.reserve(bound);
  png_writer writer(bytes);
  encode(writer, picture, path);
  return bytes;
}

}  // namespace client
