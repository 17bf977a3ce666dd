#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sng/reader.h"
#include "sng/sng.h"
#include "support/pictures.h"
#include "support/printers.h"

namespace {

const std::string header_2x1 =
    "IHDR {\n\twidth: 2\n\theight: 1\n\tbitdepth: 8\n}\n";

std::vector<int> indices(const sng& picture, std::size_t y) {
  const sng_IMAGE& image = picture.chunk_IMAGE();
  std::vector<int> result;
  for (std::size_t x = 0; x < image.row_width(y); ++x)
    result.push_back(image.index(x, y));
  return result;
}

std::vector<pcolor> colours(const sng_IMAGE& image, std::size_t y) {
  std::vector<pcolor> result;
  for (std::size_t x = 0; x < image.row_width(y); ++x)
    result.push_back(image.color(x, y));
  return result;
}

TEST(reader, needs_a_header_with_a_body) {
  EXPECT_THROW(sng(""), sng::parse_error);
  EXPECT_THROW(sng(" \n\t\n"), sng::parse_error);
  EXPECT_THROW(sng("IHDR {}"), sng::parse_error);
  EXPECT_THROW(sng("ihdr {\n}"), sng::parse_error);
  EXPECT_THROW(sng("gAMA { 1 }"), sng::parse_error);
}

TEST(reader, reads_a_header_of_one_newline_as_all_defaults) {
  const sng picture("IHDR {\n}");
  EXPECT_TRUE(picture.chunk_IHDR() == sng_IHDR());
  EXPECT_EQ(1.0f, picture.chunk_gAMA().gamma);
  EXPECT_TRUE(picture.chunk_tIME() == sng_tIME());
  EXPECT_EQ(0u, picture.chunk_IMAGE().row_count());
  EXPECT_FALSE(picture.chunk_IMAGE().indexed);
}

TEST(reader, reads_direct_pixels_with_optional_alpha) {
  const sng picture(header_2x1 +
                    "IMAGE {\n\tpixels hex\n\tff0000 00ff0080\n}\n");
  EXPECT_EQ(pcolor(255, 0, 0, 0), picture.pixel(0, 0));
  EXPECT_EQ(pcolor(0, 255, 0, 128), picture.pixel(1, 0));
}

TEST(reader, rejects_rows_that_do_not_match_the_height_or_width) {
  const std::string rows = "IMAGE {\n\tpixels hex\n\tff0000 00ff0080\n}\n";
  EXPECT_THROW(sng("IHDR { width 2 height 2 bitdepth 8 }" + rows),
               sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 3 height 1 bitdepth 8 }" + rows),
               sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 2 height 1 }"), sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 2 height -1 }"), sng::parse_error);
  EXPECT_EQ(-7, sng("IHDR { width -7 height 0 }").width());
  // A line of a tab is a row of no pixels.
  EXPECT_THROW(sng("IHDR { width 1 height 1 } IMAGE {\n\t\n}"),
               sng::parse_error);
  EXPECT_EQ(1, sng("IHDR { width 0 height 1 } IMAGE {\n\t\n}").height());
}

TEST(reader, never_takes_memory_by_the_header_alone) {
  EXPECT_THROW(sng("IHDR { width 4611686018427387904 height 1 bitdepth 8 }"
                   "IMAGE { ff0000 }"),
               sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 1 height 9223372036854775807 }"
                   "IMAGE { 00 }"),
               sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 4611686018427387904 height 1 } PLTE { 0 0 0 }"
                   "IMAGE {\n0000\n}"),
               sng::parse_error);
}

// A picture of `side` x `side` pixels at bit depth 8, with whatever
// `chunks` adds.
std::string rgb8_text(int side, const std::string& chunks = "") {
  return sng_text(
      {.width = side, .height = side, .pixel = "a0b1c2", .chunks = chunks});
}

