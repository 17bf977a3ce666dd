#include "storage/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sng/strlib.h"
#include "storage/layout.h"
#include "support/fresh_directory.h"
#include "support/lowered_limit.h"
#include "support/pictures.h"

namespace {

using words = std::vector<std::string>;
namespace fs = std::filesystem;

// SNG text of a red picture of `width` x `height` pixels.
std::string picture_text(int width, int height) {
  return rgb_picture(width, height, "ff0000");
}

sng picture(int width = 1, int height = 1) {
  return sng(picture_text(width, height));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

words words_of(const std::string& text) {
  std::istringstream in(text);
  words result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

// The names in db/ but the store's journal, sorted.
words stored_files() {
  words names;
  for (const auto& entry : fs::directory_iterator("db"))
    if (!entry.path().filename().string().starts_with(".journal-"))
      names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

sng_storage* store() { return sng_storage::instance(); }

// Rewrites `path` in place with `content` and sets its modification time
// back, as a tool that hides a change would. Repeats until the file system's
// clock has moved, so that the change time differs from the version before.
void rewrite_hiding_the_change(const fs::path& path,
                               const std::string& content) {
  struct stat before {};
  ASSERT_EQ(0, ::stat(path.c_str(), &before));
  struct stat after {};
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    write_file(path, content);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
    ASSERT_EQ(0, ::stat(path.c_str(), &after));
  } while (after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
           after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
}

TEST(store, starts_empty_and_stores_the_first_picture_as_1_sng) {
  run_in_fresh_directory([] {
    ::umask(022);
    EXPECT_EQ(words{}, store()->get_all_items());
    EXPECT_EQ(store(), store());
    EXPECT_EQ("", read_file("quarn.db"));
    struct stat status {};
    ASSERT_EQ(0, ::stat("db", &status));
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(0750u, status.st_mode & 0777);

    const sng red = picture(3, 2);
    EXPECT_EQ("1.sng", store()->put_item(red));
    EXPECT_EQ(red.to_raw_string(), read_file("db/1.sng"));
    EXPECT_EQ("1.sng\n", read_file("quarn.db"));
    EXPECT_EQ(words{"1.sng"}, store()->get_all_items());
    EXPECT_EQ(words{"1.sng"}, stored_files());
    EXPECT_EQ(red.to_raw_string(), store()->get_item("1.sng").to_raw_string());
  });
}

TEST(store, numbers_pictures_in_lower_case_hexadecimal) {
  run_in_fresh_directory([] {
    const words expected{"1.sng", "2.sng", "3.sng", "4.sng",  "5.sng", "6.sng",
                         "7.sng", "8.sng", "9.sng", "a.sng",  "b.sng", "c.sng",
                         "d.sng", "e.sng", "f.sng", "10.sng", "11.sng"};
    const sng red = picture();
    for (const std::string& id : expected)
      EXPECT_EQ(id, store()->put_item(red));
    EXPECT_EQ(expected, store()->get_all_items());
    EXPECT_EQ(expected, words_of(read_file("quarn.db")));
  });
}

TEST(store, continues_after_the_largest_identifier_of_the_index) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "1.sng\na.sng\n3.sng\n");
    EXPECT_EQ((words{"1.sng", "a.sng", "3.sng"}), store()->get_all_items());
    EXPECT_EQ("b.sng", store()->put_item(picture()));
    EXPECT_EQ("1.sng\na.sng\n3.sng\nb.sng\n", read_file("quarn.db"));
    EXPECT_EQ((words{"1.sng", "a.sng", "3.sng", "b.sng"}),
              store()->get_all_items());
  });
}

