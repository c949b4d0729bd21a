#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "util/file_handle.h"

// An open folder read with getdents64 into a buffer its owner lends it:
// where opendir would also examine the descriptor and allocate a buffer for
// every folder, a tree of thousands of folders costs two calls less each.
// Closes the folder with the object.
class FolderListing {
 public:
  static constexpr std::size_t kBuffer = std::size_t{32} << 10;

  // `fd` is the open folder, `path` its path, `buffer` kBuffer bytes that
  // outlive the object.
  FolderListing(FileHandle fd, std::string path, char* buffer)
      : fd_(std::move(fd)), path_(std::move(path)), buffer_(buffer) {}

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Why the listing broke off, as an errno value; 0 while it has not.
  int error() const { return error_; }

  // The next entry's name and type (a DT_ value), "." and ".." included, or
  // false at the listing's end. A listing that breaks off ends there: what
  // it gave stands, and error() says why.
  bool next(const char*& name, unsigned char& type) {
    if (at_ == held_) {
      const long got = ::syscall(SYS_getdents64, static_cast<long>(fd_.get()), buffer_, kBuffer);
      if (got < 0) error_ = errno;
      if (got <= 0) return false;
      held_ = static_cast<std::size_t>(got);
      at_ = 0;
    }
    at_ = entryAt(buffer_, at_, name, type);
    return true;
  }

  // Calls each(name, type) for every entry of the open folder `fd`, which
  // stays the caller's, "." and ".." included. False when the listing broke
  // off.
  template <typename Each>
  static bool forEach(int fd, char* buffer, Each&& each) {
    for (;;) {
      const long got = ::syscall(SYS_getdents64, static_cast<long>(fd), buffer, kBuffer);
      if (got == 0) return true;
      if (got < 0) return false;
      for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const char* name = nullptr;
        unsigned char type = 0;
        at = entryAt(buffer, at, name, type);
        each(name, type);
      }
    }
  }

 private:
  // The entry at `at` of a getdents64 buffer (struct linux_dirent64: inode,
  // offset, length, type, name); returns where the next one starts.
  static std::size_t entryAt(const char* buffer, std::size_t at, const char*& name,
                             unsigned char& type) {
    unsigned short length = 0;
    std::memcpy(&length, buffer + at + 16, sizeof length);
    type = static_cast<unsigned char>(buffer[at + 18]);
    name = buffer + at + 19;
    return at + length;
  }

  FileHandle fd_;
  std::string path_;
  char* buffer_;
  std::size_t held_ = 0;
  std::size_t at_ = 0;
  int error_ = 0;
};
