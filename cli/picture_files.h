// Picture files, told apart by the ending of their names: ".png" or ".sng",
// in any letter case.
#pragma once

#include <ostream>
#include <string>

namespace cli {

enum class file_kind { png, sng };

// Throws usage_error for a name with any other ending.
file_kind kind_of(const std::string& path);

// The whole file; throws failure when it cannot be read.
std::string read_file(const std::string& path);
// Replaces the file's content; throws failure when it cannot be written,
// and then leaves no file behind.
void write_file(const std::string& path, const std::string& bytes);

// The SNG text of the picture file at `path`: an SNG file as
// sng_upload_text gives it, a PNG file converted (notes on the conversion go
// to `notices`).
std::string load_sng_text(const std::string& path, std::ostream& notices);

// Writes the picture `sng_text`, which came from `source`, to `path`: as it
// is to an SNG file, converted to a PNG file. Throws failure when a PNG is
// asked for and the text does not parse or PNG cannot hold the picture.
void save_picture(const std::string& path, const std::string& sng_text,
                  const std::string& source, std::ostream& notices);

}  // namespace cli
