#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <functional>
#include <span>

#include "util/byte_buffer.h"
#include "util/file_handle.h"

// The whole content of one file, loaded to be changed in memory and written
// out elsewhere. Where the storage allows, it is a private map of the file:
// changes stay in this process, and pages that nothing changes are read where
// the page cache holds them instead of being copied into a buffer first.
// Elsewhere the file is read into a buffer that the next load reuses.
class FileContent {
 public:
  FileContent() = default;
  ~FileContent();
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;

  // Loads `file` in place of what was loaded before. False, with nothing
  // loaded, when the file cannot be opened or read.
  bool load(const std::filesystem::path& file);
  // The same for a file already open (its position does not matter): what
  // is loaded is then the file the caller opened, even if another has taken
  // its path since.
  bool load(FileHandle file);

  std::span<char> bytes() { return bytes_; }

  // The permissions of the file loaded.
  std::filesystem::perms permissions() const { return permissions_; }

  // Readies the bytes for `writes` writes, inside edit before the first, and
  // returns them; bytes() then returns the same. The first write to each page
  // of a map costs a fault and a new page holding a copy; once the writes
  // could touch most pages, the bytes are instead copied into the buffer that
  // every load reuses, and the map's pages are let go as they are copied.
  std::span<char> prepareWrites(std::size_t writes);

  // Runs `work` over the bytes and tells whether the work saw the file's
  // bytes as they were loaded, from first to last. A map shows the file as it
  // stands, so this is false when the file was changed (its size or its
  // modification time differ) between the load and the work's end, and when
  // pages of the map could not be read (the file shrank, or the storage
  // failed): those read as zeros instead of ending the process with SIGBUS.
  // The work's exceptions pass through. One edit at a time.
  bool edit(const std::function<void(std::span<char>)>& work);

 private:
  void release();

  // The largest buffer kept from one load to the next.
  static constexpr std::size_t kKeptBuffer = std::size_t{8} << 20;

  FileHandle file_;  // open while the file is mapped, to tell whether it changes
  std::timespec modified_ = {};
  std::filesystem::perms permissions_ = std::filesystem::perms::none;
  void* map_ = nullptr;
  std::span<char> bytes_;
  ByteBuffer buffer_;
};
