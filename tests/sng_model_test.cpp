#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "sng/sng.h"
#include "support/pictures.h"
#include "support/printers.h"

namespace {

// A picture of `width` x `height` zero pixels with the given header words.
sng blank_picture(int width, int height, const std::string& using_words) {
  return sng(sng_text({.width = width,
                       .height = height,
                       .using_words = using_words,
                       .pixel = "000000"}));
}

// A palette picture of one pixel, naming entry 0 of `palette`.
sng palette_picture(const std::string& palette) {
  return sng(sng_text(
      {.using_words = "color palette", .pixel = "00", .palette = palette}));
}

TEST(pixel, outside_the_picture_reads_as_zero_and_cannot_be_set) {
  sng picture = blank_picture(3, 2, "color");
  picture.pixel(0, 0, pcolor(1, 2, 3, 4));
  const sng before = picture;
  EXPECT_EQ(pcolor(), picture.pixel(3, 0));
  EXPECT_EQ(pcolor(), picture.pixel(0, 2));
  picture.pixel(3, 0, pcolor(9, 9, 9, 9));
  picture.pixel(0, 2, pcolor(9, 9, 9, 9));
  picture.pixel(4294967295u, 0, pcolor(9, 9, 9, 9));
  EXPECT_TRUE(picture == before);
  EXPECT_EQ(pcolor(1, 2, 3, 4), picture.pixel(0, 0));
}

TEST(pixel, has_no_position_in_a_picture_without_width_or_height) {
  const sng no_width("IHDR { width 0 height 1 } IMAGE {\n \n}");
  const sng no_height("IHDR { width -4 height 0 }");
  EXPECT_EQ(pcolor(), no_width.pixel(0, 0));
  EXPECT_EQ(pcolor(), no_height.pixel(0, 0));
}

TEST(pixel, stores_all_four_samples_of_a_direct_colour) {
  sng picture = blank_picture(3, 2, "color");
  picture.pixel(1, 1, pcolor(10, 20, 30, 40));
  EXPECT_EQ(pcolor(10, 20, 30, 40), picture.pixel(1, 1));
  EXPECT_EQ(pcolor(), picture.pixel(0, 1));
}

TEST(pixel, in_a_palette_picture_names_the_first_equal_entry) {
  sng picture = palette_picture(
      "(1,2,3) (7,7,7) (0,0,0) (5,5,5) (1,2,3) (6,6,6) (7,8,9)");
  picture.pixel(0, 0, pcolor(1, 2, 3, 0));
  EXPECT_EQ(0, picture.chunk_IMAGE().index(0, 0));
  picture.pixel(0, 0, pcolor(7, 8, 9, 0));
  EXPECT_EQ(6, picture.chunk_IMAGE().index(0, 0));
  // Entries read from text have alpha 0, and the getter keeps it.
  EXPECT_EQ(pcolor(7, 8, 9, 0), picture.pixel(0, 0));
  EXPECT_EQ(7u, picture.chunk_PLTE().colors.size());
}

TEST(pixel, in_a_palette_picture_appends_a_new_colour) {
  sng picture = palette_picture(palette_entries(2));
  picture.pixel(0, 0, pcolor(10, 20, 30, 40));
  EXPECT_EQ(2, picture.chunk_IMAGE().index(0, 0));
  EXPECT_EQ(pcolor(10, 20, 30, 40), picture.chunk_PLTE().colors.at(2));
  EXPECT_EQ(pcolor(10, 20, 30, 40), picture.pixel(0, 0));
}

TEST(pixel, lets_a_palette_grow_to_255_entries_only) {
  sng picture = palette_picture(palette_entries(254));
  picture.pixel(0, 0, pcolor(1, 1, 1, 1));
  EXPECT_EQ(254, picture.chunk_IMAGE().index(0, 0));
  picture.pixel(0, 0, pcolor(2, 2, 2, 2));
  EXPECT_EQ(254, picture.chunk_IMAGE().index(0, 0));
  EXPECT_EQ(255u, picture.chunk_PLTE().colors.size());
  picture.pixel(0, 0, pcolor(3, 0, 0, 0));
  EXPECT_EQ(3, picture.chunk_IMAGE().index(0, 0));
}

TEST(pixel, never_names_an_entry_beyond_one_byte) {
  sng picture = palette_picture(palette_entries(300));
  const sng before = picture;
  picture.pixel(0, 0, pcolor(256, 0, 0, 0));  // found at 256
  picture.pixel(0, 0, pcolor(1, 1, 1, 1));    // absent
  EXPECT_TRUE(picture == before);
  picture.pixel(0, 0, pcolor(255, 0, 0, 0));
  EXPECT_EQ(255, picture.chunk_IMAGE().index(0, 0));
}

TEST(pixel, reads_an_index_that_names_no_entry_as_zero) {
  const sng picture = palette_picture("(1,2,3) (4,5,6)");
  const sng named(
      "IHDR { width 2 height 1 bitdepth 8 using palette }"
      "PLTE { 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 "
      "21 22 23 24 }"
      "IMAGE {\n0709\n}");
  EXPECT_EQ(pcolor(1, 2, 3, 0), picture.pixel(0, 0));
  EXPECT_EQ(pcolor(22, 23, 24, 0), named.pixel(0, 0));
  EXPECT_EQ(pcolor(), named.pixel(1, 0));
}

TEST(pixel, follows_the_palette_flag_even_when_rows_hold_colours) {
  // Rows read as colours; the flag makes the getter read the low byte of
  // red as an index, and the setter write only that byte.
  sng picture(
      "IHDR { width 2 height 1 bitdepth 16 using palette }"
      "IMAGE { 000100000000 120900000000 } PLTE { (4,5,6) (7,8,9) }");
  EXPECT_EQ(pcolor(7, 8, 9, 0), picture.pixel(0, 0));
  EXPECT_EQ(pcolor(), picture.pixel(1, 0));
  picture.pixel(1, 0, pcolor(7, 8, 9, 0));
  EXPECT_EQ(pcolor(0x1201, 0, 0, 0), picture.chunk_IMAGE().color(1, 0));
}

TEST(pixel, keeps_samples_wider_than_the_rows_were_read_with) {
  sng picture = blank_picture(2, 1, "color alpha");
  picture.pixel(1, 0, pcolor(70000, -5, 256, 1));
  EXPECT_EQ(pcolor(70000, -5, 256, 1), picture.pixel(1, 0));
  EXPECT_EQ(pcolor(), picture.pixel(0, 0));
  // Rows of indices keep a colour set without the palette flag, and are
  // written with the low byte of its red as the index.
  sng indexed("IHDR { width 1 height 1 } PLTE { 1 2 3 } IMAGE {\n01\n}");
  indexed.pixel(0, 0, pcolor(0x1234, 5, 6, 7));
  EXPECT_EQ(pcolor(0x1234, 5, 6, 7), indexed.pixel(0, 0));
  EXPECT_NE(std::string::npos, indexed.to_raw_string().find("hex\n34\n"));
}

TEST(memory, a_picture_of_one_character_words_holds_about_twice_its_text) {
  const auto rows = [](int width, int height) {
    std::string text;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) text += x == 0 ? "f" : " f";
      text += '\n';
    }
    return text;
  };
  for (const auto& [width, height] : {std::pair(300, 300), {1, 90000}}) {
    const std::string text = "IHDR { width " + std::to_string(width) +
                             " height " + std::to_string(height) +
                             " bitdepth 8 }\nIMAGE {\n" + rows(width, height) +
                             "}\n";
    EXPECT_LT(sng(text).memory_size(), 2.05 * text.size()) << width;
  }
}

