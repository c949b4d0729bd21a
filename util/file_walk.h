#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "util/file_key.h"

// The folder walk that finds the files to work on: FileUtils::findFilesRecursive,
// declared with the other file operations in file_utils.h and defined in
// file_walk.cpp.

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
};

// Whether findFilesRecursive takes each file's key as it finds it.
enum class FileKeys { kNone, kTaken };
