#pragma once

#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

#include "util/byte_buffer.h"
#include "util/file_handle.h"
#include "util/file_walk.h"
#include "util/file_writes.h"

// Stateless file and folder operations. None of them prints; each reports its
// outcome through its result. Writes and copies are atomic: the destination
// holds either its old bytes or the complete new ones, never a mixture; a new
// file is complete or absent. A class is declared in one place, so all of
// them are declared here; the folder walk is defined in file_walk.cpp and the
// writes and copies in file_writes.cpp, whose headers hold the types that go
// with them (FoundFiles, StagedWrite) and are included here.
class FileUtils {
 public:
  FileUtils() = delete;

  // The folder walk (file_walk.cpp).

  // Regular files (symbolic links followed) at any depth below `root` whose
  // extension (last dot onwards, dot included; empty for "x" and ".pak") equals
  // `extension` byte for byte. Depth-first pre-order in the order the system
  // lists each folder; never sorted. Links to folders are not descended into,
  // and a subfolder that cannot be opened is skipped. No files when `root` is
  // missing or not a folder, and none, with the reason, when it cannot be
  // opened. With FileKeys::kTaken, each file's key is taken as it is found.
  static FoundFiles findFilesRecursive(const std::filesystem::path& root,
                                       std::string_view extension,
                                       FileKeys keys = FileKeys::kNone);

  // Writes and copies (file_writes.cpp).

  // Copies `from` to `to`, creating the destination's folders and replacing an
  // existing destination atomically; the copy has the source's permissions.
  // False on any failure (missing source, same file, full storage, ...), in
  // which case `to` is left as it was.
  static bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to);

  // Makes `to`, and its missing folders, with the permissions `mode` and the
  // bytes `fill` writes, through a temporary file beside it renamed over
  // whatever file stood there. True only when every byte was written and the
  // rename succeeded; otherwise `to` is left as it was.
  static bool replaceFile(const std::filesystem::path& to, std::filesystem::perms mode,
                          const FileFill& fill);

  // Makes a new file `to`, and its missing folders, with the permissions
  // `mode` and the bytes `fill` writes. The file is created exclusively:
  // whatever already stands at `to` is never replaced or written through, and
  // the call fails. True only when every byte was written and the file closed
  // without error; on any failure the new file is removed, so it is complete
  // or absent. Without the temporary file and rename that replacing a file
  // needs, this is for folders that hold only what this process made.
  static bool writeNewFile(const std::filesystem::path& to, std::filesystem::perms mode,
                           const FileFill& fill);

  // Fills for the two above: all of `bytes`; every byte of the open file
  // `from` from its start, wherever its position stands (`from` must outlive
  // the fill).
  static bool writeAll(int fd, std::span<const char> bytes);
  static FileFill copyOf(const FileHandle& from);
  // The permissions of the open file; rw-r--r-- when they cannot be read.
  static std::filesystem::perms permissionsOf(const FileHandle& file);

  // Sizes, reads and folders.

  // True when both paths exist and have the same size in bytes. An error while
  // testing existence (other than absence) is thrown; one while reading the
  // sizes gives false.
  static bool isFileSameSize(const std::filesystem::path& a, const std::filesystem::path& b);

  // Reads the whole content of the open file, from its start wherever its
  // position stands, into `bytes`, replacing what it held but reusing its
  // storage: reading many files in turn then allocates (and has the system
  // clear) memory for the largest one only, not once per file. The file is
  // read to its end whatever size it reported, so one that grows meanwhile is
  // never cut short. False, with `bytes` unspecified, when the file is not
  // open or cannot be read completely.
  static bool readBinaryFile(const FileHandle& file, ByteBuffer& bytes);

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
