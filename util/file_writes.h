#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

#include "util/file_handle.h"

// Writes and copies. A file that is replaced is first filled under a
// temporary name beside it and then renamed over it, so it holds either its
// old bytes or the complete new ones, never a mixture; a new file is created
// exclusively and removed when it cannot be completed, so it is complete or
// absent. None of these prints; each reports its outcome through its result.

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

namespace files {

// Copies `from` to `to`, creating the destination's folders and replacing an
// existing destination atomically; the copy has the source's permissions.
// False on any failure (missing source, same file, full storage, ...), in
// which case `to` is left as it was.
bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes `to`, and its missing folders, with the permissions `mode` and the
// bytes `fill` writes, through a temporary file beside it renamed over
// whatever file stood there. True only when every byte was written and the
// rename succeeded; otherwise `to` is left as it was.
bool replaceFile(const std::filesystem::path& to, std::filesystem::perms mode,
                 const FileFill& fill);

// Makes a new file `to`, and its missing folders, with the permissions
// `mode` and the bytes `fill` writes. The file is created exclusively:
// whatever already stands at `to` is never replaced or written through, and
// the call fails. True only when every byte was written and the file closed
// without error; on any failure the new file is removed, so it is complete
// or absent. Without the temporary file and rename that replacing a file
// needs, this is for folders that hold only what this process made.
bool writeNewFile(const std::filesystem::path& to, std::filesystem::perms mode,
                  const FileFill& fill);

// Fills for the two above: all of `bytes`; every byte of the open file
// `from` from its start, wherever its position stands (`from` must outlive
// the fill).
bool writeAll(int fd, std::span<const char> bytes);
FileFill copyOf(const FileHandle& from);
// The permissions of the open file; rw-r--r-- when they cannot be read.
std::filesystem::perms permissionsOf(const FileHandle& file);

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

}  // namespace files
