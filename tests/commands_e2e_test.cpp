// list, putpic and getpic over the wire, against the real binary.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sng/sng.h"
#include "sng/strlib.h"
#include "stego/stego.h"
#include "support/line_client.h"
#include "support/pictures.h"
#include "support/service_process.h"

namespace {

class commands : public ::testing::Test {
 protected:
  service_process service;

  // Sends a putpic command line and an upload; returns the answer line.
  std::string putpic(const std::string& command_line,
                     const std::string& upload) {
    line_client c;
    c.send_line(command_line);
    c.send_block(upload);
    return c.line();
  }

  std::vector<std::string> list() {
    line_client c;
    c.send_line("list");
    const int count = std::stoi(c.line());
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(c.line());
    return ids;
  }
};

std::vector<pixel> parse_positions(const std::string& text) {
  std::vector<pixel> positions;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    const auto colon = word.find(':');
    positions.push_back(
        {static_cast<std::uint32_t>(std::stoul(word)),
         static_cast<std::uint32_t>(std::stoul(word.substr(colon + 1)))});
  }
  return positions;
}

TEST_F(commands, list_answers_zero_on_an_empty_store_ignoring_further_words) {
  line_client c;
  c.send_line("list all of them");
  EXPECT_EQ("0", c.line());
  c.send_line("list");
  EXPECT_EQ("0", c.line());
}

TEST_F(commands, stores_and_fetches_a_password_guarded_picture) {
  EXPECT_EQ("1.sng", putpic("putpic s3cret hunter22", rgb_picture(2, 2)));
  EXPECT_EQ("1.sng\n", service.read_file("quarn.db"));

  line_client c;
  c.send_line("getpic 1.sng");
  EXPECT_EQ("ERROR(PASSWORD)", c.line());
  c.send_line("getpic 1.sng wrong");
  EXPECT_EQ("ERROR(PASSWORD)", c.line());
  c.send_line("getpic 1.sng wrong hunter2");
  const std::string text = c.block();
  const sng stored(service.read_file("db/1.sng"));
  EXPECT_EQ(stored.to_raw_string(), text);
  EXPECT_EQ("flag", stored.keyword());
  EXPECT_EQ(" s3cret", stored.text());
  EXPECT_EQ("hunter22", stored.private_("PASW"));
}

TEST_F(commands, replaces_the_uploads_own_text_and_password) {
  std::string upload = rgb_picture(1, 1);
  upload +=
      "tEXt {\n\tkeyword: note\n\ttext: old\n}\nprivate PASW {\n\t\"old\"\n}\n";
  EXPECT_EQ("1.sng", putpic("putpic new pw", upload));
  const sng stored(service.read_file("db/1.sng"));
  EXPECT_EQ("flag", stored.keyword());
  EXPECT_EQ(" new", stored.text());
  EXPECT_EQ("pw", stored.private_("PASW"));
}

TEST_F(commands, an_empty_password_protects_nothing) {
  EXPECT_EQ("1.sng", putpic("putpic secret  ", rgb_picture(1, 1)));
  line_client c;
  c.send_line("getpic 1.sng");
  EXPECT_EQ(sng(service.read_file("db/1.sng")).to_raw_string(), c.block());
}

TEST_F(commands, hides_a_text_in_pixels_and_answers_the_positions) {
  const std::string secret = "hidden!";
  const std::string answer = putpic("putpic " + secret, rgb_picture(8, 8));
  ASSERT_EQ("1.sng;", answer.substr(0, 6)) << answer;
  const std::vector<pixel> positions = parse_positions(answer.substr(6));
  EXPECT_EQ(answer.substr(6), join(positions, " "));  // single blanks only
  ASSERT_EQ(secret.size(), positions.size());
  std::set<std::pair<unsigned, unsigned>> distinct;
  for (const pixel& p : positions) {
    EXPECT_LT(p.x, 8u);
    EXPECT_LT(p.y, 8u);
    distinct.insert({p.x, p.y});
  }
  EXPECT_EQ(secret.size(), distinct.size());

  line_client c;
  c.send_line("getpic 1.sng any words");
  const sng fetched(c.block());
  EXPECT_EQ(secret, stego::get(fetched, positions));
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  EXPECT_EQ(std::to_string(utc.tm_year + 1900),
            fetched.time().substr(fetched.time().rfind('/') + 1, 4));
}

TEST_F(commands, gives_same_size_uploads_in_the_same_second_other_positions) {
  const std::string picture = rgb_picture(64, 64);
  const std::string text(200, 'q');
  const std::string first = putpic("putpic " + text, picture);
  const std::string second = putpic("putpic " + text, picture);
  EXPECT_NE(first.substr(first.find(';')), second.substr(second.find(';')));
}

TEST_F(commands, refuses_hidden_texts_that_cannot_be_stored) {
  EXPECT_EQ("ERROR(STEGO)", putpic("putpic  ", rgb_picture(2, 2)));
  EXPECT_EQ("ERROR(STEGO)", putpic("putpic abc", rgb_picture(2, 2)));
  EXPECT_EQ(
      "ERROR(STEGO)",
      putpic("putpic ab", sng_text({.width = 4, .height = 4, .bitdepth = 2})));
  EXPECT_TRUE(list().empty());
}