TEST(reader, reserves_memory_before_it_holds_it_and_not_much_more) {
  const std::string big(200000, 'x');
  // A digit that is no hexadecimal digit makes the samples of a row wider.
  std::string widened = "IHDR { width 40000 height 1 bitdepth 8 } IMAGE {";
  for (int x = 0; x < 40000; ++x) widened += x == 20000 ? " z" : " 000000";
  const std::string texts[] = {
      rgb8_text(300), rgb8_text(50, "tEXt { keyword k text " + big + " }"),
      rgb8_text(50, "private k {\"" + big + "\"}"), widened + " }"};
  for (const std::string& text : texts) {
    std::size_t reserved = 0;
    const sng picture(text, [&](std::size_t bytes) { reserved += bytes; });
    EXPECT_GE(reserved + 64 * 1024, picture.memory_size());
  }
  // The rows of an honest picture are reserved once, at their size.
  int calls = 0;
  std::size_t reserved = 0;
  const sng picture(rgb8_text(300), [&](std::size_t bytes) {
    reserved += bytes;
    ++calls;
  });
  EXPECT_EQ(1, calls);
  EXPECT_LE(reserved, picture.memory_size());
}

TEST(reader, passes_on_what_the_reserve_hook_throws) {
  struct refused {};
  const auto refuse = [](std::size_t) { throw refused(); };
  EXPECT_THROW(sng(rgb8_text(300), refuse), refused);
  EXPECT_THROW(sng("IHDR { width 1 height 2 } IMAGE { 00 }", refuse),
               sng::parse_error);
}

TEST(reader, drops_one_colon_from_chunk_names_and_field_words) {
  const sng picture("IHDR: {\n\twidth;\t0\n\theight: 0\n\tbitdepth:: 8\n}");
  EXPECT_EQ(0, picture.chunk_IHDR().bitdepth);  // "bitdepth:" is no field
}

TEST(reader, reads_every_word_after_using_as_a_colour_kind) {
  const sng picture("IHDR { using color palette width: 5 }");
  EXPECT_TRUE(picture.chunk_IHDR().color);
  EXPECT_TRUE(picture.chunk_IHDR().palette);
  EXPECT_FALSE(picture.chunk_IHDR().alpha);
  EXPECT_EQ(0, picture.width());
  EXPECT_TRUE(sng("IHDR { using\nalpha; }").chunk_IHDR().alpha);
}

TEST(reader,
     keeps_the_low_bits_of_numbers_and_stops_at_one_that_does_not_read) {
  const sng picture("IHDR { bitdepth 300 height x width 5 }");
  EXPECT_EQ(44, picture.chunk_IHDR().bitdepth);
  EXPECT_EQ(0, picture.width());
  const sng wide("IHDR { height 0 width 99999999999999999999 bitdepth 8 }");
  EXPECT_EQ(INT64_MAX, wide.width());
  EXPECT_EQ(0, wide.chunk_IHDR().bitdepth);
  const sng_tIME time =
      sng("IHDR {\n} tIME { year 65535 month -1 }").chunk_tIME();
  EXPECT_EQ(-1, time.year);
  EXPECT_EQ(255, time.month);
}

TEST(reader, replaces_a_whole_record_with_a_later_chunk) {
  const sng picture(
      "IHDR { width 5 bitdepth 8 using alpha } IHDR { height 0 }"
      "tIME { year 2000 month 2 } tIME { day 3 }");
  EXPECT_TRUE(picture.chunk_IHDR() == sng_IHDR());
  EXPECT_EQ(sng_tIME().year, picture.chunk_tIME().year);
  EXPECT_EQ(3, picture.chunk_tIME().day);
}

TEST(reader, decodes_rows_with_the_bit_depth_read_before_them) {
  // No header yet: bit depth 0, every word is (0, 0, 0, 0).
  const sng early(
      "IMAGE { ff0000 ffffff } IHDR { width 2 height 1 "
      "bitdepth 8 }");
  EXPECT_EQ(pcolor(), early.pixel(0, 0));
  EXPECT_EQ(pcolor(), early.pixel(1, 0));
  EXPECT_THROW(sng("IMAGE { ff } IHDR { width 1 height 2 }"), sng::parse_error);
}

