#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// What the tool's cache files share: numbers stored little-endian, a
// checksum that tells a file cut short or damaged from a whole one, reading
// a file whole, and writing one so that a reader finds the whole old file or
// the whole new one, never a part.
namespace cachefile {

// Stores `value` at `at` in `bytes` little-endian bytes; returns the end.
inline char* put(char* at, std::uint64_t value, std::size_t bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &value, bytes);  // the low bytes first
  } else {
    for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return at + bytes;
}

inline std::uint64_t get(const char* at, std::size_t bytes) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, at, bytes);
  } else {
    for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(at[i]);
  }
  return value;
}

// A 64-bit checksum, eight bytes at a time: no defence against a file made
// to pass.
std::uint64_t checksum(std::span<const char> bytes);

// A checksum taken a piece at a time, the length mixed in at the end (so
// not the same number as checksum() gives): every piece but the last must be
// a multiple of eight bytes long.
class Checksum {
 public:
  void add(std::span<const char> bytes);
  std::uint64_t value() const;

 private:
  std::uint64_t hash_ = 0x6a09e667f3bcc908ULL;
  std::uint64_t size_ = 0;
};

// The bytes of the regular file at `file`, opened without following a link
// or blocking (a pipe or a device put there reads as nothing); none when it
// is missing, unreadable or larger than `mostBytes`.
std::optional<std::string> readWhole(const std::filesystem::path& file, std::uintmax_t mostBytes);

// A file written a piece at a time through a temporary file beside it,
// made exclusively and renamed over it by commit(), with the folders it
// needs: a file written by two processes at once is one whole file or the
// other, and one whose writer stopped part way is as it was. `nowNs` tells
// a killed writer's temporary file, long left, from another's at work.
class NewFile {
 public:
  NewFile(const std::filesystem::path& file, std::int64_t nowNs);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // False once any write failed (or the temporary file could not be made).
  bool write(std::string_view bytes);
  // The bytes written so far.
  std::uint64_t size() const { return size_; }
  // Puts the file in place; false (the file as it was) when it could not be.
  bool commit();

 private:
  bool ours() const;
  void drop();  // closes and removes the temporary file, if it is still this one's

  std::filesystem::path file_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  std::uint64_t device_ = 0;  // the temporary file's
  std::uint64_t inode_ = 0;
  std::uint64_t size_ = 0;
};

// Writes `bytes` to `file` as NewFile does. False when it could not be
// written; the file is then as it was.
bool writeWhole(const std::filesystem::path& file, std::string_view bytes, std::int64_t nowNs);

// Reads `size` bytes at `offset` of the open file `fd` into `into`; false
// where fewer could be read.
bool readAt(int fd, std::uint64_t offset, char* into, std::size_t size);

// The file in `cacheFolder` that holds what is kept of `folder`: named from
// a hash of the folder's path, and `suffix`.
std::filesystem::path fileFor(const std::filesystem::path& cacheFolder, std::string_view folder,
                              std::string_view suffix);

}  // namespace cachefile
