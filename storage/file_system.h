// The file operations the picture store uses, behind one small interface, so
// that a test can run the store on a file system of its own (one that loses
// what was not synced, at any moment). The calls keep the meaning, arguments
// and results of the POSIX calls they are named after: -1 and errno on
// failure. Below the interface: what the store's units do with it alike (a
// descriptor that closes itself, whole writes and whole reads).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class file_system {
 public:
  virtual ~file_system() = default;

  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual int close(int fd) = 0;
  virtual ssize_t pread(int fd, void* buffer, std::size_t bytes,
                        off_t offset) = 0;
  virtual ssize_t pwritev(int fd, const iovec* parts, int count,
                          off_t offset) = 0;
  virtual int fstat(int fd, struct stat* status) = 0;
  virtual int stat(const char* path, struct stat* status) = 0;
  virtual int lstat(const char* path, struct stat* status) = 0;
  virtual int fdatasync(int fd) = 0;
  virtual int ftruncate(int fd, off_t size) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;
  virtual int mkdir(const char* path, mode_t mode) = 0;

  // The names in directory `path` ("." and ".." left out); nothing when it
  // cannot be read.
  virtual std::optional<std::vector<std::string>> names_in(
      const char* path) = 0;
  // Flushes the entries of directory `path` to disk; -1 on failure.
  virtual int sync_directory(const char* path) = 0;
  // Flushes everything written on the file system that holds `path`.
  virtual int sync_file_system(const char* path) = 0;

  struct space {
    std::uint64_t size;       // bytes in all
    std::uint64_t available;  // bytes an unprivileged writer may still use
  };
  // The size and free space of the file system that holds `path`.
  virtual std::optional<space> space_of(const char* path) = 0;

  // The file system of this machine.
  static file_system& posix();
};

// An open file descriptor of `files`, closed when it goes out of scope
// unless close() or release() came first.
class descriptor {
 public:
  descriptor(file_system& files, int fd) : files_(files), fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) files_.close(fd_);
  }
  descriptor(descriptor&& other) noexcept
      : files_(other.files_), fd_(std::exchange(other.fd_, -1)) {}
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes now; false when closing reported an error.
  bool close() { return files_.close(std::exchange(fd_, -1)) == 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  file_system& files_;
  int fd_;
};

// The bytes of `bytes` as one part of a vectored write.
iovec part_of(std::string_view bytes);

// Writes all of `parts` at `offset` of `fd`, continuing after partial
// writes (which move the parts on); false on failure. Allocates nothing.
bool write_all(file_system& files, int fd, std::span<iovec> parts,
               off_t offset);

// Everything `fd` holds, read in as few calls as its `size` in bytes allows;
// nothing when reading fails, or when the file has grown past `size`, which
// is all the memory its reader was given.
std::optional<std::string> read_all(file_system& files, int fd, off_t size);
