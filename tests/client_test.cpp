// The client library's own logic, without a service: SNG comments, the
// positions people paste and the size check of PNG files.
#include <gtest/gtest.h>
#include <png.h>

#include <fstream>
#include <sstream>
#include <string>

#include "client/errors.h"
#include "client/png_io.h"
#include "client/positions.h"
#include "client/sng_comments.h"
#include "sng/sng.h"

namespace {

std::string read_data(const std::string& name) {
  std::ifstream in(std::string(QUARN_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(sng_comments, a_file_of_the_sng_converter_reads_without_them) {
  const std::string text =
      client::without_comments(read_data("rgb_from_sng_converter.sng"));
  EXPECT_EQ(
      "\n"
      "IHDR {\n    width: 3; height: 2; bitdepth: 8;\n    using color;\n}\n"
      "gAMA {0.45455}\n"
      "pHYs {xpixels: 2835; ypixels: 2835; per: meter;}\n"
      "tEXt {\n    keyword: \"Comment\";\n    text: \"issue #5\";\n}\n"
      "IMAGE {\n    pixels hex\nff0000 00ff00 0000ff \n808080 ffffff 000000 "
      "\n}\n",
      text);
  const sng picture(text);
  EXPECT_EQ(3, picture.width());
  EXPECT_EQ(2, picture.height());
}

TEST(sng_comments, palette_entries_lose_their_colour_names) {
  EXPECT_EQ("PLTE {\n    (255,  0,  0)\n    (  0,  0,255)\n}\n",
            client::without_comments(
                "PLTE {\n"
                "    (255,  0,  0)     # rgb = (0xff,0x00,0x00) red1\n"
                "    (  0,  0,255)\t# rgb = (0x00,0x00,0xff) blue1\n}\n"));
}

TEST(sng_comments, values_quarn_writes_unquoted_are_kept_whole) {
  const std::string text =
      "tEXt {\n\tkeyword: #tag\n\ttext: issue #5 \"# 6\n}\n"
      "private a#b {\n\t\"x # y\n# z\"\n}\n";
  EXPECT_EQ(text, client::without_comments(text));
}

TEST(positions, white_space_a_person_copies_along_separates_them) {
  const auto positions = client::parse_positions(" 0:1\r\n5:10\t\n4:7  \n");
  ASSERT_TRUE(positions);
  EXPECT_EQ("0:1 5:10 4:7", client::format_positions(*positions));
}

void append_bytes(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), length);
}

// The start of a PNG file: the signature, the header of a `width` x `height`
// picture of 16-bit RGBA, and the start of a first row chunk that never
// comes.
std::string png_header_only(png_uint_32 width, png_uint_32 height) {
  std::string bytes;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &bytes, append_bytes, nullptr);
  png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_destroy_write_struct(&png, &info);
  return bytes + std::string("\0\0\0\0IDAT", 8);
}

TEST(png_io, refuses_a_picture_whose_text_would_be_too_long_from_its_header) {
  // 4 Mi pixels of 17 characters each: past the upload limit.
  std::ostringstream notices;
  EXPECT_THROW(
      client::decode_png(png_header_only(4096, 1024), "big.png", notices),
      client::over_limit);
}

}  // namespace
