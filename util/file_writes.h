#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

// Writes and copies. A file that is replaced is first filled under a
// temporary name beside it and then renamed over it; a new file is created
// exclusively and removed when it cannot be completed. FileUtils::copyFile,
// FileUtils::replaceFile, FileUtils::writeNewFile and the helpers that fill
// files, declared with the other file operations in file_utils.h, are
// defined in file_writes.cpp.

// How the name of every temporary file that a write or copy makes ends.
inline constexpr std::string_view kTemporaryEnd = ".uexpmod.tmp";

// Whether `name` (a file name, no folder) is that of a temporary file that a
// write or copy makes, of this process or any other.
bool isTemporaryName(std::string_view name);

// Removes the temporary files that writes and copies left directly in
// `folder` (not below it): those of runs that were killed. A temporary file
// is named for its process, so a run removes only its own as it goes; this
// is for a caller that knows no other process writes into `folder`, one
// that holds a lock every writer there takes. How many were removed.
int removeLeftoverTemporaries(const std::filesystem::path& folder);

// Writes a file's bytes to the descriptor it is given. False when anything
// could not be read or written; one that throws fails the same way.
using FileFill = std::function<bool(int fd)>;

// New content for a file, written to a temporary file beside it and put in
// the file's place only by commit: until then the file keeps its old bytes.
// Content that is not committed is removed with the object.
class StagedWrite {
 public:
  // Starts the temporary file beside `file`, under a name of this process's
  // own. Missing folders are not created; nothing that stands beside the
  // file is touched.
  explicit StagedWrite(const std::filesystem::path& file);
  ~StagedWrite();
  StagedWrite(const StagedWrite&) = delete;
  StagedWrite& operator=(const StagedWrite&) = delete;

  // Appends `bytes`. False once anything could not be written.
  bool write(std::span<const char> bytes);

  // Gives the temporary file the permissions the file had, through its
  // descriptor, and renames it over the file. True only when every byte was
  // written, the file closed without error and the rename succeeded; the
  // temporary file is gone either way.
  bool commit();

 private:
  std::filesystem::path file_;
  std::filesystem::path temporary_;
  int fd_ = -1;  // open until commit, while every write has succeeded
};