TEST(store, numbers_on_from_the_largest_hexadecimal_number_in_the_index) {
  // The number is what comes before the first point, in either case, with
  // a sign; past the int range it stops at the nearest limit.
  const std::pair<std::string, std::string> cases[] = {
      {"AB.SNG\n1.sng\n", "ac.sng"},
      {"1f2g.sng\n", "1f3.sng"},
      {"1.2.sng\n12\n", "13.sng"},
      {"+b.sng\n-ff.sng\n", "c.sng"},
      {"-80000001.sng\n", "1.sng"},
      {"80000000.sng\n", "none"},
      {"ffffffffffffffffffffffff.sng\n", "none"},
  };
  for (const auto& [index, next] : cases)
    run_in_fresh_directory([&] {
      write_file("quarn.db", index);
      if (next == "none")
        EXPECT_THROW(store()->put_item(picture()), sng_storage::write_error)
            << index;
      else
        EXPECT_EQ(next, store()->put_item(picture())) << index;
    });
}

TEST(store, lists_every_word_of_the_index_but_counts_only_numbers) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "\n  zz.sng\t\n\n2.sng \r\n-7.sng");
    EXPECT_EQ((words{"zz.sng", "2.sng", "-7.sng"}), store()->get_all_items());
    EXPECT_EQ("3.sng", store()->put_item(picture()));
  });
}

TEST(store, writes_a_line_feed_before_the_identifier_when_the_index_lacks_one) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "1.sng");
    EXPECT_EQ("2.sng", store()->put_item(picture()));
    EXPECT_EQ("1.sng\n2.sng\n", read_file("quarn.db"));
    EXPECT_EQ((words{"1.sng", "2.sng"}), store()->get_all_items());
  });
}

TEST(store, opens_no_file_it_does_not_list_under_an_identifier_name) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "../quarn.db\nA.sng\n");
    ASSERT_EQ("b.sng", store()->put_item(picture()));
    // Valid picture files: one the index does not name, one it names in
    // upper case.
    write_file("db/7.sng", picture_text(1, 1));
    write_file("db/A.sng", picture_text(1, 1));
    for (const std::string id :
         {"7.sng", "A.sng", "a.sng", "", "../quarn.db", "/etc/passwd", "B.SNG",
          "0b.sng", "b.sng.tmp", "b.sng/", "./b.sng", "b", ".sng", "c.sng"})
      EXPECT_THROW(store()->get_item(id), sng_storage::not_found_error) << id;
    EXPECT_NO_THROW(store()->get_item("b.sng"));
  });
}

// Lowers the descriptor limit to the descriptors open now, so that opening
// one more fails, until it goes out of scope.
lowered_limit no_descriptor_left() {
  const int lowest_free = ::dup(0);
  ::close(lowest_free);
  return lowered_limit(RLIMIT_NOFILE, static_cast<rlim_t>(lowest_free));
}

TEST(store, tells_a_missing_file_from_an_unreadable_one) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "5.sng\n6.sng\n7.sng\n8.sng\n9.sng\na.sng\n");
    ASSERT_NE(nullptr, store());
    fs::create_directory("db/6.sng");
    write_file("db/7.sng", "IHDR {\n\twidth: 1\n\theight: 2\n}\n");
    write_file("elsewhere.sng", picture_text(1, 1));
    fs::create_symlink("../elsewhere.sng", "db/8.sng");
    ASSERT_EQ(0, ::mkfifo("db/9.sng", 0600));
    write_file("db/a.sng", picture_text(1, 1));

    EXPECT_THROW(store()->get_item("5.sng"), sng_storage::not_found_error);
    EXPECT_THROW(store()->get_item("6.sng"), sng_storage::read_error);
    EXPECT_THROW(store()->get_item("7.sng"), sng::parse_error);
    for (const std::string id : {"8.sng", "9.sng"}) {
      EXPECT_THROW(store()->get_item(id), sng_storage::read_error) << id;
      EXPECT_THROW(store()->fetch_item(id), sng_storage::read_error) << id;
    }
    {
      const lowered_limit limit = no_descriptor_left();
      EXPECT_THROW(store()->get_item("a.sng"), sng_storage::read_error);
      EXPECT_THROW(store()->fetch_item("a.sng"), sng_storage::read_error);
    }
    EXPECT_NO_THROW(store()->fetch_item("a.sng"));
  });
}

