#include "util/file_reads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>

namespace fs = std::filesystem;

bool files::isFileSameSize(const fs::path& a, const fs::path& b) {
  if (!fs::exists(a) || !fs::exists(b)) return false;
  std::error_code ecA;
  std::error_code ecB;
  const auto sizeA = fs::file_size(a, ecA);
  const auto sizeB = fs::file_size(b, ecB);
  return !ecA && !ecB && sizeA == sizeB;
}

bool files::readBinaryFile(const FileHandle& file, ByteBuffer& bytes) {
  struct stat status = {};
  if (!file || ::fstat(file.get(), &status) != 0) return false;
  // Room for one byte more than the reported size: the read that finds the
  // end then needs no growth first.
  bytes.clear();
  bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t held = 0;
  for (;;) {
    if (held == bytes.size()) bytes.resize(2 * bytes.size());  // the file grew while it was read
    // From the start, wherever an earlier read of this handle stopped.
    const ssize_t got =
        ::pread(file.get(), bytes.data() + held, bytes.size() - held, static_cast<off_t>(held));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    held += static_cast<std::size_t>(got);
  }
  bytes.resize(held);
  return true;
}
