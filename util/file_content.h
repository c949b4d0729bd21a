#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "util/byte_buffer.h"
#include "util/file_handle.h"
#include "util/file_key.h"

class MultiReplacer;

// What a rewrite made of a file's content.
enum class RewriteResult {
  kUnchanged,   // no rule occurs in it: the bytes written are the file's own
  kChanged,     // the rules replaced something
  kIncomplete,  // what was written is not the whole file with the rules applied:
                // the file changed or could not be read meanwhile, or a write failed
};

// One file's content, rewritten by the rules into another file window by
// window, so that a file of any size takes bounded memory. Where the storage
// allows, the file is mapped privately: the rules write into the map, pages
// they leave alone are written out from the page cache's own, and pages are
// let go behind the last window. Once the writes could touch most pages of a
// window, its bytes are copied into a buffer instead, which then serves the
// rest of the file. Where the storage cannot map the file, it is read into
// that buffer. The bytes are read only inside rewrite(), and the map only
// under a BusErrorGuard: a page lost (the file shrank, or the storage failed)
// reads as zeros and makes the rewrite incomplete, instead of ending the
// process with SIGBUS.
class FileContent {
 public:
  // Bytes handed to the rules at a time; a file no larger is one window. A
  // target dense with hits holds about one window beyond its pages in the
  // page cache; windows of 8 MiB were no faster in whole runs.
  static constexpr std::size_t kWindow = std::size_t{1} << 20;

  // `window` other than kWindow is for tests.
  explicit FileContent(std::size_t window = kWindow) : window_(window) {}
  ~FileContent();
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;

  // Takes the open file (its position does not matter) in place of the one
  // before: what is rewritten is the file the caller opened, even if another
  // has taken its path since. It must stay open until the next load. False,
  // with nothing loaded, when it is not open or cannot be examined.
  bool load(const FileHandle& file);
  // The same for the file at `file`, opened here.
  bool load(const std::filesystem::path& file);

  // The permissions of the file loaded.
  std::filesystem::perms permissions() const { return permissions_; }
  // The key of the file loaded, as it was when loaded: a rewrite that
  // completes read the bytes of the file with this key.
  const FileKey& key() const { return key_; }

  // Where the content goes: its bytes in order, a piece at a time. False
  // when they could not be written.
  using Write = std::function<bool(std::span<const char>)>;
  enum class Output {
    kEveryByte,      // every byte is written
    kOnlyIfChanged,  // nothing is written unless a rule replaces something
  };

  // Writes the loaded content with `replacer`'s pairs applied. With
  // kOnlyIfChanged, the bytes before the first change are read again from
  // the file and written once it comes. Rewrites on several threads, each
  // with its own FileContent and replacer, may run at once, each over its
  // own map (see BusErrorGuard for how many).
  RewriteResult rewrite(MultiReplacer& replacer, Output output, const Write& write);

 private:
  struct Pass;
  void release();
  bool handIn(Pass& pass);
  bool handOut(Pass& pass, std::size_t final);
  bool writeAgain(std::size_t size, const Write& write);
  void letGo(Pass& pass, std::size_t upTo);

  std::size_t window_;
  FileHandle opened_;  // the file loaded by its path
  int fd_ = -1;        // the file loaded
  std::uintmax_t size_ = 0;
  FileKey key_;
  std::filesystem::perms permissions_ = std::filesystem::perms::none;
  char* map_ = nullptr;  // the whole file, privately, or none
  ByteBuffer buffer_;    // read windows, or a window copied out of the map
};
