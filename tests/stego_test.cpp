#include "stego/stego.h"

#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sng/strlib.h"
#include "support/pictures.h"
#include "support/printers.h"

namespace {

// A direct-colour picture whose every pixel is the hexadecimal `word`.
sng uniform_picture(int width, int height, int bitdepth,
                    const std::string& word) {
  return sng(sng_text(
      {.width = width, .height = height, .bitdepth = bitdepth, .pixel = word}));
}

// A palette picture of `entries` entries (1000 + i, 1000, 1000), every pixel
// naming entry 0. Hiding a byte always asks for a colour that is not there.
sng palette_picture(int width, int height, int entries) {
  return sng(sng_text({.width = width,
                       .height = height,
                       .using_words = "palette",
                       .pixel = "00",
                       .palette = palette_entries(entries, 1000)}));
}

std::string text_of(const std::vector<pixel>& positions) {
  return join(positions, " ");
}

}  // namespace

TEST(stego_put, hides_a_text_in_at_most_half_the_pixels) {
  sng picture = uniform_picture(4, 3, 8, "ffffff");
  EXPECT_EQ(6u, stego::put(picture, "sixsix").size());

  sng untouched = uniform_picture(4, 3, 8, "ffffff");
  const sng before = untouched;
  EXPECT_TRUE(stego::put(untouched, "sevenxx").empty());
  EXPECT_TRUE(untouched == before);

  sng single = uniform_picture(1, 1, 8, "ffffff");
  EXPECT_TRUE(stego::put(single, "a").empty());
  sng no_rows(sng_text({.width = -3, .height = 0}));
  EXPECT_TRUE(stego::put(no_rows, "a").empty());
}

TEST(stego_put, returns_nothing_for_an_empty_text) {
  sng picture = uniform_picture(2, 2, 8, "ffffff");
  const sng before = picture;
  EXPECT_TRUE(stego::put(picture, "").empty());
  EXPECT_TRUE(picture == before);
}