TEST_F(commands, checks_the_upload_before_the_word_count) {
  EXPECT_EQ("ERROR(PARSE)", putpic("putpic a b", ""));
  EXPECT_EQ("ERROR(PARSE)", putpic("putpic", "IHDR {}\n"));
  EXPECT_EQ("ERROR(ARG)", putpic("putpic", rgb_picture(1, 1)));
  EXPECT_EQ("ERROR(ARG)", putpic("putpic ", rgb_picture(1, 1)));
  EXPECT_EQ("ERROR(ARG)", putpic("putpic a b c", rgb_picture(1, 1)));
  EXPECT_EQ("ERROR(ARG)",
            putpic("putpic a " + std::string(4097, 'p'), rgb_picture(1, 1)));
  EXPECT_TRUE(list().empty());
  EXPECT_EQ("1.sng",
            putpic("putpic a " + std::string(4096, 'p'), rgb_picture(1, 1)));
}

TEST_F(commands, refuses_what_the_stored_picture_could_not_give_back) {
  // Rows of a lone tab hold no pixels; written back they are empty lines,
  // which reading skips.
  const std::string no_columns =
      sng_text({.width = 0, .height = 3, .rows = "\t\n\t\n\t\n"});
  std::string own_password = rgb_picture(4, 4);
  own_password += "private PASW {\n\t\"" + std::string(4097, 'p') + "\"\n}\n";
  const std::pair<std::string, std::string> refused[] = {
      {"putpic s \"hunter2", "ERROR(ARG)"},
      {"putpic s x\"hunter2", "ERROR(ARG)"},
      {"putpic s ab}cd", "ERROR(ARG)"},
      {"putpic fl}ag4 pw", "ERROR(ARG)"},
  };
  for (const auto& [command, answer] : refused)
    EXPECT_EQ(answer, putpic(command, rgb_picture(2, 2))) << command;
  EXPECT_EQ("ERROR(PARSE)", putpic("putpic s p", no_columns));
  EXPECT_EQ("ERROR(PARSE)", putpic("putpic s", no_columns));
  EXPECT_EQ("ERROR(ARG)", putpic("putpic s", own_password));
  EXPECT_TRUE(list().empty());
  // Nothing but the store's journal.
  for (const auto& entry :
       std::filesystem::directory_iterator(service.dir() / "db"))
    EXPECT_TRUE(entry.path().filename().string().starts_with(".journal-"))
        << entry.path();
}

TEST_F(commands, keeps_an_uploads_own_password_of_4096_bytes_but_no_longer) {
  const auto with_own_password = [](std::size_t bytes) {
    return rgb_picture(4, 4) + "private PASW {\n\t\"" +
           std::string(bytes, 'p') + "\"\n}\n";
  };
  const std::string answer = putpic("putpic s", with_own_password(4096));
  ASSERT_TRUE(answer.starts_with("1.sng;")) << answer;
  EXPECT_EQ("ERROR(ARG)", putpic("putpic s", with_own_password(4097)));
  EXPECT_EQ(std::string(4096, 'p'),
            sng(service.read_file("db/1.sng")).private_("PASW"));
}

TEST_F(commands, gives_back_secrets_and_passwords_of_every_other_byte) {
  std::string secret;
  std::string password;
  for (char c = '!'; c <= '~'; ++c) {
    if (c != '}') secret += c;
    if (c != '}' && c != '"') password += c;
  }
  EXPECT_EQ("1.sng",
            putpic("putpic " + secret + " " + password, rgb_picture(1, 1)));
  const sng stored(service.read_file("db/1.sng"));
  EXPECT_EQ(" " + secret, stored.text());
  EXPECT_EQ(password, stored.private_("PASW"));
  line_client c;
  c.send_line("getpic 1.sng " + password);
  EXPECT_EQ(stored.to_raw_string(), c.block());
}

TEST_F(commands, keeps_the_connection_after_error_answers) {
  line_client c;
  c.send_line("putpic");
  c.send_block(rgb_picture(1, 1));
  EXPECT_EQ("ERROR(ARG)", c.line());
  c.send_line("getpic");
  EXPECT_EQ("ERROR(ARG)", c.line());
  c.send_line("getpic ");
  EXPECT_EQ("ERROR(ARG)", c.line());
  c.send_line("list");
  EXPECT_EQ("0", c.line());
}

TEST_F(commands, refuses_a_line_count_over_the_limit_at_once) {
  line_client c;
  c.send_line("putpic a b");
  c.send_line("1048577");
  EXPECT_EQ("ERROR(LIMIT)", c.line());
  EXPECT_TRUE(c.closed_by_peer());
  EXPECT_TRUE(list().empty());
}

TEST_F(commands, refuses_an_upload_over_64_mib) {
  line_client c;
  c.send_line("putpic a b");
  c.send_line("17");
  const std::string line(4 * 1024 * 1024 - 1, 'x');
  std::thread sender([&] {
    try {
      for (int i = 0; i < 17; ++i) c.send(line + "\n");
    } catch (const std::runtime_error&) {
    }
  });
  EXPECT_EQ("ERROR(LIMIT)", c.line());
  EXPECT_TRUE(c.closed_by_peer());
  sender.join();
  EXPECT_TRUE(list().empty());
}

