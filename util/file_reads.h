#pragma once

#include <filesystem>

#include "util/byte_buffer.h"
#include "util/file_handle.h"

// What a file holds, read without changing it: its size and its bytes.

namespace files {

// True when both paths exist and have the same size in bytes. An error while
// testing existence (other than absence) is thrown; one while reading the
// sizes gives false.
bool isFileSameSize(const std::filesystem::path& a, const std::filesystem::path& b);

// Reads the whole content of the open file, from its start wherever its
// position stands, into `bytes`, replacing what it held but reusing its
// storage: reading many files in turn then allocates (and has the system
// clear) memory for the largest one only, not once per file. The file is
// read to its end whatever size it reported, so one that grows meanwhile is
// never cut short. False, with `bytes` unspecified, when the file is not
// open or cannot be read completely.
bool readBinaryFile(const FileHandle& file, ByteBuffer& bytes);

}  // namespace files