TEST(stego_put, gives_one_distinct_position_per_byte_inside_the_picture) {
  // Short and long texts, up to half the pixels of a picture wider than high.
  const struct {
    int width;
    int height;
    std::size_t length;
  } cases[] = {{7, 5, 17}, {512, 512, 2048}, {300, 200, 30000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    sng picture = uniform_picture(c.width, c.height, 8, "808080");
    std::string text;
    for (std::size_t i = 0; i < c.length; ++i)
      text.push_back(static_cast<char>('a' + i % 26));
    const std::vector<pixel> positions = stego::put(picture, text);
    ASSERT_EQ(text.size(), positions.size());
    std::set<pixel> distinct;
    for (const pixel& position : positions) {
      ASSERT_LT(position.x, static_cast<unsigned>(c.width));
      ASSERT_LT(position.y, static_cast<unsigned>(c.height));
      distinct.insert(position);
    }
    EXPECT_EQ(text.size(), distinct.size());
    EXPECT_EQ(text, stego::get(picture, positions));
  }
}

TEST(stego_put, hides_every_byte_value_and_gets_it_back) {
  sng picture = uniform_picture(32, 16, 8, "a5a5a5");
  std::string text;
  for (int byte = 0; byte < 256; ++byte)
    text.push_back(static_cast<char>(byte));
  EXPECT_EQ(text, stego::get(picture, stego::put(picture, text)));
}

TEST(stego_put, stores_0x41_in_white_as_253_252_241_with_alpha_kept) {
  sng picture = uniform_picture(2, 1, 8, "ffffffff");
  const std::vector<pixel> positions = stego::put(picture, "\x41");
  ASSERT_EQ(1u, positions.size());
  EXPECT_EQ(pcolor(253, 252, 241, 255),
            picture.pixel(positions[0].x, positions[0].y));
  EXPECT_EQ("\x41", stego::get(picture, positions));
}

TEST(stego_put, changes_only_the_low_bits_of_16_bit_samples) {
  sng all_ones = uniform_picture(2, 1, 16, "ffffffffffff1234");
  const pixel zero = stego::put(all_ones, std::string(1, '\0')).at(0);
  EXPECT_EQ(pcolor(0xfffc, 0xfffc, 0xfff0, 0x1234),
            all_ones.pixel(zero.x, zero.y));

  sng all_zeros = uniform_picture(2, 1, 16, "000000000000abcd");
  const pixel ones = stego::put(all_zeros, "\xff").at(0);
  EXPECT_EQ(pcolor(3, 3, 15, 0xabcd), all_zeros.pixel(ones.x, ones.y));
}

TEST(stego_get, reads_the_positions_in_the_order_given_and_zero_outside) {
  sng picture = uniform_picture(3, 2, 8, "ffffff");
  std::vector<pixel> positions = stego::put(picture, "xyz");
  ASSERT_EQ(3u, positions.size());
  positions = {positions[2], {3, 0}, positions[0], {0, 2}, positions[1]};
  EXPECT_EQ(std::string("z\0x\0y", 5), stego::get(picture, positions));
  EXPECT_EQ("", stego::get(picture, {}));
}

TEST(stego_put, adds_one_palette_entry_per_new_colour) {
  sng picture = palette_picture(2, 2, 253);
  const std::vector<pixel> positions = stego::put(picture, "AB");
  ASSERT_EQ(2u, positions.size());
  EXPECT_EQ("AB", stego::get(picture, positions));
  EXPECT_EQ(255u, picture.chunk_PLTE().colors.size());
  EXPECT_EQ(pcolor(1001, 1000, 993, 0),
            picture.pixel(positions[0].x, positions[0].y));
  EXPECT_EQ(pcolor(1001, 1000, 994, 0),
            picture.pixel(positions[1].x, positions[1].y));
}

TEST(stego_put, leaves_the_picture_unchanged_when_the_palette_fills_up) {
  // Room for one new colour only: the first byte fits, the second does not.
  sng picture = palette_picture(2, 2, 254);
  const sng before = picture;
  EXPECT_TRUE(stego::put(picture, "AB").empty());
  EXPECT_TRUE(picture == before);
  EXPECT_EQ(1u, stego::put(picture, "C").size());

  sng full = palette_picture(2, 2, 255);
  EXPECT_TRUE(stego::put(full, "A").empty());

  // The one new colour serves every "A"; the final "B" finds no room.
  sng large = palette_picture(64, 64, 254);
  const sng large_before = large;
  EXPECT_TRUE(stego::put(large, std::string(2047, 'A') + "B").empty());
  EXPECT_TRUE(large == large_before);
  EXPECT_EQ(2048u, stego::put(large, std::string(2048, 'A')).size());
  EXPECT_EQ(255u, large.chunk_PLTE().colors.size());
}

TEST(stego_put, draws_different_positions_in_calls_at_the_same_moment) {
  const sng original = uniform_picture(100, 100, 8, "ffffff");
  const std::string text(64, 'q');
  std::latch start(2);
  const auto hide = [&](std::vector<pixel>& positions) {
    sng picture = original;
    start.arrive_and_wait();
    positions = stego::put(picture, text);
  };
  std::vector<pixel> first, second;
  std::thread one(hide, std::ref(first));
  std::thread other(hide, std::ref(second));
  one.join();
  other.join();
  sng picture = original;
  const std::vector<pixel> third = stego::put(picture, text);

  ASSERT_EQ(text.size(), first.size());
  ASSERT_EQ(text.size(), second.size());
  EXPECT_NE(text_of(first), text_of(second));
  EXPECT_NE(text_of(first), text_of(third));
  EXPECT_NE(text_of(second), text_of(third));
}

TEST(get_next, returns_the_only_free_position) {
  const std::set<pixel> used = {{0, 0}, {0, 1}, {1, 1}};
  for (int draw = 0; draw < 50; ++draw)
    EXPECT_EQ("1:0", text_of({get_next(used, 2, 2)}));
}

TEST(pixel_text, writes_column_colon_row_without_padding) {
  EXPECT_EQ("0:13 4294967295:7", text_of({{0, 13}, {4294967295u, 7}}));
  std::ostringstream out;
  out << std::hex << pixel{255, 16};
  EXPECT_EQ("ff:10", out.str());
}