TEST(reader, applies_the_digit_rule_to_any_character) {
  const auto colour = [](const std::string& word, unsigned char bitdepth) {
    return hex2color(word, bitdepth).color;
  };
  EXPECT_EQ(pcolor(15, 0, 0, 0), colour("f00", 4));
  EXPECT_EQ(pcolor(15, 0, 0, 8), colour("f008", 4));
  EXPECT_EQ(pcolor(255, 0, 0, 128), colour("ff000080", 8));
  EXPECT_EQ(pcolor(255, 0, 0, 128), colour("ff000080zz", 11));
  EXPECT_EQ(pcolor(65535, 0, 0, 0), colour("ffff00000000", 16));
  EXPECT_EQ(pcolor(240, 0, 0, 0), colour("f", 8));
  EXPECT_EQ(pcolor(255, 0, 0, 0), colour("ff", 8));
  EXPECT_EQ(pcolor(), colour("ffffff", 3));
  // 'F' is 70 - 97 + 10 = -17; 'g' is 16.
  EXPECT_EQ(pcolor(-17, 16, 0, 0), colour("Fg0", 4));
  EXPECT_EQ(pcolor(-1, -1, 0, 0), colour("ffffffffffffffff", 32));
  const std::string word = "\x80";  // signed code -128: -128 - 97 + 10
  std::string::const_iterator position = word.begin();
  EXPECT_EQ(static_cast<std::uint32_t>(-215),
            hex2byte(position, word.end(), 4));
  EXPECT_TRUE(position == word.end());
  EXPECT_EQ(static_cast<std::uint32_t>(-215 * 16),
            hex2byte(position = word.begin(), word.end(), 8));
}

TEST(reader, splits_direct_rows_at_all_stream_white_space) {
  const sng picture(
      "IHDR { width 5 height 1 bitdepth 4 }"
      "IMAGE {1\v2\f3\r4 \t5\n\n6 pixels hexx\n}");
  EXPECT_EQ((std::vector<pcolor>{pcolor(1, 0, 0, 0), pcolor(2, 0, 0, 0),
                                 pcolor(3, 0, 0, 0), pcolor(4, 0, 0, 0),
                                 pcolor(5, 0, 0, 0)}),
            colours(picture.chunk_IMAGE(), 0));
  // 0x85 is no white space; as a digit it counts -123 - 97 + 10.
  EXPECT_EQ(-210, sng("IHDR { width 1 height 1 bitdepth 4 } IMAGE {\n\x85\n}")
                      .pixel(0, 0)
                      .r);
}

TEST(reader, reads_palette_rows_two_characters_at_a_time) {
  const std::string palette = "PLTE { 1 2 3 }\n";
  EXPECT_EQ(
      (std::vector<int>{0, 1, 2}),
      indices(sng("IHDR { width 3 height 1 }" + palette + "IMAGE {\n000102\n}"),
              0));
  EXPECT_EQ(
      (std::vector<int>{10, 16}),
      indices(sng("IHDR { width 2 height 1 }" + palette + "IMAGE {\n0a1\n}"),
              0));
  // The tab counts -78: (-78 * 16 + 0) mod 256 = 32.
  EXPECT_EQ(
      (std::vector<int>{32, 0}),
      indices(sng("IHDR { width 2 height 1 }" + palette + "IMAGE {\n\t00\n}"),
              0));
  EXPECT_TRUE(sng("IHDR { width 2 height 1 }" + palette + "IMAGE {\n0a1\n}")
                  .chunk_IMAGE()
                  .indexed);
}

TEST(reader, reads_rows_as_indices_only_after_a_palette_chunk) {
  const sng picture(header_2x1 + "IMAGE {\nff0000 000001\n} PLTE { 1 2 3 }");
  EXPECT_FALSE(picture.chunk_IMAGE().indexed);
  EXPECT_EQ(pcolor(255, 0, 0, 0), picture.chunk_IMAGE().color(0, 0));
  // An empty palette body is skipped: no palette came before the rows.
  const sng skipped(header_2x1 + "PLTE {}IMAGE {\nff0000 000001\n}");
  EXPECT_FALSE(skipped.chunk_IMAGE().indexed);
}

// The picture of a header of defaults and `chunks`.
sng with_chunks(const std::string& chunks) { return sng("IHDR {\n}" + chunks); }

