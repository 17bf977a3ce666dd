#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/round_trip.h"
#include "sng/sng.h"
#include "support/pictures.h"

namespace {

// What the writer gives a picture of a header of defaults: no size, bit
// depth 0, no flags, no rows.
const picture_spec no_header = {
    .width = 0, .height = 0, .bitdepth = 0, .using_words = ""};

TEST(writer, writes_a_direct_colour_picture_byte_for_byte) {
  const sng picture(
      "IHDR{width 2 height 1 bitdepth 8 using color}IMAGE{ff0000 00ff00}");
  EXPECT_EQ(
      "IHDR {\n\twidth: 2\n\theight: 1\n\tbitdepth: 8\n\tusing color \n}\n"
      "gAMA { 1.00 }\n"
      "tIME {\n\tyear 1970\n\tmonth 1\n\tday 1\n\thour 0\n\tminute 0\n"
      "\tsecond 0\n}\n"
      "IMAGE {\n\tpixels hex\nff0000 00ff00 \n}\n",
      picture.to_raw_string());
}

TEST(writer, writes_a_palette_picture_byte_for_byte) {
  const sng picture(
      "IHDR{width 3 height 1 bitdepth 8 using palette color} gAMA {0.45}"
      "PLTE{255 0 0 0 0 255} hIST{2 1} IMAGE{\n000100\n}");
  EXPECT_EQ(
      "IHDR {\n\twidth: 3\n\theight: 1\n\tbitdepth: 8\n"
      "\tusing color palette \n}\n"
      "gAMA { 0.45 }\n"
      "tIME {\n\tyear 1970\n\tmonth 1\n\tday 1\n\thour 0\n\tminute 0\n"
      "\tsecond 0\n}\n"
      "PLTE {\n\t(255,  0,  0)\n\t(  0,  0,255)\n}\n"
      "hIST {\n\t2 1\n}\n"
      "IMAGE {\n\tpixels hex\n000100\n}\n",
      picture.to_raw_string());
}

TEST(writer, writes_the_using_line_only_for_set_flags_in_fixed_order) {
  EXPECT_EQ(sng_text(no_header), sng("IHDR {\n}").to_raw_string());
  picture_spec all_flags = no_header;
  all_flags.using_words = "alpha color palette";
  EXPECT_EQ(sng_text(all_flags),
            sng("IHDR { using palette alpha color }").to_raw_string());
}

TEST(writer, writes_gamma_with_two_decimals) {
  const auto gamma_line = [](const std::string& gamma) {
    const std::string text =
        sng("IHDR {\n} gAMA {" + gamma + "}").to_raw_string();
    const auto start = text.find("gAMA");
    return text.substr(start, text.find('\n', start) - start);
  };
  EXPECT_EQ("gAMA { 0.45 }", gamma_line("0.45455"));
  EXPECT_EQ("gAMA { 2.20 }", gamma_line("2.2"));
  EXPECT_EQ("gAMA { -1.50 }", gamma_line("-1.5"));
  EXPECT_EQ("gAMA { -0.00 }", gamma_line("-0.001"));
  EXPECT_EQ("gAMA { 100000002004087734272.00 }", gamma_line("1e20"));
}

TEST(writer, writes_time_fields_as_numbers) {
  sng picture("IHDR {\n}");
  picture.time(-3, 12, 31, 23, 59, 255);
  EXPECT_NE(std::string::npos,
            picture.to_raw_string().find(
                "tIME {\n\tyear -3\n\tmonth 12\n\tday 31\n\thour 23\n"
                "\tminute 59\n\tsecond 255\n}\nIMAGE"));
}

TEST(writer, writes_the_palette_only_with_histogram_values) {
  const std::string rows = "IMAGE {\n000000 \n}";
  const std::string base = "IHDR { width 1 height 1 bitdepth 8 }";
  EXPECT_EQ(sng_text({.using_words = "", .pixel = "000000"}),
            sng(base + rows + "PLTE { 1 2 3 }").to_raw_string());
  // No rows: palette and histogram before the text, as for any picture.
  picture_spec histogram = no_header;
  histogram.chunks =
      "PLTE {\n}\nhIST {\n\t-1 7\n}\n"
      "tEXt {\n\tkeyword: k\n\ttext: \n}\n";
  EXPECT_EQ(
      sng_text(histogram),
      sng("IHDR {\n} tEXt { keyword k text:\n} hIST { -1 7 }").to_raw_string());
}

TEST(writer, writes_palette_components_right_aligned_in_three_places) {
  const std::string text =
      sng("IHDR {\n} PLTE { 1000 -1 7 -100 12 0 } hIST { 0 }").to_raw_string();
  EXPECT_NE(std::string::npos,
            text.find("PLTE {\n\t(1000, -1,  7)\n\t(-100, 12,  0)\n}\n"));
}

TEST(writer, writes_the_text_chunk_only_with_a_keyword) {
  sng picture("IHDR {\n}");
  picture.text("lost");
  EXPECT_EQ(std::string::npos, picture.to_raw_string().find("tEXt"));
  picture.keyword("flag");
  picture.text("a } b");
  picture_spec text = no_header;
  text.chunks = "tEXt {\n\tkeyword: flag\n\ttext: a } b\n}\n";
  EXPECT_EQ(sng_text(text), picture.to_raw_string());
}

TEST(writer, pads_direct_samples_to_a_quarter_of_the_bit_depth) {
  const auto rows = [](int bitdepth, const std::string& using_words,
                       pcolor colour) {
    sng picture("IHDR { width 1 height 1 bitdepth " + std::to_string(bitdepth) +
                " using " + using_words + " } IMAGE { 0 }");
    picture.pixel(0, 0, colour);
    const std::string text = picture.to_raw_string();
    const auto start = text.find("hex\n") + 4;
    return text.substr(start, text.size() - 2 - start);
  };
  EXPECT_EQ("00ff00010002 \n", rows(16, "color", pcolor(255, 1, 2, 3)));
  EXPECT_EQ("00ff000100020003 \n", rows(16, "alpha", pcolor(255, 1, 2, 3)));
  EXPECT_EQ("f12 \n", rows(4, "", pcolor(15, 1, 2, 3)));
  EXPECT_EQ("101 \n", rows(1, "", pcolor(1, 0, 1, 0)));
  EXPECT_EQ("1ff0 \n", rows(2, "", pcolor(1, 255, 0, 0)));
  EXPECT_EQ("1000102 \n", rows(8, "", pcolor(256, 1, 2, 0)));
  EXPECT_EQ("ffffffff0080 \n", rows(8, "", pcolor(-1, 0, 128, 0)));
  EXPECT_EQ("000000001000000000000000002 \n", rows(36, "", pcolor(1, 0, 2, 0)));
}

TEST(writer, writes_private_chunks_last_in_byte_order_of_keys) {
  sng picture("IHDR {\n}");
  picture.private_("b", "2");
  picture.private_("ab", "x \"y\"");
  picture.private_("a", "");
  picture.private_("\xff", "3");
  EXPECT_EQ(sng_text(no_header) +
                "private a {\n\t\"\"\n}\n"
                "private ab {\n\t\"x \"y\"\"\n}\n"
                "private b {\n\t\"2\"\n}\n"
                "private \xff {\n\t\"3\"\n}\n",
            picture.to_raw_string());
}

TEST(writer, writes_index_rows_after_a_palette_even_without_histogram) {
  const sng picture(
      "IHDR { width 2 height 1 bitdepth 8 using palette } tEXt { keyword k }"
      "PLTE { (1,2,3) } IMAGE {\n00ff\n}");
  const std::string text = picture.to_raw_string();
  EXPECT_EQ(sng_text({.width = 2,
                      .using_words = "palette",
                      .palette = "\t(  1,  2,  3)\n",
                      .chunks = "tEXt {\n\tkeyword: k\n\ttext: \n}\n",
                      .rows = "00ff\n"}),
            text);
  sng expected = picture;
  expected.text(" ");  // the blank after "text:" is read as text
  EXPECT_TRUE(sng(text) == expected);
}

TEST(writer, writes_colour_rows_before_palette_and_histogram) {
  const sng picture(
      "IHDR { width 1 height 2 bitdepth 4 } IMAGE { 123\n456 } "
      "PLTE { 1 2 3 } hIST { 5 } private k {\"v\"}");
  const std::string text = picture.to_raw_string();
  EXPECT_EQ(sng_text({.height = 2,
                      .bitdepth = 4,
                      .using_words = "",
                      .rows = "123 \n456 \n"}) +
                "PLTE {\n\t(  1,  2,  3)\n}\nhIST {\n\t5\n}\n"
                "private k {\n\t\"v\"\n}\n",
            text);
  EXPECT_TRUE(sng(text) == picture);
}

// The same rows written with the stream manipulators that define the
// format: hexadecimal, zero fill, width of a quarter of the bit depth.
std::string reference_rows(const sng& picture) {
  std::ostringstream out;
  out << std::hex << std::setfill('0');
  const unsigned digits = picture.chunk_IHDR().bitdepth >> 2;
  const sng_IMAGE& image = picture.chunk_IMAGE();
  for (std::size_t y = 0; y < image.row_count(); ++y) {
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const pcolor pixel = image.color(x, y);
      out << std::setw(digits) << pixel.r << std::setw(digits) << pixel.g
          << std::setw(digits) << pixel.b;
      if (picture.chunk_IHDR().alpha) out << std::setw(digits) << pixel.a;
      out << ' ';
    }
    out << '\n';
  }
  return out.str();
}

