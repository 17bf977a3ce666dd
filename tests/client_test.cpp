// The client library's own logic, without a service: SNG comments.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace
