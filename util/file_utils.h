#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "util/byte_buffer.h"

// What a content test found out about a file.
enum class ContainsResult {
  kFound,       // the pattern occurs in the file
  kNotFound,    // the whole file was read and the pattern does not occur
  kUnreadable,  // the file could not be opened or read to its end
};

// What findFilesRecursive found, and whether it could look.
struct FoundFiles {
  std::vector<std::filesystem::path> files;
  // Why the root folder could not be opened (an errno value) although
  // something may stand at its path: access refused, an I/O error. 0 when it
  // was listed, and when nothing stands there or it is no folder: a missing
  // folder holds no files, and that is all its caller needs to know.
  int rootError = 0;
};

// An open file descriptor, closed with the object; invalid when the file
// could not be opened.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept;

  // Opens `file` to be read.
  static FileHandle openForReading(const std::filesystem::path& file);

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
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

  // Whether every byte reached the temporary file.
  bool written() const { return written_; }
  // Renames the temporary file over the file, keeping the permissions the
  // file had. True only when every byte was written and the rename
  // succeeded; the temporary file is gone either way.
  bool commit();

 private:
  std::filesystem::path file_;
  std::filesystem::path temporary_;
  bool written_ = false;
};

// Stateless file and folder operations. None of them prints; each reports its
// outcome through its result. Writes and copies are atomic: the destination
// holds either its old bytes or the complete new ones, never a mixture.
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

  // Bytes that containsBytes reads at a time from a file it does not map
  // (after the first piece, which also holds pattern-size-minus-one bytes
  // more): large enough that each read is one cheap system call, small enough
  // to stay in cache while it is searched.
  static constexpr std::size_t kContentReadPiece = std::size_t{256} << 10;

  // Files of at least this many bytes are searched through memory maps of
  // kContentMapWindow bytes at a time instead of being read: the search then
  // runs over the cached pages themselves, with no copy into a buffer. Below
  // it, one read() costs less than making and removing a map.
  static constexpr std::size_t kContentMapFrom = std::size_t{64} << 10;
  static constexpr std::size_t kContentMapWindow = std::size_t{4} << 20;

  // Whether `pattern` occurs in the file's bytes. Maps or reads the file in
  // bounded windows or pieces and stops at the first occurrence, so memory use
  // does not depend on the file's size. A file that shrinks while it is
  // searched is reported unreadable. An empty pattern is never found. One
  // call at a time, and none inside FileContent::edit: the guard against such
  // a file is shared by the process.
  // When the file is searched through maps and `wasInMemory` is given, it is
  // set to whether most of the file's first pages were in the page cache
  // before the search: a cheap sign of whether the files around it are.
  static ContainsResult containsBytes(const std::filesystem::path& file, std::string_view pattern,
                                      bool* wasInMemory = nullptr);
  // The same for a file already open (and not read from yet); unreadable
  // when `file` is invalid.
  static ContainsResult containsBytes(const FileHandle& file, std::string_view pattern,
                                      bool* wasInMemory = nullptr);

  // Whether asking the storage under `dir` to read ahead can pay: not on a
  // FUSE file system (Android's shared storage from Android 11 on), where the
  // requests queue in the same user-space daemon as the reads they should
  // overlap with (measured there: 5 to 10 % slower, not faster).
  static bool readAheadPays(const std::filesystem::path& dir);

  // Asks the system to start reading the whole open file into the page cache
  // and returns at once, so that the storage works while the caller does
  // something else. Returns the file's size, 0 on any failure. The caller
  // keeps the file open until it reads it: some storages (FUSE without a
  // kept cache) drop a file's cached pages when it is opened again.
  static std::uintmax_t readAhead(const FileHandle& file);

  // Reads the whole content of the open file, from its start wherever its
  // position stands, into `bytes`, replacing what it held but reusing its
  // storage: reading many files in turn then allocates (and has the system
  // clear) memory for the largest one only, not once per file. The file is
  // read to its end whatever size it reported, so one that grows meanwhile is
  // never cut short. False, with `bytes` unspecified, when the file is not
  // open or cannot be read completely.
  static bool readBinaryFile(const FileHandle& file, ByteBuffer& bytes);

  // Replaces the content of `file` with `bytes` through a temporary file in the
  // same folder that is renamed over it. True only when every byte reached the
  // temporary file and the rename succeeded; on failure the file keeps its old
  // bytes and no temporary file is left. Missing folders are not created.
  static bool writeBinaryFile(const std::filesystem::path& file, std::span<const char> bytes);

  // Makes `bytes` the content of a copy of `from` at `to`: what copyFile does,
  // folders, permissions and atomic replacement alike, but with bytes the
  // caller already holds (the source's, possibly changed) instead of reading
  // the source again. False on any failure, `to` then left as it was.
  static bool writeCopy(const std::filesystem::path& from, const std::filesystem::path& to,
                        std::span<const char> bytes);

  // The size of the system's memory pages, for work over maps.
  static std::size_t pageSize();

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
