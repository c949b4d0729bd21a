#include "util/file_content.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "util/bus_error_guard.h"
#include "util/multi_replacer.h"
#include "util/page_size.h"

namespace fs = std::filesystem;

// Where a rewrite stands. Offsets count from the file's first byte.
struct FileContent::Pass {
  MultiReplacer& replacer;
  Output output;
  const Write& write;
  bool reading;              // the bytes from `done` on are in buffer_, not the map
  std::size_t done = 0;      // every byte before it is final and handed out
  std::size_t loaded = 0;    // every byte before it was handed to the rules
  std::size_t released = 0;  // the map's pages before it are let go
  std::size_t skipped = 0;   // final bytes not written while nothing changed
  bool atEnd = false;
};

FileContent::~FileContent() { release(); }

void FileContent::release() {
  if (map_ != nullptr) ::munmap(map_, static_cast<std::size_t>(size_));
  map_ = nullptr;
  opened_ = FileHandle();
  fd_ = -1;
  // A buffer grown for one file's long rule texts is not kept for the next.
  if (buffer_.capacity() > 2 * window_) ByteBuffer().swap(buffer_);
}

bool FileContent::load(const fs::path& file) {
  FileHandle opened = FileHandle::openForReading(file);
  if (!load(opened)) return false;
  opened_ = std::move(opened);
  return true;
}

bool FileContent::load(const FileHandle& opened) {
  release();
  struct stat status = {};
  if (!opened || ::fstat(opened.get(), &status) != 0) return false;
  size_ = static_cast<std::uintmax_t>(status.st_size);
  key_ = FileKey::of(status);
  permissions_ = static_cast<fs::perms>(status.st_mode) & fs::perms::mask;
  if (S_ISREG(status.st_mode) && size_ > 0) {
    void* const map = ::mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE, opened.get(), 0);
    if (map != MAP_FAILED) map_ = static_cast<char*>(map);
  }
  // Empty, not a regular file, or on storage that cannot map it: read.
  fd_ = opened.get();
  return true;
}

RewriteResult FileContent::rewrite(MultiReplacer& replacer, Output output, const Write& write) {
  if (fd_ < 0) return RewriteResult::kIncomplete;
  replacer.start();
  std::optional<BusErrorGuard> guard;
  if (map_ != nullptr) {
    guard.emplace(map_, static_cast<std::size_t>(size_));
    if (!guard->installed()) {
      // Every guard's slot is taken by other threads' rewrites: this file
      // is read instead, as on storage that cannot map it.
      guard.reset();
      ::munmap(map_, static_cast<std::size_t>(size_));
      map_ = nullptr;
    }
  }
  Pass pass{replacer, output, write, map_ == nullptr};
  // Once the writes could touch most of a mapped window's pages, the window
  // is copied into the buffer, a piece at a time so that the copy and the
  // map's pages are not both held whole, and the rest of the file is read
  // there: a page copied costs less than a fault and a fresh page for each
  // written, and a tenth of that many writes already touch a tenth of the
  // pages.
  const MultiReplacer::BeforeWrites toBuffer = [&](std::size_t writes) {
    const std::span<char> bytes(map_ + pass.done, pass.loaded - pass.done);
    if (pass.reading || writes < bytes.size() / pageSize() + 1) return bytes;
    try {
      buffer_.resize(bytes.size());
    } catch (const std::bad_alloc&) {
      return bytes;  // the map's own pages are written then
    }
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      const std::size_t length = std::min(kPiece, bytes.size() - at);
      std::memcpy(buffer_.data() + at, bytes.data() + at, length);
      letGo(pass, pass.done + at + length);
    }
    pass.reading = true;
    return std::span<char>(buffer_.data(), bytes.size());
  };
  bool complete = true;
  while (complete) {
    if (!handIn(pass)) {
      complete = false;
      break;
    }
    const std::size_t final =
        pass.reading ? replacer.feed(std::span(buffer_.data(), pass.loaded - pass.done), pass.atEnd)
                     : replacer.feed(std::span(map_ + pass.done, pass.loaded - pass.done),
                                     pass.atEnd, toBuffer);
    complete = handOut(pass, final);
    if (pass.atEnd) break;
  }
  if (guard && guard->faulted()) complete = false;
  guard.reset();
  // A map shows the file as it stands, and reads see it as they go: the
  // bytes were the file's, as loaded, only if its size and times are the
  // same now. The status-change time moves with every write, and no tool
  // can set it back as one can the modification time.
  struct stat status = {};
  if (!complete || ::fstat(fd_, &status) != 0 || !(FileKey::of(status) == key_)) {
    return RewriteResult::kIncomplete;
  }
  return replacer.replaced() ? RewriteResult::kChanged : RewriteResult::kUnchanged;
}

// Hands the rules up to one window of bytes they have not seen.
bool FileContent::handIn(Pass& pass) {
  if (!pass.reading) {
    pass.loaded = static_cast<std::size_t>(
        std::min<std::uintmax_t>(size_, std::uintmax_t{pass.loaded} + window_));
    pass.atEnd = pass.loaded == size_;
    return true;
  }
  // The bytes left undecided stay at the buffer's start; reads go on to the
  // file's end, whatever size it had.
  const std::size_t held = pass.loaded - pass.done;
  try {
    buffer_.resize(held + window_);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t got = 0;
  while (got < window_) {
    const ssize_t n = ::pread(fd_, buffer_.data() + held + got, window_ - got,
                              static_cast<off_t>(pass.loaded + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      pass.atEnd = true;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  pass.loaded += got;
  return true;
}

// Writes the first `final` bytes of the current window, and moves on past them.
bool FileContent::handOut(Pass& pass, std::size_t final) {
  const char* const bytes = pass.reading ? buffer_.data() : map_ + pass.done;
  if (pass.output == Output::kOnlyIfChanged && !pass.replacer.replaced()) {
    pass.skipped += final;
  } else {
    // Before the first change every byte was the file's own.
    if (pass.skipped > 0 && !writeAgain(std::exchange(pass.skipped, 0), pass.write)) return false;
    if (final > 0 && !pass.write({bytes, final})) return false;
  }
  pass.done += final;
  if (pass.reading) {
    std::memmove(buffer_.data(), buffer_.data() + final, pass.loaded - pass.done);
  } else {
    letGo(pass, pass.done);
  }
  return true;
}

// Writes the file's first `size` bytes as they are, from the map where there
// is one, else read again a piece at a time.
bool FileContent::writeAgain(std::size_t size, const Write& write) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  const std::unique_ptr<char[]> piece(map_ == nullptr ? new (std::nothrow) char[kPiece] : nullptr);
  if (map_ == nullptr && !piece) return false;
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min(kPiece, size - at);
    if (map_ != nullptr) {
      if (!write({map_ + at, length})) return false;
      ::madvise(map_ + at, length / pageSize() * pageSize(), MADV_DONTNEED);
      at += length;
      continue;
    }
    const ssize_t got = ::pread(fd_, piece.get(), length, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !write({piece.get(), static_cast<std::size_t>(got)})) return false;
    at += static_cast<std::size_t>(got);
  }
  return true;
}

// Lets go of the map's whole pages before `upTo`: their bytes were handed out
// or copied, and the rules never come back to them.
void FileContent::letGo(Pass& pass, std::size_t upTo) {
  const std::size_t end = upTo / pageSize() * pageSize();
  if (end <= pass.released) return;
  ::madvise(map_ + pass.released, end - pass.released, MADV_DONTNEED);
  pass.released = end;
}
