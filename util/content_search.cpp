#include "util/content_search.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "util/byte_finder.h"

namespace {

#ifndef RWF_NOWAIT
#define RWF_NOWAIT 0x00000008  // the kernel's flag, where the C library does not name it
#endif

// Reads what the page cache holds of up to `size` bytes of `fd` at `offset`,
// and nothing from the storage: the count read, which is short where the
// cache lacks a page (-1 with EAGAIN where it lacks the first); -1 with
// another errno where the kernel cannot tell (before Linux 4.14, or on a
// file system that has no such reads). preadv2 through syscall(): the C
// library has it only from API 33 on Android.
ssize_t readCached(int fd, char* into, std::size_t size, std::uintmax_t offset) {
#ifdef SYS_preadv2
  struct iovec piece = {into, size};
  return static_cast<ssize_t>(::syscall(SYS_preadv2, static_cast<long>(fd), &piece, 1L,
                                        static_cast<unsigned long>(offset), 0UL,
                                        static_cast<long>(RWF_NOWAIT)));
#else
  static_cast<void>(fd), static_cast<void>(into), static_cast<void>(size),
      static_cast<void>(offset);
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

ContentSearch::Result ContentSearch::search(const FileHandle& file, std::string_view pattern) {
  if (!file) return {ContainsResult::kUnreadable, std::nullopt};
  if (pattern.empty()) return {ContainsResult::kNotFound, std::nullopt};
  const ByteFinder finder(pattern);
  // The size the file reports: reads that end before it mean the file
  // shrank meanwhile, and its bytes were not all seen. A file may read longer
  // than it reported (one that grows, or one under /proc that reports 0).
  struct stat status = {};
  const bool regular = ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode);
  const std::uintmax_t size = regular ? static_cast<std::uintmax_t>(status.st_size) : 0;

  constexpr std::size_t kAlign = 64;
  const std::size_t overlap = finder.size() - 1;
  const std::size_t lead = (overlap + kAlign - 1) / kAlign * kAlign;
  const std::size_t piece = std::max(kReadPiece, finder.size());
  const std::size_t capacity = lead + piece;
  // One buffer a thread, kept between calls and never zero-filled: a scan of
  // thousands of files must not pay an allocation and a memset per file. The
  // kernel copies to an aligned destination markedly faster.
  thread_local std::unique_ptr<char[]> buffer;
  thread_local std::size_t bufferSize = 0;
  if (bufferSize < capacity + kAlign) {
    buffer.reset(new char[capacity + kAlign]);
    bufferSize = capacity + kAlign;
  }
  char* const base = reinterpret_cast<char*>(
      (reinterpret_cast<std::uintptr_t>(buffer.get()) + kAlign - 1) / kAlign * kAlign);
  char* const fill = base + lead;

  Result result{ContainsResult::kNotFound, std::nullopt};
  std::size_t kept = 0;  // bytes of the read before, just ahead of `fill`
  std::uintmax_t total = 0;
  for (bool first = true;; first = false) {
    ssize_t got = -1;
    if (first && regular) {
      // Whether the first piece is in memory, told by the read itself.
      got = readCached(file.get(), fill, piece, 0);
      const std::size_t wanted = static_cast<std::size_t>(std::min<std::uintmax_t>(piece, size));
      if (got >= 0 || errno == EAGAIN) {
        result.wasInMemory = got > 0 && static_cast<std::size_t>(got) * 2 >= wanted;
      }
      if (got == 0 && size > 0) got = -1;  // nothing cached yet: read it below
    }
    if (got < 0) {
      got = ::pread(file.get(), fill, piece, static_cast<off_t>(total));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return {ContainsResult::kUnreadable, result.wasInMemory};
    }
    if (got == 0) {
      result.contains = total < size ? ContainsResult::kUnreadable : ContainsResult::kNotFound;
      return result;
    }
    total += static_cast<std::size_t>(got);
    const std::size_t held = kept + static_cast<std::size_t>(got);
    if (finder.find(fill - kept, held, 0) != ByteFinder::kNotFound) {
      result.contains = ContainsResult::kFound;
      return result;
    }
    // The next search starts with the last pattern-size-minus-one bytes of
    // this one, so an occurrence that straddles two reads is still seen whole.
    const std::size_t keep = std::min(overlap, held);
    std::memmove(fill - keep, fill - kept + held - keep, keep);
    kept = keep;
  }
}