// 360,000 pixels of three 63-digit samples: a 2.5 MB upload whose stored
// text would take 68 MB.
std::string amplifying_picture() {
  return sng_text({.width = 600, .height = 600, .bitdepth = 255});
}

TEST_F(commands, refuses_a_picture_whose_stored_text_would_pass_64_mib) {
  line_client c;
  c.send_line("putpic s p");
  c.send_block(amplifying_picture());
  EXPECT_EQ("ERROR(LIMIT)", c.line());
  EXPECT_TRUE(c.closed_by_peer());
  EXPECT_TRUE(list().empty());
}

TEST_F(commands, getpic_refuses_to_build_a_text_past_the_limit) {
  service.restart([&] {
    std::filesystem::create_directory(service.dir() / "db");
    std::ofstream(service.dir() / "db/1.sng") << amplifying_picture();
    std::ofstream(service.dir() / "quarn.db") << "1.sng\n";
  });
  line_client c;
  c.send_line("getpic 1.sng");
  EXPECT_EQ("ERROR(LIMIT)", c.line());
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(commands, getpic_answers_notfound_for_anything_not_listed) {
  EXPECT_EQ("1.sng", putpic("putpic s p", rgb_picture(1, 1)));
  line_client c;
  for (const char* line :
       {"getpic 2.sng", "getpic 2.sng p", "getpic ../quarn.db",
        "getpic /etc/passwd", "getpic  p", "getpic 1.SNG p", "getpic ./1.sng p",
        "getpic 01.sng p", "getpic 1.sng/ p", "getpic . p", "getpic .. p"}) {
    c.send_line(line);
    EXPECT_EQ("ERROR(NOTFOUND)", c.line()) << line;
  }
}

TEST_F(commands, getpic_does_not_compare_overlong_candidates) {
  EXPECT_EQ("1.sng", putpic("putpic s abcd", rgb_picture(1, 1)));
  const std::string longest = std::string(20, 'z') + "abcd";  // 2 * 4 + 16
  line_client c;
  c.send_line("getpic 1.sng z" + longest);
  EXPECT_EQ("ERROR(PASSWORD)", c.line());
  c.send_line("getpic 1.sng z" + longest + " " + longest);
  EXPECT_FALSE(c.block().empty());
}

TEST_F(commands, accepts_a_fetched_text_sent_back_unchanged) {
  EXPECT_EQ("1.sng", putpic("putpic s p", rgb_picture(3, 2, "ff0080")));
  line_client c;
  c.send_line("getpic 1.sng p");
  const std::string text = c.block();
  EXPECT_EQ("2.sng", putpic("putpic t q", text));
  EXPECT_EQ((std::vector<std::string>{"1.sng", "2.sng"}), list());
}

TEST_F(commands, continues_numbering_after_a_restart) {
  EXPECT_EQ("1.sng", putpic("putpic s p", rgb_picture(1, 1)));
  EXPECT_EQ("2.sng", putpic("putpic s p", rgb_picture(1, 1)));
  service.restart();
  EXPECT_EQ((std::vector<std::string>{"1.sng", "2.sng"}), list());
  EXPECT_EQ("3.sng", putpic("putpic s p", rgb_picture(1, 1)));
}

TEST_F(commands, gives_twenty_clients_storing_at_once_distinct_identifiers) {
  std::vector<std::string> answers(20);
  std::vector<std::thread> clients;
  for (int i = 0; i < 20; ++i)
    clients.emplace_back([&, i] {
      answers[i] =
          putpic("putpic s" + std::to_string(i) + " p", rgb_picture(16, 16));
    });
  for (auto& t : clients) t.join();
  const std::set<std::string> distinct(answers.begin(), answers.end());
  EXPECT_EQ(20u, distinct.size());
  EXPECT_EQ(20u, list().size());
}

TEST_F(commands, list_never_disagrees_with_itself_while_others_store) {
  std::thread storer([&] {
    for (int i = 0; i < 30; ++i) putpic("putpic s p", rgb_picture(4, 4));
  });
  std::size_t last = 0;
  for (int i = 0; i < 60; ++i) {
    const std::vector<std::string> ids = list();  // count and lines agree
    EXPECT_GE(ids.size(), last);
    for (std::size_t k = 0; k < ids.size(); ++k) {
      std::ostringstream expected;
      expected << std::hex << k + 1 << ".sng";
      EXPECT_EQ(expected.str(), ids[k]);
    }
    last = ids.size();
  }
  storer.join();
}

TEST_F(commands, survives_a_client_that_leaves_in_the_middle_of_an_answer) {
  EXPECT_EQ("1.sng", putpic("putpic s p", rgb_picture(512, 512)));
  for (int i = 0; i < 5; ++i) {
    line_client c;
    c.send_line("getpic 1.sng p");
    c.bytes(100);
  }
  line_client c;
  c.send_line("list");
  EXPECT_EQ("1", c.line());
}

}  // namespace
