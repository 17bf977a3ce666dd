// The store's journal: the files in db_dir that make a batch of pictures
// durable with one write and one flush. A journal file starts with a header
// (a mark naming the format) and goes on with one record per picture: a fixed
// head (a mark, the identifier's length, the text's length and checksum, the
// offset in the index at which the picture's line goes, the head's checksum),
// the identifier and the picture's text. The checksums cover the lengths, the
// offset, the identifier and the text, so a record cut short or overwritten by
// a crash is told from a complete one. A picture flushed in its own file before
// its record was written has a record of another mark without the text; the
// text's checksum then tells whether the file holds it.
//
// Journal files are numbered: a checkpoint starts the next one, and removes
// the older ones once everything they hold is on disk in the pictures' own
// files and the index. Their names start with a point, so no identifier
// names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "storage/file_system.h"

namespace journal {

// Bytes of a file's header and of a record's fixed head.
constexpr std::size_t header_bytes = 16;
constexpr std::size_t head_bytes = 40;

// The path of journal file number `generation` in db_dir.
std::string path_of(std::uint64_t generation);
// The number of the journal file named `name` in db_dir, if it is one.
std::optional<std::uint64_t> generation_of(std::string_view name);

// The header every journal file starts with.
std::string_view header();

// A 64-bit hash of `bytes`, in the manner of xxHash64: fast enough to check
// every byte of every picture on its way to disk.
std::uint64_t hash(std::string_view bytes, std::uint64_t seed);

// The part of a record's checksum that comes from the picture's text; it can
// be computed before the picture has an identifier.
std::uint64_t text_checksum(std::string_view text);

// A record's fixed head and identifier, for a text of `text_size` bytes whose
// text_checksum is `text_sum`, and whose index line (the identifier and a
// line feed) goes into the index at byte `index_offset`. When `with_text`,
// the text follows it; otherwise the text is in the picture's own file,
// flushed.
std::string record_head(std::string_view id, std::size_t text_size,
                        std::uint64_t text_sum, std::uint64_t index_offset,
                        bool with_text);

// One record as read back.
struct record {
  std::string id;
  bool with_text = false;
  std::string text;  // when with_text
  std::uint64_t text_size = 0;
  std::uint64_t text_sum = 0;      // text_checksum of the text
  std::uint64_t index_offset = 0;  // where the index line goes
};

// Reads a journal file from the start, one record at a time, so that reading
// holds one picture at most.
class reader {
 public:
  // Reads the file open as `fd`, `size` bytes long.
  reader(file_system& files, int fd, std::uint64_t size);

  // The next complete record; false at the end of the file, at a header or
  // a record cut short, at a checksum that does not match, or when reading
  // fails (see failed()). A file whose header is not whole was never written
  // to and has no records.
  bool next(record& into);

  // Whether a read call failed (rather than the file ending).
  bool failed() const { return failed_; }

 private:
  bool read_at(std::uint64_t offset, std::string& into, std::size_t bytes);

  file_system& files_;
  int fd_;
  std::uint64_t size_;
  std::uint64_t offset_ = header_bytes;
  bool header_whole_ = false;
  bool failed_ = false;
};

}  // namespace journal