// What the store reported to its failure hook while reading, as
// "step file: cause".
std::vector<std::string> read_failures;
void record_read_failure(const store_failure& failure) {
  ASSERT_EQ(store_failure::work::reading, failure.during);
  read_failures.push_back(std::string(failure.step) + " " +
                          std::string(failure.file) + ": " +
                          std::string(failure.cause));
}

TEST(store, reports_the_step_file_and_cause_of_each_failed_read) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "5.sng\n6.sng\n7.sng\n8.sng\n");
    ASSERT_NE(nullptr, store());
    fs::create_directory("db/6.sng");
    write_file("db/7.sng", "IHDR {\n\twidth: 1\n\theight: 2\n}\n");
    fs::create_symlink("6.sng", "db/8.sng");
    set_store_failure_hook(record_read_failure);
    for (const char* id : {"5.sng", "6.sng", "7.sng", "8.sng"})
      EXPECT_ANY_THROW(store()->fetch_item(id)) << id;
    EXPECT_EQ((words{"open ./db/5.sng: No such file or directory",
                     "open ./db/6.sng: not a regular file",
                     "parse ./db/7.sng: not an SNG picture",
                     "open ./db/8.sng: Too many levels of symbolic links"}),
              read_failures);
  });
}

TEST(store, fetches_a_picture_again_from_its_file_once_the_file_changes) {
  run_in_fresh_directory([] {
    ASSERT_EQ("1.sng", store()->put_item(picture(2, 1)));
    const fetched_picture first = store()->fetch_item("1.sng");
    EXPECT_EQ(picture(2, 1).to_raw_string(), *first.text);
    EXPECT_EQ(count_lines(*first.text), first.lines);
    EXPECT_EQ(first.text, store()->fetch_item("1.sng").text);

    std::string green = *first.text;
    green.replace(green.find("ff0000"), 6, "00ff00");
    rewrite_hiding_the_change("db/1.sng", green);
    EXPECT_EQ(green, *store()->fetch_item("1.sng").text);

    // Edited by hand; the size tells the versions apart even within one
    // tick of the file system's clock.
    write_file("db/1.sng", picture_text(3, 1));
    EXPECT_EQ(picture(3, 1).to_raw_string(),
              *store()->fetch_item("1.sng").text);
    fs::remove("db/1.sng");
    EXPECT_THROW(store()->fetch_item("1.sng"), sng_storage::not_found_error);
    fs::create_directory("db/1.sng");
    EXPECT_THROW(store()->fetch_item("1.sng"), sng_storage::read_error);
    for (const std::string id : {"2.sng", "../quarn.db", ""})
      EXPECT_THROW(store()->fetch_item(id), sng_storage::not_found_error);
  });
}

TEST(store, retries_a_failed_creation_at_the_next_call) {
  run_in_fresh_directory([] {
    write_file("db", "a plain file");
    EXPECT_THROW(sng_storage::instance(), sng_storage::init_error);
    EXPECT_EQ("", read_file("quarn.db"));
    fs::remove("db");
    write_file("quarn.db", "4.sng\n");
    EXPECT_EQ(words{"4.sng"}, store()->get_all_items());
    EXPECT_TRUE(fs::is_directory("db"));
  });
}

TEST(store, never_numbers_past_the_largest_int) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "7ffffffe.sng\n");
    EXPECT_EQ("7fffffff.sng", store()->put_item(picture()));
    EXPECT_THROW(store()->put_item(picture()), sng_storage::write_error);
    EXPECT_THROW(store()->put_item(picture()), sng_storage::write_error);
    EXPECT_EQ("7ffffffe.sng\n7fffffff.sng\n", read_file("quarn.db"));
    EXPECT_EQ((words{"7fffffff.sng"}), stored_files());
  });
}

