// The index, db_name: one identifier and a line feed per picture, in the
// order stored. The store appends whole lines in one write each, after the
// journal has made their pictures durable, and cuts the index back only at
// start-up, where a crash may have torn lines that the journal names. Lines
// written into it by hand while the store is closed are listed like its own.
// Nothing here is synchronised: the committing thread and start-up use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_system.h"

// The index opened with `flags`; a missing index is created empty and its
// directory entry flushed, as an append would create it. An existing index
// is never truncated. Invalid on failure.
descriptor open_index(file_system& files, int flags);

// The whole text of the index, which is created when missing. Throws
// sng_storage::init_error, reported.
std::string read_index(file_system& files);

// The identifiers the index `text` names, in order: its words, separated by
// the white space a stream skips between words.
std::vector<std::string_view> index_names(std::string_view text);

// Cuts the index back to `size` bytes when it is longer; false on failure.
bool cut_index_to(file_system& files, off_t size);

// The end of the index, where the next lines go: the index open for
// writing, its size, and whether a line feed must come first (an index
// edited by hand, or cut short, may lack its last one, and two identifiers
// must never run together).
struct index_end {
  descriptor index;
  off_t size;
  bool line_feed_first;

  // The offset at which the first line goes.
  std::uint64_t lines_at() const {
    return static_cast<std::uint64_t>(size) + (line_feed_first ? 1 : 0);
  }
};

// The end of the index, which is created when missing; nothing, reported,
// on failure.
std::optional<index_end> find_index_end(file_system& files);

// Writes `lines` at `end` in one write call, whole or not at all: on any
// failure, reported, the index is cut back to its size before and false
// returned. Nothing is flushed: the journal makes the lines durable.
bool write_at_index_end(file_system& files, const index_end& end,
                        const std::string& lines);

// Appends `lines` to the index, whole or not at all; false on failure.
bool append_to_index(file_system& files, const std::string& lines);
