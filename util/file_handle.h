#pragma once

#include <filesystem>
#include <utility>

// An open file descriptor, closed with the object; invalid when the file
// could not be opened.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept;

  // Opens `file` to be read.
  static FileHandle openForReading(const std::filesystem::path& file);

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};
