#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "storage/journal.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A journal file of its own under the system's temporary directory, removed
// at the end.
class journal_file {
 public:
  static fs::path new_empty_file() {
    std::string pattern =
        (fs::temp_directory_path() / "quarn-journal-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    EXPECT_LE(0, fd);
    ::close(fd);
    return pattern;
  }

  journal_file()
      : path_(new_empty_file()),
        writer_(journal::writer::begin(
            files(),
            descriptor(files(), files().open(path_.c_str(), O_RDWR, 0)))) {
    EXPECT_TRUE(writer_);
  }
  ~journal_file() { fs::remove(path_); }

  static file_system& files() { return file_system::posix(); }
  journal::writer& writer() { return *writer_; }
  const fs::path& path() const { return path_; }

  // The records a reader reads from the file, up to the first it refuses.
  std::vector<journal::record> records() const {
    descriptor file(files(), files().open(path_.c_str(), O_RDONLY, 0));
    journal::reader reader(files(), file.get(), fs::file_size(path_));
    std::vector<journal::record> read;
    for (journal::record one; reader.next(one);) read.push_back(one);
    EXPECT_FALSE(reader.failed());
    return read;
  }

 private:
  fs::path path_;
  std::optional<journal::writer> writer_;
};

journal::entry entry_of(std::string_view id, std::string_view text,
                        std::uint64_t index_offset, bool with_text) {
  return {id, text, journal::text_checksum(text), index_offset, with_text};
}

TEST(journal, reads_back_the_records_appended_in_their_order) {
  journal_file file;
  const std::string one = "IHDR {\n}\n";
  const std::string two(5000, 'x');
  const journal::entry first[] = {entry_of("1.sng", one, 0, true),
                                  entry_of("2.sng", two, 6, false)};
  const journal::entry second[] = {entry_of("3.sng", "", 12, true)};
  ASSERT_TRUE(file.writer().append(first));
  ASSERT_TRUE(file.writer().append(second));
  EXPECT_EQ(3u, file.writer().records());
  EXPECT_EQ(fs::file_size(file.path()), file.writer().bytes());

  const std::vector<journal::record> read = file.records();
  ASSERT_EQ(3u, read.size());
  EXPECT_EQ("1.sng", read[0].id);
  EXPECT_TRUE(read[0].with_text);
  EXPECT_EQ(one, read[0].text);
  EXPECT_EQ(0u, read[0].index_offset);
  EXPECT_EQ("2.sng", read[1].id);
  EXPECT_FALSE(read[1].with_text);
  EXPECT_EQ("", read[1].text);
  EXPECT_EQ(two.size(), read[1].text_size);
  EXPECT_EQ(journal::text_checksum(two), read[1].text_sum);
  EXPECT_EQ(6u, read[1].index_offset);
  EXPECT_EQ("3.sng", read[2].id);
  EXPECT_EQ("", read[2].text);
  EXPECT_EQ(12u, read[2].index_offset);
}

TEST(journal, stops_at_a_record_a_crash_changed_in_place_cut_or_zeroed) {
  const std::string text = "IHDR {\n\twidth: 1\n}\n";
  const std::function<void(std::string&, std::size_t)> damages[] = {
      // one byte of the text, of the identifier, of the index offset
      [&](std::string& bytes, std::size_t) {
        bytes[bytes.rfind("width")] ^= 1;
      },
      [](std::string& bytes, std::size_t at) { bytes[at + 40] = '7'; },
      [](std::string& bytes, std::size_t at) { bytes[at + 24] ^= 0x10; },
      // cut short, or the size kept and the bytes lost
      [](std::string& bytes, std::size_t) { bytes.pop_back(); },
      [](std::string& bytes, std::size_t at) {
        bytes.replace(at, bytes.size() - at, bytes.size() - at, '\0');
      },
  };
  for (const auto& damage : damages) {
    journal_file file;
    const journal::entry first[] = {entry_of("1.sng", text, 0, true)};
    const journal::entry second[] = {entry_of("2.sng", text, 6, true)};
    ASSERT_TRUE(file.writer().append(first));
    const std::size_t second_at = file.writer().bytes();
    ASSERT_TRUE(file.writer().append(second));
    std::string bytes = read_file(file.path());
    damage(bytes, second_at);
    write_file(file.path(), bytes);

    const std::vector<journal::record> read = file.records();
    ASSERT_EQ(1u, read.size());
    EXPECT_EQ("1.sng", read[0].id);
    EXPECT_EQ(text, read[0].text);
  }
}

TEST(journal, names_its_files_by_generation_and_knows_them_again) {
  EXPECT_EQ(".journal-12", journal::file_name(12));
  EXPECT_EQ(12u, journal::generation_of(journal::file_name(12)));
  for (const char* name : {".journal-", ".journal-1x", ".journal--1", "1.sng",
                           ".staged-1", "journal-1"})
    EXPECT_EQ(std::nullopt, journal::generation_of(name)) << name;
}

}  // namespace