TEST(store, leaves_nothing_when_a_directory_stands_where_the_picture_goes) {
  run_in_fresh_directory([] {
    ASSERT_NE(nullptr, store());
    fs::create_directory("db/1.sng");
    EXPECT_THROW(store()->put_item(picture()), sng_storage::write_error);
    EXPECT_EQ(words{"1.sng"}, stored_files());
    EXPECT_TRUE(fs::is_empty("db/1.sng"));
    EXPECT_EQ("", read_file("quarn.db"));
    EXPECT_EQ(words{}, store()->get_all_items());
    EXPECT_THROW(store()->get_item("1.sng"), sng_storage::not_found_error);

    EXPECT_EQ("2.sng", store()->put_item(picture()));
    EXPECT_EQ("2.sng\n", read_file("quarn.db"));
  });
}

TEST(store, keeps_the_picture_but_lists_nothing_when_the_index_fails) {
  run_in_fresh_directory([] {
    ASSERT_NE(nullptr, store());
    fs::remove("quarn.db");
    fs::create_directory("quarn.db");
    const sng red = picture();
    EXPECT_THROW(store()->put_item(red), sng_storage::write_error);
    EXPECT_EQ(red.to_raw_string(), read_file("db/1.sng"));
    EXPECT_EQ(words{}, store()->get_all_items());
    EXPECT_THROW(store()->get_item("1.sng"), sng_storage::not_found_error);

    fs::remove("quarn.db");
    write_file("quarn.db", "");
    EXPECT_EQ("2.sng", store()->put_item(red));
    EXPECT_EQ("2.sng\n", read_file("quarn.db"));
  });
}

TEST(store, creates_the_index_again_when_it_is_removed_while_open) {
  run_in_fresh_directory([] {
    ASSERT_EQ("1.sng", store()->put_item(picture()));
    fs::remove("quarn.db");
    EXPECT_EQ("2.sng", store()->put_item(picture()));
    EXPECT_EQ("2.sng\n", read_file("quarn.db"));
    EXPECT_EQ((words{"1.sng", "2.sng"}), store()->get_all_items());
    EXPECT_EQ((words{"1.sng", "2.sng"}), stored_files());
  });
}

TEST(store, removes_staged_files_left_behind_when_it_opens) {
  run_in_fresh_directory([] {
    fs::create_directory("db");
    write_file("db/.staged-1", "half a pict");
    write_file("db/.staged-12", picture_text(1, 1));
    write_file("db/5.sng", picture_text(1, 1));
    ASSERT_NE(nullptr, store());
    EXPECT_EQ(words{"5.sng"}, stored_files());
  });
}

TEST(store, never_writes_through_a_link_planted_under_a_staging_name) {
  run_in_fresh_directory([] {
    write_file("victim", "precious");
    ASSERT_NE(nullptr, store());
    // The name this process stages its first picture under.
    fs::create_symlink("../victim", "db/.staged-1");
    EXPECT_THROW(store()->put_item(picture()), sng_storage::write_error);
    EXPECT_EQ("precious", read_file("victim"));
    EXPECT_TRUE(fs::is_symlink("db/.staged-1"));
    EXPECT_EQ("2.sng", store()->put_item(picture()));
  });
}

TEST(store, overwrites_a_left_behind_file_after_a_restart) {
  run_in_fresh_directory([] {
    write_file("quarn.db", "1.sng\n");
    fs::create_directory("db");
    write_file("db/2.sng", "half a pict");
    const sng red = picture(2, 1);
    EXPECT_EQ("2.sng", store()->put_item(red));
    EXPECT_EQ(red.to_raw_string(), read_file("db/2.sng"));
  });
}

// The file size limit makes writes fail with EFBIG the way a full disk makes
// them fail with ENOSPC.
void limit_file_size(rlim_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, RLIM_INFINITY};
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
}

