#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/file_key.h"

// The folder walk that finds the files to work on.

// What findFilesRecursive found, and whether it could look.
struct FoundFiles {
  // Each file's path, the root's followed by the names below it. Kept as
  // strings: a std::filesystem::path also holds each of its components
  // apart (libstdc++), some 600 bytes a file where a tree has 100,000.
  std::vector<std::string> files;
  // Each file's key, where the walk was asked for keys, in the order of
  // `files`; none for a file that could not be examined. Empty otherwise.
  std::vector<std::optional<FileKey>> keys;
  // Why the root folder could not be opened (an errno value) although
  // something may stand at its path: access refused, an I/O error. 0 when it
  // was listed, and when nothing stands there or it is no folder: a missing
  // folder holds no files, and that is all its caller needs to know.
  int rootError = 0;
  // The folders below the root (or the root, where its listing broke off)
  // whose files could not all be listed: one that could not be opened
  // (access refused, an I/O error) or whose listing broke off, with the
  // errno value, in the order met. A folder that vanished, or that something
  // else took the place of, during the walk is not one of them: it holds no
  // files any more. For a caller that must know the whole of a tree.
  struct Unlisted {
    std::string path;
    int error;
  };
  std::vector<Unlisted> unlisted;
};

// Whether findFilesRecursive takes each file's key as it finds it.
enum class FileKeys { kNone, kTaken };

namespace files {

// Regular files (symbolic links followed) at any depth below `root` whose
// extension (last dot onwards, dot included; empty for "x" and ".pak") equals
// `extension` byte for byte. Depth-first pre-order in the order the system
// lists each folder; never sorted. Links to folders are not descended into,
// and a subfolder that cannot be opened or listed is skipped and named in
// `unlisted`. No files when `root` is
// missing or not a folder, and none, with the reason, when it cannot be
// opened. With FileKeys::kTaken, each file's key is taken as it is found.
FoundFiles findFilesRecursive(const std::filesystem::path& root, std::string_view extension,
                              FileKeys keys = FileKeys::kNone);

}  // namespace files
