// Start-up: opening the store's files and mending what a crash left.
//
// In order: the index is read (created empty when missing), db_dir is made
// sure of, the staged files of an ended process are removed, and the
// journal files a crash may have left unretired are replayed. Replaying
// gives every picture a record holds its complete file, cuts the index back
// where a crash tore or lost the lines the records name, lists the index,
// and appends the lines of the records' whole pictures that it lacks.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/file_system.h"
#include "storage/internal.h"

// What start-up leaves the store.
struct recovered_store {
  catalogue list;  // the index's identifiers and those it was given
  // The journal files in db_dir, oldest first; the store starts the next
  // one and retires these once everything they hold is on disk.
  std::vector<std::uint64_t> journal_generations;
  bool index_elsewhere = false;  // on another file system than db_dir
};

// Opens the store's files in the working directory of `files` and mends
// them as above. Throws sng_storage::init_error, reported.
recovered_store recover(file_system& files);
