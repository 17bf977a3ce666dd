// The journal: files that make a batch of pictures durable with one write
// and one flush. Each file starts with a header and goes on with one record
// per picture, appended in batches; a record cut short, or changed in place
// by a crash, fails its checksums, and reading stops there.
//
// File format (fixed-width numbers little-endian):
//
//   file   := header record*
//   header := "quarn journal 2\n"                                 16 bytes
//   record := head id text?
//   head   := mark          4 bytes  "qrec": the text follows the id;
//                                    "qref": the text is in a file of its
//                                    own, flushed before the record
//             id_size       4 bytes  bytes of the id
//             text_size     8 bytes  bytes of the text
//             text_sum      8 bytes  text_checksum(text)
//             index_offset  8 bytes  where the record's line goes in the
//                                    index file
//             head_sum      8 bytes  hash(id, seed: hash(the 32 bytes
//                                    before it, seed: 0))
//   id     := id_size bytes
//   text   := text_size bytes, in "qrec" records only
//
// hash(bytes, seed) is 64 bits, in the manner of xxHash64, and
// text_checksum(text) is hash(text, seed: text_size), so a text changed in
// place fails it as surely as one cut short. A "qref" record's text_sum
// tells whether the file it names holds that text.
//
// Journal files are named ".journal-<generation>", numbered upwards: a new
// file is started at every checkpoint, and the older ones are removed once
// what they hold is on disk elsewhere. Neither the writer nor the reader is
// synchronised: each is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "storage/file_system.h"

namespace journal {

// Bytes of a file's header and of a record's head.
constexpr std::size_t header_bytes = 16;
constexpr std::size_t head_bytes = 40;

// The name of journal file number `generation`.
std::string file_name(std::uint64_t generation);
// The number of the journal file called `name`, if it is one.
std::optional<std::uint64_t> generation_of(std::string_view name);

// The checksum of a picture's text that its record carries; it can be
// computed before the picture has an identifier.
std::uint64_t text_checksum(std::string_view text);

// A record to write: the picture `id`, its `text` and its text_checksum,
// and where its line goes in the index. The text is written into the
// journal only `with_text`.
struct entry {
  std::string_view id;
  std::string_view text;
  std::uint64_t text_sum = 0;
  std::uint64_t index_offset = 0;
  bool with_text = false;
};

// Appends records to one journal file, which it owns.
class writer {
 public:
  // Writes the header into the empty file `file`, open for writing, and
  // flushes it; nothing, with errno set, on failure. The file's directory
  // entry is the caller's to flush.
  static std::optional<writer> begin(file_system& files, descriptor file);

  // Appends `entries` as records with one write and flushes them; false,
  // with errno set, on failure, when a part of them may be in the file.
  bool append(std::span<const entry> entries);

  // Cuts the file back to its whole records and flushes it; false when it
  // cannot, and then no more records may be appended to it.
  bool cut_back();

  // Bytes in the file, header included, and records in it.
  std::uint64_t bytes() const { return bytes_; }
  std::size_t records() const { return records_; }

 private:
  writer(file_system& files, descriptor file);

  file_system& files_;
  descriptor file_;
  std::uint64_t bytes_ = header_bytes;
  std::size_t records_ = 0;
};

// One record as read back.
struct record {
  std::string id;
  bool with_text = false;
  std::string text;  // when with_text
  std::uint64_t text_size = 0;
  std::uint64_t text_sum = 0;
  std::uint64_t index_offset = 0;
};

// Reads a journal file from the start, one record at a time, so that reading
// holds one picture at most. The file must stay open while it is read.
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
