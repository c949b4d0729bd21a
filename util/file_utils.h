#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "util/byte_buffer.h"
#include "util/file_handle.h"

// What findFilesRecursive found, and whether it could look.
struct FoundFiles {
  std::vector<std::filesystem::path> files;
  // Why the root folder could not be opened (an errno value) although
  // something may stand at its path: access refused, an I/O error. 0 when it
  // was listed, and when nothing stands there or it is no folder: a missing
  // folder holds no files, and that is all its caller needs to know.
  int rootError = 0;
};

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

// Stateless file and folder operations. None of them prints; each reports its
// outcome through its result. Writes and copies are atomic: the destination
// holds either its old bytes or the complete new ones, never a mixture; a new
// file is complete or absent.
class FileUtils {
 public:
  FileUtils() = delete;

  // Regular files (symbolic links followed) at any depth below `root` whose
  // extension (last dot onwards, dot included; empty for "x" and ".pak") equals
  // `extension` byte for byte. Depth-first pre-order in the order the system
  // lists each folder; never sorted. Links to folders are not descended into,
  // and a subfolder that cannot be opened is skipped. No files when `root` is
  // missing or not a folder, and none, with the reason, when it cannot be
  // opened.
  static FoundFiles findFilesRecursive(const std::filesystem::path& root,
                                       std::string_view extension);

  // True when both paths exist and have the same size in bytes. An error while
  // testing existence (other than absence) is thrown; one while reading the
  // sizes gives false.
  static bool isFileSameSize(const std::filesystem::path& a, const std::filesystem::path& b);

  // Copies `from` to `to`, creating the destination's folders and replacing an
  // existing destination atomically. False on any failure (missing source,
  // same file, full storage, ...), in which case `to` is left as it was.
  static bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to);

  // Reads the whole content of the open file, from its start wherever its
  // position stands, into `bytes`, replacing what it held but reusing its
  // storage: reading many files in turn then allocates (and has the system
  // clear) memory for the largest one only, not once per file. The file is
  // read to its end whatever size it reported, so one that grows meanwhile is
  // never cut short. False, with `bytes` unspecified, when the file is not
  // open or cannot be read completely.
  static bool readBinaryFile(const FileHandle& file, ByteBuffer& bytes);

  // Makes a new file `to`, and its missing folders, holding `bytes`, with the
  // permissions `mode`. The file is created exclusively: whatever already
  // stands at `to` is never replaced or written through, and the call fails.
  // True only when every byte was written and the file closed without error;
  // on any failure the new file is removed, so it is complete or absent.
  // Without the temporary file and rename that replacing a file needs, this
  // is for folders that hold only what this run made.
  static bool writeNewFile(const std::filesystem::path& to, std::span<const char> bytes,
                           std::filesystem::perms mode);

  // The same with the bytes of the open file `from`, read from its start
  // wherever its position stands, and its permissions.
  static bool copyToNewFile(const FileHandle& from, const std::filesystem::path& to);

  // Makes `dir` with all missing parents. True when something already stands
  // at the path or the folder was made; false on any error, which the second
  // form also hands back.
  static bool createDirectories(const std::filesystem::path& dir);
  static bool createDirectories(const std::filesystem::path& dir, std::error_code& error);

  // Removes whatever stands at `path`, with everything below it. True when
  // nothing is left (also when nothing was there); false on any error, in
  // which case entries not yet reached remain.
  static bool removeDirectory(const std::filesystem::path& path);
};
