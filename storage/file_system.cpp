#include "storage/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>

namespace {

class posix_file_system final : public file_system {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    return ::open(path, flags | O_CLOEXEC, mode);
  }
  int close(int fd) override { return ::close(fd); }
  ssize_t pread(int fd, void* buffer, std::size_t bytes,
                off_t offset) override {
    return ::pread(fd, buffer, bytes, offset);
  }
  ssize_t pwritev(int fd, const iovec* parts, int count,
                  off_t offset) override {
    return ::pwritev(fd, parts, count, offset);
  }
  int fstat(int fd, struct stat* status) override {
    return ::fstat(fd, status);
  }
  int stat(const char* path, struct stat* status) override {
    return ::stat(path, status);
  }
  int lstat(const char* path, struct stat* status) override {
    return ::lstat(path, status);
  }
  int fdatasync(int fd) override { return ::fdatasync(fd); }
  int ftruncate(int fd, off_t size) override { return ::ftruncate(fd, size); }
  int rename(const char* from, const char* to) override {
    return ::rename(from, to);
  }
  int unlink(const char* path) override { return ::unlink(path); }
  int mkdir(const char* path, mode_t mode) override {
    return ::mkdir(path, mode);
  }

  std::optional<std::vector<std::string>> names_in(const char* path) override {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path),
                                                        ::closedir);
    if (!directory) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
    }
    return names;
  }

  int sync_directory(const char* path) override {
    return with_directory(path, [](int fd) { return ::fsync(fd); });
  }

  int sync_file_system(const char* path) override {
    return with_directory(path, [](int fd) { return ::syncfs(fd); });
  }

  std::optional<space> space_of(const char* path) override {
    struct statvfs status {};
    if (::statvfs(path, &status) != 0) return std::nullopt;
    return space{std::uint64_t{status.f_blocks} * status.f_frsize,
                 std::uint64_t{status.f_bavail} * status.f_frsize};
  }

 private:
  // `call` on directory `path`, opened for it; -1 when any step fails.
  template <typename function>
  static int with_directory(const char* path, function call) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = call(fd);
    return ::close(fd) == 0 ? result : -1;
  }
};

}  // namespace

file_system& file_system::posix() {
  static posix_file_system instance;
  return instance;
}

bool write_all(file_system& files, int fd, std::span<iovec> parts,
               off_t offset) {
  auto next = parts.begin();
  while (next != parts.end()) {
    const int count =
        static_cast<int>(std::min<std::ptrdiff_t>(parts.end() - next, IOV_MAX));
    ssize_t written = files.pwritev(fd, &*next, count, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    offset += written;
    for (; next != parts.end() &&
           static_cast<std::size_t>(written) >= next->iov_len;
         ++next)
      written -= static_cast<ssize_t>(next->iov_len);
    if (written > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + written;
      next->iov_len -= static_cast<std::size_t>(written);
    }
  }
  return true;
}

iovec part_of(std::string_view bytes) {
  return {const_cast<char*>(bytes.data()), bytes.size()};
}

std::optional<std::string> read_all(file_system& files, int fd, off_t size) {
  // One byte beyond the size takes the read that meets the end of the file.
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) return std::nullopt;
    const ssize_t got =
        files.pread(fd, text.data() + filled, text.size() - filled,
                    static_cast<off_t>(filled));
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  return text;
}
