// Where the store keeps its files and what it calls them: the index, the
// directory of picture files, the identifiers that name the pictures and
// the numbers they carry, and the names a picture is staged under until it
// is complete. Every path is relative to the working directory.
//
//   ./quarn.db              the index: one identifier and a line feed per
//                           picture, in the order stored
//   ./db/<identifier>       a picture's SNG text; an identifier is the
//                           picture's number in lower-case hexadecimal and
//                           ".sng" (1.sng, a.sng, 10.sng)
//   ./db/.staged-<n>        a picture on its way in, not yet listed
//   ./db/.journal-<n>       the journal (storage/journal.h)
//
// Names that start with a point are never identifiers, so no fetch reaches
// a staged picture or the journal.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "storage/file_system.h"

// The index.
inline constexpr const char* db_name = "./quarn.db";
// The pictures' files, beside the journal and the staged files.
inline constexpr const char* db_dir = "./db";
// Every identifier's ending.
inline constexpr const char* ext = ".sng";
// The directory that holds db_name and db_dir.
inline constexpr const char* working_dir = ".";

// Permission bits of new files and of db_dir; the file-creation mask applies.
inline constexpr mode_t file_mode = 0666;
inline constexpr mode_t dir_mode = 0770;

// db_dir, a slash and `id`, which is not examined.
std::string make_filename(const std::string& id);

// The number before the first point of `id`, read as a stream reads
// hexadecimal: an optional sign, digits in either case up to the first other
// character; 0 when there is none, the nearest int limit past the range.
int extract_id(const std::string& id);

// Makes sure db_dir is a directory, creating it and flushing its entry when
// it is missing; false, reported, when it is something else or cannot be
// made.
bool init_dir(file_system& files);

// The identifier of the picture numbered `number` (at least 1).
std::string identifier_of(int number);

// Whether `id` has the only form the store gives identifiers: lower-case
// hexadecimal digits followed by ext.
bool has_identifier_form(const std::string& id);

// A path in db_dir that this process has not staged a picture under yet.
std::string new_staging_path();

// Whether `name`, in db_dir, is a picture's staging name.
bool is_staging_name(std::string_view name);