TEST(store, leaves_no_partial_picture_when_the_disk_fills) {
  run_in_fresh_directory([] {
    const sng small = picture();
    const sng large = picture(64, 16);
    ASSERT_LT(small.to_raw_string().size(), 1024u);
    ASSERT_GT(large.to_raw_string().size(), 1024u);
    ASSERT_NE(nullptr, store());
    limit_file_size(1024);

    EXPECT_THROW(store()->put_item(large), sng_storage::write_error);
    EXPECT_EQ(words{}, stored_files());
    EXPECT_EQ("", read_file("quarn.db"));
    EXPECT_EQ(words{}, store()->get_all_items());

    EXPECT_EQ("2.sng", store()->put_item(small));
    EXPECT_EQ(words{"2.sng"}, stored_files());
    EXPECT_EQ("2.sng\n", read_file("quarn.db"));
  });
}

TEST(store,
     answers_a_journaled_picture_and_appends_its_line_once_there_is_room) {
  run_in_fresh_directory([] {
    constexpr rlim_t limit = 1024;
    // Three bytes short of the limit: "2.sng\n" gets half written.
    const std::string index = "1.sng\n" + std::string(limit - 3 - 6, '\n');
    write_file("quarn.db", index);
    ASSERT_NE(nullptr, store());
    limit_file_size(limit);

    // The journal holds the picture; its index line is taken back whole.
    const sng red = picture();
    EXPECT_EQ("2.sng", store()->put_item(red));
    EXPECT_EQ(index, read_file("quarn.db"));
    EXPECT_EQ((words{"1.sng", "2.sng"}), store()->get_all_items());
    EXPECT_EQ(red.to_raw_string(), read_file("db/2.sng"));
    // Nothing more is stored until the line is in.
    EXPECT_THROW(store()->put_item(red), sng_storage::write_error);
    EXPECT_EQ(index, read_file("quarn.db"));

    limit_file_size(RLIM_INFINITY);
    EXPECT_EQ("4.sng", store()->put_item(red));
    EXPECT_EQ(index + "2.sng\n4.sng\n", read_file("quarn.db"));
    EXPECT_EQ((words{"1.sng", "2.sng", "4.sng"}), store()->get_all_items());
  });
}

// Stores `red` over and over until the process is killed.
[[noreturn]] void store_until_killed(const sng& red) {
  try {
    for (;;) store()->put_item(red);
  } catch (...) {
  }
  std::_Exit(1);
}

TEST(store, keeps_every_listed_picture_whole_when_killed_at_any_moment) {
  run_in_fresh_directory([] {
    const sng red = picture(8, 8);
    const std::string text = red.to_raw_string();
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 25000);
    for (int round = 0; round < 40; ++round) {
      const pid_t writer = ::fork();
      ASSERT_NE(-1, writer);
      if (writer == 0) store_until_killed(red);
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
      ::kill(writer, SIGKILL);
      int status = 0;
      ASSERT_EQ(writer, ::waitpid(writer, &status, 0));
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
    }

    // A kill leaves whole lines; opening keeps them and may add the lines of
    // pictures journaled just before the kill.
    const std::string left = read_file("quarn.db");
    EXPECT_TRUE(left.empty() || left.back() == '\n');
    const words listed = store()->get_all_items();
    const std::string index = read_file("quarn.db");
    EXPECT_TRUE(index.starts_with(left));
    EXPECT_EQ(words_of(index), listed);
    EXPECT_FALSE(listed.empty());
    EXPECT_EQ(listed.size(),
              std::set<std::string>(listed.begin(), listed.end()).size());
    for (const std::string& id : listed) {
      EXPECT_EQ(text, read_file(make_filename(id))) << id;
      EXPECT_EQ(text, store()->get_item(id).to_raw_string()) << id;
    }
    const std::string next = store()->put_item(red);
    EXPECT_EQ(listed.end(), std::find(listed.begin(), listed.end(), next));
    EXPECT_EQ(index + next + "\n", read_file("quarn.db"));
  });
}

}  // namespace
