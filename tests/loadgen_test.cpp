#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/line_protocol.h"
#include "loadgen/failure.h"
#include "loadgen/latency.h"
#include "loadgen/picture.h"
#include "loadgen/workload.h"
#include "sng/sng.h"
#include "support/socket_pair.h"

namespace loadgen {
namespace {

using client::connection;
using client::count_lines;

// A fake service on one connection: reads each request whole (a putpic's
// upload included) and answers it with the next of `answers`.
std::jthread fake_service(int descriptor, std::vector<std::string> answers) {
  return std::jthread([descriptor, answers = std::move(answers)] {
    connection peer(descriptor);
    std::string upload;
    try {
      for (const std::string& answer : answers) {
        if (peer.read_line().starts_with("putpic"))
          peer.read_lines(std::stoul(peer.read_line()), upload);
        peer.send(answer);
      }
    } catch (const failure&) {
      // The load generator hung up after a wrong answer.
    }
  });
}

// The text the service answers for `upload` stored in password mode: the
// text chunk before the pixels (its text gains a blank when the stored file
// is read back), the private value after them.
std::string stored_form(const std::string& upload) {
  std::string text = upload;
  text.insert(text.find("IMAGE {"),
              "tEXt {\n\tkeyword: flag\n\ttext:  quarn-bench-secret\n}\n");
  text += "private PASW {\n\t\"bench-password-2024\"\n}\n";
  return std::to_string(count_lines(text)) + "\n" + text;
}

TEST(picture, has_about_the_requested_size_and_reads_back_unchanged) {
  const picture upload = make_picture(512 * 1024);
  EXPECT_NEAR(static_cast<double>(upload.text.size()), 512.0 * 1024, 2000);
  EXPECT_EQ(count_lines(upload.text),
            static_cast<std::size_t>(upload.height) + 18);
  const sng parsed(upload.text);
  EXPECT_EQ(parsed.width(), upload.width);
  EXPECT_EQ(parsed.height(), upload.height);
  EXPECT_EQ(parsed.to_raw_string(), upload.text);
}

TEST(picture, is_one_pixel_when_the_size_is_below_the_chunks_alone) {
  const picture upload = make_picture(10);
  EXPECT_EQ(upload.width, 1);
  EXPECT_EQ(upload.height, 1);
  EXPECT_EQ(sng(upload.text).to_raw_string(), upload.text);
}

TEST(picture, of_one_word_reads_back_with_the_header_it_names) {
  const picture upload = make_word_picture(3, 2, 8, "alpha color", "f");
  const sng parsed(upload.text);
  EXPECT_EQ(parsed.width(), 3);
  EXPECT_EQ(parsed.height(), 2);
  EXPECT_EQ(parsed.pixel(2, 1).r, 0xf0);
  EXPECT_NE(
      parsed.to_raw_string().find("\tbitdepth: 8\n\tusing alpha color \n"),
      std::string::npos);
}

TEST(picture, image_chunk_runs_from_its_name_to_its_closing_brace) {
  EXPECT_EQ(image_chunk("gAMA { 1.00 }\nIMAGE {\n\tpixels hex\nff \n}\nx"),
            "IMAGE {\n\tpixels hex\nff \n}\n");
  EXPECT_EQ(image_chunk("IHDR {\n}\n"), "");
}

TEST(answers, identifiers_are_lower_case_hexadecimal_and_sng) {
  EXPECT_TRUE(is_identifier("1f.sng"));
  EXPECT_TRUE(is_identifier("0.sng"));
  EXPECT_FALSE(is_identifier("1F.sng"));
  EXPECT_FALSE(is_identifier(".sng"));
  EXPECT_FALSE(is_identifier("1f.png"));
  EXPECT_FALSE(is_identifier("1g.sng"));
  EXPECT_FALSE(is_identifier("ERROR(DBWRITE)"));
}

TEST(answers, pixel_answer_needs_one_distinct_position_per_character) {
  EXPECT_EQ(check_pixel_answer("b.sng;12:7 0:13 5:5", 3, 13, 14), "b.sng");
  EXPECT_THROW(check_pixel_answer("b.sng;12:7 0:13", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng;12:7 12:7 5:5", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng;13:7 0:13 5:5", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng;12:7 0:14 5:5", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng;12:7 0:13 5:5 ", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng;12:7 0:13 5:", 3, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("b.sng", 0, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("B.sng;1:1", 1, 13, 14), failure);
  EXPECT_THROW(check_pixel_answer("ERROR(STEGO)", 3, 13, 14), failure);
}

TEST(scenarios, mixed_sends_every_kind_and_mostly_getpic) {
  std::size_t getpics = 0;
  std::vector<bool> seen(4);
  for (std::size_t i = 0; i < 10; ++i) {
    const request_kind kind = request_kind_at(scenario::mixed, i);
    seen[static_cast<std::size_t>(kind)] = true;
    getpics += kind == request_kind::getpic;
  }
  EXPECT_EQ(getpics, 7u);
  EXPECT_EQ(seen, std::vector<bool>(4, true));
  EXPECT_EQ(scenario_named("putpic-pixel"), scenario::putpic_pixel);
  EXPECT_EQ(scenario_name(scenario::putpic_password), "putpic-password");
  EXPECT_EQ(scenario_named("PUTPIC"), std::nullopt);
}

TEST(latency, percentiles_are_nearest_rank) {
  std::vector<std::int64_t> samples;
  for (std::int64_t i = 1000; i >= 1; --i) samples.push_back(i * 1000000);
  const latency_summary summary = summarize_latencies(samples);
  EXPECT_EQ(summary.p50_ms, 500);
  EXPECT_EQ(summary.p99_ms, 990);
  EXPECT_EQ(summary.p999_ms, 999);
  EXPECT_EQ(summarize_latencies({7000000}).p999_ms, 7);
  EXPECT_EQ(summarize_latencies({}).p50_ms, 0);
}

class workload_against_fake : public ::testing::Test {
 protected:
  const picture upload = make_picture(2048);
  const std::string good_answer = stored_form(upload.text);
  socket_pair pair;
  connection peer{pair.ours};
};

TEST_F(workload_against_fake, accepts_the_same_picture_again) {
  auto service = fake_service(pair.theirs,
                              {"1.sng\n", good_answer, good_answer, "2.sng\n"});
  workload work(scenario::mixed, upload, peer);
  EXPECT_EQ(work.exchange(peer, request_kind::getpic),
            std::string("getpic 1.sng bench-password-2024\n").size() +
                good_answer.size());
  EXPECT_GT(work.exchange(peer, request_kind::putpic_password),
            upload.text.size());
  EXPECT_EQ(work.answer_bytes(), good_answer.size());
}

TEST_F(workload_against_fake, fails_when_a_fetch_differs_by_one_byte) {
  std::string changed = good_answer;
  changed[changed.size() - 60] ^= 1;
  auto service = fake_service(pair.theirs, {"1.sng\n", good_answer, changed});
  workload work(scenario::getpic, upload, peer);
  EXPECT_THROW(work.exchange(peer, request_kind::getpic), failure);
}

TEST_F(workload_against_fake, fails_when_a_fetch_is_an_error_line) {
  auto service =
      fake_service(pair.theirs, {"1.sng\n", good_answer, "ERROR(DBREAD)\n"});
  workload work(scenario::getpic, upload, peer);
  EXPECT_THROW(work.exchange(peer, request_kind::getpic), failure);
}

TEST_F(workload_against_fake, fails_when_the_stored_picture_lost_its_secret) {
  const std::string unchanged =
      std::to_string(count_lines(upload.text)) + "\n" + upload.text;
  auto service = fake_service(pair.theirs, {"1.sng\n", unchanged});
  EXPECT_THROW(workload(scenario::getpic, upload, peer), failure);
}

TEST_F(workload_against_fake, fails_when_an_identifier_comes_twice) {
  auto service =
      fake_service(pair.theirs, {"1.sng\n", good_answer, "2.sng\n", "1.sng\n"});
  workload work(scenario::getpic, upload, peer);
  work.exchange(peer, request_kind::putpic_password);
  EXPECT_THROW(work.exchange(peer, request_kind::putpic_password), failure);
}

}  // namespace
}  // namespace loadgen
