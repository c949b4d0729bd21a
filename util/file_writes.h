#pragma once

#include <filesystem>
#include <span>

// Writes and copies. A file that is replaced is first filled under a
// temporary name beside it and then renamed over it; a new file is created
// exclusively and removed when it cannot be completed. FileUtils::copyFile,
// FileUtils::writeNewFile and FileUtils::copyToNewFile, declared with the
// other file operations in file_utils.h, are defined in file_writes.cpp.

// New content for a file, written to a temporary file beside it and put in
// the file's place only by commit: until then the file keeps its old bytes.
// Content that is not committed is removed with the object.
class StagedWrite {
 public:
  // Writes `bytes` beside `file`. Missing folders are not created.
  StagedWrite(const std::filesystem::path& file, std::span<const char> bytes);
  ~StagedWrite();
  StagedWrite(const StagedWrite&) = delete;
  StagedWrite& operator=(const StagedWrite&) = delete;

  // Renames the temporary file over the file, keeping the permissions the
  // file had. True only when every byte was written and the rename
  // succeeded; the temporary file is gone either way.
  bool commit();

 private:
  std::filesystem::path file_;
  std::filesystem::path temporary_;  // empty unless it holds every byte, not yet committed
};