TEST(reader, reads_palette_entries_in_complete_threes) {
  const auto entries = [](const std::string& body) {
    return with_chunks("PLTE {" + body + "}").chunk_PLTE().colors;
  };
  EXPECT_EQ((std::vector<pcolor>{pcolor(1, 2, 3, 0), pcolor(4, 5, 6, 0)}),
            entries("(1,2,3)\n(4,5,6) (7,8)"));
  EXPECT_EQ(1u, entries("1 2 3 4 x 5 6").size());
  EXPECT_EQ(0u, entries("1 2 4294967296").size());
}

TEST(reader, reads_histogram_values_up_to_the_first_that_does_not_fit) {
  const auto values = [](const std::string& body) {
    return with_chunks("hIST {" + body + "}").chunk_hIST().values;
  };
  EXPECT_EQ((std::vector<std::int16_t>{1, 2}), values("1 2 x 3"));
  EXPECT_EQ((std::vector<std::int16_t>{}), values("40000 1"));
  EXPECT_EQ((std::vector<std::int16_t>{-5, 7}), values(" -5 7;"));
}

TEST(reader, reads_time_fields_by_name) {
  const sng_tIME time =
      with_chunks("tIME {year 2000 using month: 300}").chunk_tIME();
  EXPECT_EQ(2000, time.year);
  EXPECT_EQ(44, time.month);
  EXPECT_EQ(1, time.day);
  EXPECT_EQ(0, time.hour);
}

TEST(reader, reads_gamma_as_a_float) {
  const auto gamma = [](const std::string& body) {
    return with_chunks("gAMA {" + body + "}").chunk_gAMA().gamma;
  };
  EXPECT_EQ(1.0f, gamma("   "));
  EXPECT_EQ(0.0f, gamma(" x"));
  EXPECT_EQ(0.45f, gamma(" 0.45 "));
  EXPECT_EQ(-2.5f, gamma("-2.5e0"));
}

TEST(reader, reads_the_text_as_the_rest_of_its_line) {
  const auto text = [](const std::string& body) {
    return with_chunks("tEXt {" + body + "}").chunk_tEXt();
  };
  EXPECT_EQ("note", text("\n\tkeyword: note\n\ttext: two words\n").keyword);
  EXPECT_EQ(" two words", text("\n\tkeyword: note\n\ttext: two words\n").text);
  EXPECT_EQ("", text("text:\nkeyword a").text);
  // "text" at the very end of the body finds no line to read.
  EXPECT_EQ("", text("keyword: a text").text);
  EXPECT_EQ("a;", text("keyword: a; keyword").keyword);
}

TEST(reader, cuts_a_chunk_at_the_first_closing_brace) {
  EXPECT_THROW(sng("IHDR {\n} tEXt { keyword k text a}b }"), sng::parse_error);
  const sng picture("IHDR {\n} tEXt { keyword k text a}b {} ");
  EXPECT_EQ(" a", picture.text());
}

TEST(reader, reads_a_private_value_between_quotes) {
  const sng picture = with_chunks(
      "private owner\t {\t\"x y\"\n} private \r\t{\"a\nb\" \"c}"
      "private empty {} private k {\"1\"} private k{\"2\"}");
  EXPECT_EQ("x y", picture.private_("owner"));
  EXPECT_EQ("a\nb", picture.private_("\r"));
  EXPECT_EQ(0u, picture.chunk_private().entries.count("empty"));
  EXPECT_EQ("2", picture.private_("k"));
}

TEST(reader, throws_in_exactly_the_seven_broken_structures) {
  const std::string header = "IHDR {\n}\n";
  EXPECT_THROW(sng(header + "stray"), sng::parse_error);
  EXPECT_THROW(sng(header + "tEXt"), sng::parse_error);
  EXPECT_THROW(sng(header + "tEXt }"), sng::parse_error);
  EXPECT_THROW(sng(header + "tEXt { keyword a"), sng::parse_error);
  EXPECT_THROW(sng(header + "private {\"v\"}"), sng::parse_error);
  EXPECT_THROW(sng(header + "private \t {\"v\"}"), sng::parse_error);
  EXPECT_THROW(sng(header + "private k {\"v}"), sng::parse_error);
  EXPECT_THROW(sng("tIME {\n}"), sng::parse_error);
  EXPECT_THROW(sng("IHDR { height 1 }"), sng::parse_error);
  EXPECT_THROW(sng("IHDR { width 1 height 1 } IMAGE { 000000 000000 }"),
               sng::parse_error);
  // Everything else passes.
  EXPECT_NO_THROW(sng(header + "unknown words { ( ) } {x} } {y}"));
  EXPECT_NO_THROW(sng(header + "private k {}"));
}

