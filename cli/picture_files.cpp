#include "cli/picture_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "client/errors.h"
#include "client/pictures.h"
#include "client/png_io.h"
#include "client/sng_convert.h"

namespace cli {

using client::failure;
using client::usage_error;

namespace {

bool ends_with_ignoring_case(const std::string& text,
                             const std::string& ending) {
  return text.size() >= ending.size() &&
         std::equal(ending.begin(), ending.end(),
                    text.end() - static_cast<std::ptrdiff_t>(ending.size()),
                    [](char expected, char c) {
                      return expected ==
                             std::tolower(static_cast<unsigned char>(c));
                    });
}

std::string system_error(const std::string& action, const std::string& path) {
  return "cannot " + action + " " + path + ": " + std::strerror(errno);
}

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

file_kind kind_of(const std::string& path) {
  if (ends_with_ignoring_case(path, ".png")) return file_kind::png;
  if (ends_with_ignoring_case(path, ".sng")) return file_kind::sng;
  throw usage_error(path + ": the name must end in .png or .sng");
}

std::string read_file(const std::string& path) {
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) throw failure(system_error("read", path));
  std::string content;
  char chunk[64 * 1024];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
    content.append(chunk, count);
  if (std::ferror(file.get())) throw failure(system_error("read", path));
  return content;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw failure(system_error("write", path));
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  if (!written || std::fclose(file.release()) != 0) {
    const std::string message = system_error("write", path);
    file.reset();
    std::remove(path.c_str());
    throw failure(message);
  }
}

std::string load_sng_text(const std::string& path, std::ostream& notices) {
  if (kind_of(path) == file_kind::png)
    return client::to_sng(client::decode_png(read_file(path), path, notices),
                          notices);
  return client::sng_upload_text(read_file(path));
}

void save_picture(const std::string& path, const std::string& sng_text,
                  const std::string& source, std::ostream& notices) {
  if (kind_of(path) == file_kind::sng)
    write_file(path, sng_text);
  else
    write_file(path, client::png_of(sng_text, source, notices));
}

}  // namespace cli
