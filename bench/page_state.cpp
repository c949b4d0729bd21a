// Tells how the page cache holds the files named on standard input, one path
// a line: prints how many of their pages are cached, and how many of those
// sit in large folios (compound pages, per /proc/kpageflags; needs root).
// Only cached pages are mapped, so nothing is read from storage.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

int main() {
  const long page = sysconf(_SC_PAGESIZE);
  const int pagemap = open("/proc/self/pagemap", O_RDONLY);
  const int flags = open("/proc/kpageflags", O_RDONLY);
  if (pagemap < 0 || flags < 0) {
    perror("open /proc");
    return 1;
  }
  std::uint64_t cached = 0, large = 0;
  std::string path;
  while (std::getline(std::cin, path)) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
      if (fd >= 0) close(fd);
      continue;
    }
    const std::size_t size = st.st_size;
    auto* map = static_cast<volatile char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
    close(fd);
    if (map == MAP_FAILED) continue;
    madvise((void*)map, size, MADV_RANDOM);
    const std::size_t n = (size + page - 1) / page;
    std::vector<unsigned char> resident(n);
    mincore((void*)map, size, resident.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (!(resident[i] & 1)) continue;
      (void)map[i * page];  // maps the cached page; no read from storage
      std::uint64_t entry = 0, f = 0;
      const std::uintptr_t va = reinterpret_cast<std::uintptr_t>(map) + i * page;
      if (pread(pagemap, &entry, 8, (va / page) * 8) != 8 || !(entry >> 63)) continue;
      const std::uint64_t pfn = entry & ((1ULL << 55) - 1);
      if (pread(flags, &f, 8, pfn * 8) != 8) continue;
      ++cached;
      if (f & ((1ULL << 15) | (1ULL << 16))) ++large;
    }
    munmap((void*)map, size);
  }
  std::printf("%llu %llu\n", (unsigned long long)cached, (unsigned long long)large);
}