TEST(reader, treats_a_carriage_return_as_an_ordinary_character) {
  // The carriage return after "}" names a chunk that swallows the next body.
  const sng picture("IHDR {\r\n}\r\ntIME { year 2000 }");
  EXPECT_EQ(1970, picture.chunk_tIME().year);
  EXPECT_THROW(sng("IHDR {\r\n}\r\ntIME { year 2000 }\r\nhIST { 1 }\r\n"),
               sng::parse_error);
  EXPECT_THROW(sng("IHDR {\r\n}\r\n"), sng::parse_error);
}

TEST(reader, skips_bodies_without_a_name_and_names_without_meaning) {
  const sng picture("{ x } IHDR {\n} } tIME { year 2000 }");
  EXPECT_EQ(1970, picture.chunk_tIME().year);
}

// Rows decoded by the plain rule of the format: words as stream extraction
// cuts them, each digit consumed one character at a time.
std::vector<std::vector<pcolor>> reference_rows(const std::string& body,
                                                unsigned char bitdepth) {
  std::vector<std::vector<pcolor>> rows;
  std::istringstream lines(body);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.find("pixels hex") != std::string::npos) continue;
    auto& row = rows.emplace_back();
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      std::size_t next = 0;
      const auto sample = [&] {
        std::uint32_t value = 0;
        for (int i = 0; i < bitdepth / 4; ++i) {
          value *= 16;
          if (next == word.size()) continue;
          const signed char c = word[next++];
          value += c >= '0' && c <= '9' ? c - '0' : c - 'a' + 10;
        }
        return static_cast<std::int32_t>(value);
      };
      pcolor colour;
      colour.r = sample();
      colour.g = sample();
      colour.b = sample();
      if (next < word.size()) colour.a = sample();
      row.push_back(colour);
    }
  }
  return rows;
}

TEST(reader, decodes_rows_like_the_plain_rule_on_random_text) {
  std::mt19937 random(1234);
  const std::string alphabet = "0123456789abcdefABz \t\n\v\f\r\x80\xff";
  for (int round = 0; round < 2000; ++round) {
    std::string body;
    const int length = static_cast<int>(random() % 80);
    for (int i = 0; i < length; ++i)
      body += alphabet[random() % alphabet.size()];
    const auto bitdepth = static_cast<unsigned char>(random() % 40);
    const sng_IMAGE image = parse_IMAGE(body, bitdepth, false);
    const auto expected = reference_rows(body, bitdepth);
    ASSERT_EQ(expected.size(), image.row_count()) << body;
    for (std::size_t y = 0; y < expected.size(); ++y)
      ASSERT_EQ(expected[y], colours(image, y)) << body;
  }
}

TEST(reader, decodes_words_of_whole_samples_and_near_misses_like_the_rule) {
  std::mt19937 random(99);
  const std::string digits = "0123456789abcdefAz\x80\xff";
  const std::string white = " \t\n\v\f\r";
  for (const unsigned char bitdepth : {4, 8, 12, 16, 32}) {
    const unsigned n = bitdepth / 4;
    for (int round = 0; round < 300; ++round) {
      std::string body;
      for (int word = 0; word < 12; ++word) {
        const unsigned length = (3 + random() % 2) * n + random() % 3 - 1;
        for (unsigned i = 0; i < length; ++i)
          body += digits[random() % digits.size()];
        body += white[random() % white.size()];
      }
      const sng_IMAGE image = parse_IMAGE(body, bitdepth, false);
      const auto expected = reference_rows(body, bitdepth);
      ASSERT_EQ(expected.size(), image.row_count()) << body;
      for (std::size_t y = 0; y < expected.size(); ++y)
        ASSERT_EQ(expected[y], colours(image, y)) << body;
    }
  }
}

}  // namespace