TEST(writer, writes_direct_rows_like_the_stream_manipulators) {
  std::mt19937 random(99);
  const int samples[] = {0,    1,     15,    16, 255, 256,
                         4095, 65535, 65536, -1, -16, 2147483647};
  for (int round = 0; round < 300; ++round) {
    const int width = static_cast<int>(random() % 5);
    const int height = 1 + static_cast<int>(random() % 3);
    std::string rows;
    for (int y = 0; y < height; ++y) {
      rows += width == 0 ? "\t" : "";
      for (int x = 0; x < width; ++x) rows += "0 ";
      rows += '\n';
    }
    sng picture(
        "IHDR { width " + std::to_string(width) + " height " +
        std::to_string(height) + " bitdepth " + std::to_string(random() % 40) +
        (random() % 2 ? " using alpha" : "") + " } IMAGE {\n" + rows + "}");
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        picture.pixel(x, y,
                      pcolor(samples[random() % 12], samples[random() % 12],
                             samples[random() % 12], samples[random() % 12]));
    const std::string text = picture.to_raw_string();
    const auto start = text.find("hex\n") + 4;
    ASSERT_EQ(reference_rows(picture),
              text.substr(start, text.size() - 2 - start));
  }
}

TEST(writer, knows_the_length_of_its_text_before_writing_it) {
  std::vector<sng> pictures = {
      sng("IHDR { width 2 height 1 bitdepth 255 using alpha } IMAGE { 1 2 }"),
      sng("IHDR { width 2 height 1 bitdepth 8 using palette } tEXt { keyword "
          "k text t } PLTE { 1 2 3 } hIST { 1 } IMAGE {\n0001\n} "
          "private a {\"b\"}"),
      sng("IHDR { width 1 height 2 bitdepth 4 } IMAGE { 123\n456 } "
          "PLTE { 1 2 3 } hIST { 5 }"),
      sng("IHDR { width 1 height 1 } PLTE { 1 2 3 } IMAGE {\n01\n}"),
      // Samples of characters that are no hexadecimal digits.
      sng("IHDR { width 2 height 1 bitdepth 8 } IMAGE { zz0000 \x85 }"),
  };
  // Samples wider than the bit depth gives them, and negative ones.
  const pcolor wide[] = {pcolor(255, 16, 0, 0), pcolor(-1, 65536, 4096, 7),
                         pcolor(70000, 0, -16, 1 << 30)};
  for (const int bitdepth : {0, 1, 4, 8, 12, 16, 20, 32})
    for (const char* alpha : {"", "using alpha"}) {
      sng& picture = pictures.emplace_back("IHDR { width 3 height 1 bitdepth " +
                                           std::to_string(bitdepth) + " " +
                                           alpha + " } IMAGE { 0 0 0 }");
      for (unsigned x = 0; x < 3; ++x) picture.pixel(x, 0, wide[x]);
    }
  for (const sng& picture : pictures)
    EXPECT_EQ(picture.to_raw_string().size(), picture.raw_size());
}

TEST(writer, writes_every_picture_of_the_fuzzing_corpus_so_that_it_reads_back) {
  int pictures = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(QUARN_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    std::optional<sng> picture;
    try {
      picture.emplace(text);
    } catch (const sng::parse_error&) {
      continue;
    }
    ++pictures;
    EXPECT_EQ(std::nullopt, round_trip_fault(*picture)) << entry.path();
  }
  EXPECT_GT(pictures, 0);
}

}  // namespace
