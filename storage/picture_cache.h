// Pictures fetched from the store, with their SNG text, kept while their
// files are unchanged so that fetching a picture again costs no reading,
// parsing or formatting. Bounded in memory; the oldest entries go first. Not
// synchronised: the store guards it with its lock.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sng/sng.h"

// What tells one version of a file from another: device, inode, size,
// modification time, and change time, which every write and every change of
// the modification time moves on and no tool can set back.
struct file_identity {
  std::uint64_t device;
  std::uint64_t inode;
  std::int64_t size;
  std::int64_t modified_seconds;
  std::int64_t modified_nanoseconds;
  std::int64_t changed_seconds;
  std::int64_t changed_nanoseconds;

  static file_identity of(const struct stat& status);
  bool operator==(const file_identity&) const = default;
};

// A picture and its SNG text (the picture's to_raw_string()), both shared
// and read-only, with the number of lines of that text.
struct fetched_picture {
  std::shared_ptr<const sng> picture;
  std::shared_ptr<const std::string> text;
  int lines;  // line feeds in *text
};

class picture_cache {
 public:
  // The picture cached under `id`, if it was read from a file of `identity`.
  std::optional<fetched_picture> find(const std::string& id,
                                      const file_identity& identity) const;

  // Keeps `item`, read from a file of `identity`, under `id`, evicting the
  // oldest entries past the budget, and returns what it no longer keeps, so
  // that the caller frees it where it likes. Pictures too large to be worth
  // it are not kept.
  std::vector<fetched_picture> remember(const std::string& id,
                                        const file_identity& identity,
                                        const fetched_picture& item);

 private:
  struct entry {
    file_identity identity;
    fetched_picture item;
    std::size_t bytes;  // memory the item holds, roughly
  };

  std::unordered_map<std::string, entry> entries_;
  std::deque<std::string> order_;  // identifiers, oldest first
  std::size_t bytes_ = 0;          // sum of the entries' bytes
};
