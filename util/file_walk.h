#pragma once

#include <filesystem>
#include <vector>

// The folder walk that finds the files to work on: FileUtils::findFilesRecursive,
// declared with the other file operations in file_utils.h and defined in
// file_walk.cpp.

// What findFilesRecursive found, and whether it could look.
struct FoundFiles {
  std::vector<std::filesystem::path> files;
  // Why the root folder could not be opened (an errno value) although
  // something may stand at its path: access refused, an I/O error. 0 when it
  // was listed, and when nothing stands there or it is no folder: a missing
  // folder holds no files, and that is all its caller needs to know.
  int rootError = 0;
};