TEST(time, reads_month_day_year_and_the_clock_without_padding) {
  sng picture("IHDR {\n}");
  EXPECT_EQ("1/1/1970 0:0:0", picture.time());
  picture.time(1970, 12, 31, 23, 59, 7);
  EXPECT_EQ("12/31/1970 23:59:7", picture.time());
  picture.time(-5, 255, 0, 0, 0, 0);
  EXPECT_EQ("255/0/-5 0:0:0", picture.time());
}

TEST(private_values, reading_a_missing_key_adds_nothing) {
  sng picture("IHDR {\n}");
  const sng before = picture;
  EXPECT_EQ("", picture.private_("PASW"));
  EXPECT_TRUE(picture == before);
}

TEST(private_values, the_empty_key_is_never_stored) {
  sng picture("IHDR {\n}");
  const sng before = picture;
  picture.private_("", "secret");
  EXPECT_TRUE(picture == before);
  EXPECT_EQ("", picture.private_(""));
}

TEST(private_values, an_empty_value_is_stored_like_any_other) {
  sng picture("IHDR {\n} private PASW {\"old\"}");
  picture.private_("PASW", "");
  EXPECT_EQ(1u, picture.chunk_private().entries.count("PASW"));
  EXPECT_EQ("", picture.private_("PASW"));
  picture.private_("PASW", "new");
  EXPECT_EQ("new", picture.private_("PASW"));
}

TEST(equality, compares_rows_by_index_only_when_they_hold_indices) {
  const sng a("IHDR { width 1 height 1 } PLTE { 1 2 3 } IMAGE {\n01\n}");
  const sng b("IHDR { width 1 height 1 } PLTE { 1 2 3 } IMAGE {\n01\n}");
  const sng c("IHDR { width 1 height 1 } PLTE { 1 2 3 } IMAGE {\n02\n}");
  const sng d("IHDR { width 1 height 1 } IMAGE {\n01\n} PLTE { 1 2 3 }");
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == d);  // same text of rows, but colours, not indices
}

}  // namespace
