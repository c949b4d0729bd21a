// Times four ways of making the rewritten copy of each target file, alone,
// without the search that selects the targets:
//   map     a private map of the source, the occurrences overwritten in it
//           (a copy-on-write fault for each page written), and the copy
//           written from the map in one write() (how uexpmod copies);
//   staged  the same, written to a temporary file beside the copy that is
//           given the source's mode and renamed into place, with the
//           checks that replacing a file needs (the copy's folder, whether
//           source and copy are one file, the copy's old mode);
//   kernel  a read-only map of the source scanned for the occurrences, the
//           copy made by copy_file_range, then each occurrence patched with
//           pwrite();
//   read    the source read into one reused buffer, changed there, and
//           written out.
// Every copy is a new file, created exclusively, in an emptied folder. The
// copies of all four are compared byte for byte.
//
//   find TREE -name '*.uexp' | xargs grep -l MARKER > targets.txt
//   c++ -O2 -std=c++20 bench/copy_paths.cpp -o /tmp/copy_paths
//   /tmp/copy_paths OUTDIR SEARCH REPLACEMENT ROUNDS < targets.txt
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::size_t> occurrences(const char* data, std::size_t size, const std::string& s) {
  std::vector<std::size_t> at;
  for (std::size_t from = 0; from + s.size() <= size;) {
    const void* hit = memmem(data + from, size - from, s.data(), s.size());
    if (hit == nullptr) break;
    at.push_back(static_cast<std::size_t>(static_cast<const char*>(hit) - data));
    from = at.back() + s.size();
  }
  return at;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

int create(const fs::path& to) {
  fs::create_directories(to.parent_path());
  return open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

bool viaMap(const fs::path& from, const fs::path& to, const std::string& s, const std::string& r,
            bool staged) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st = {};
  fstat(in, &st);
  const auto size = static_cast<std::size_t>(st.st_size);
  auto* map = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, in, 0));
  for (std::size_t at : occurrences(map, size, s)) std::memcpy(map + at, r.data(), r.size());
  bool ok = true;
  if (staged) {
    std::error_code ec;
    static_cast<void>(fs::exists(to.parent_path(), ec));
    static_cast<void>(fs::equivalent(from, to, ec));
    const fs::path tmp = to.parent_path() / ("." + to.filename().string() + ".tmp");
    const int out = create(tmp);
    ok = writeAll(out, map, size) && close(out) == 0;
    static_cast<void>(fs::status(to, ec));
    fs::permissions(tmp, static_cast<fs::perms>(st.st_mode & 07777), ec);
    fs::rename(tmp, to, ec);
    ok = ok && !ec;
  } else {
    const int out = create(to);
    ok = writeAll(out, map, size) && close(out) == 0;
  }
  munmap(map, size);
  close(in);
  return ok;
}

bool viaKernel(const fs::path& from, const fs::path& to, const std::string& s,
               const std::string& r) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st = {};
  fstat(in, &st);
  const auto size = static_cast<std::size_t>(st.st_size);
  auto* map = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in, 0));
  const std::vector<std::size_t> at = occurrences(map, size, s);
  munmap(map, size);
  const int out = create(to);
  bool ok = true;
  for (off_t done = 0; ok && static_cast<std::size_t>(done) < size;) {
    off_t inAt = done;
    const ssize_t got = copy_file_range(in, &inAt, out, nullptr, size - done, 0);
    ok = got > 0;
    done += got;
  }
  for (std::size_t offset : at) {
    ok = ok && pwrite(out, r.data(), r.size(), static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(r.size());
  }
  ok = close(out) == 0 && ok;
  close(in);
  return ok;
}

bool viaRead(const fs::path& from, const fs::path& to, const std::string& s, const std::string& r,
             std::vector<char>& buffer) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st = {};
  fstat(in, &st);
  const auto size = static_cast<std::size_t>(st.st_size);
  if (buffer.size() < size) buffer.resize(size);
  std::size_t held = 0;
  while (held < size) {
    const ssize_t got = pread(in, buffer.data() + held, size - held, static_cast<off_t>(held));
    if (got <= 0) break;
    held += static_cast<std::size_t>(got);
  }
  close(in);
  for (std::size_t at : occurrences(buffer.data(), held, s)) {
    std::memcpy(buffer.data() + at, r.data(), r.size());
  }
  const int out = create(to);
  return writeAll(out, buffer.data(), held) && close(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: copy_paths OUTDIR SEARCH REPLACEMENT ROUNDS < targets\n";
    return 2;
  }
  const fs::path out = argv[1];
  const std::string s = argv[2];
  const std::string r = argv[3];
  const int rounds = std::stoi(argv[4]);
  std::vector<fs::path> targets;
  for (std::string line; std::getline(std::cin, line);) targets.emplace_back(line);
  const char* names[] = {"map", "staged", "kernel", "read"};
  constexpr int kMethods = 4;
  std::vector<double> times[kMethods];
  std::vector<char> buffer;
  for (int round = 0; round < rounds; ++round) {
    for (int method = 0; method < kMethods; ++method) {
      const fs::path dir = out / names[method];
      fs::remove_all(dir);
      sync();
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < targets.size(); ++i) {
        const fs::path to = dir / std::to_string(i) / targets[i].filename();
        const bool ok = method <= 1   ? viaMap(targets[i], to, s, r, method == 1)
                        : method == 2 ? viaKernel(targets[i], to, s, r)
                                      : viaRead(targets[i], to, s, r, buffer);
        if (!ok) {
          std::cerr << names[method] << " failed on " << targets[i] << "\n";
          return 1;
        }
      }
      times[method].push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  for (int method = 1; method < kMethods; ++method) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const fs::path a = out / names[0] / std::to_string(i) / targets[i].filename();
      const fs::path b = out / names[method] / std::to_string(i) / targets[i].filename();
      if (std::system(("cmp -s '" + a.string() + "' '" + b.string() + "'").c_str()) != 0) {
        std::cerr << names[method] << " differs on " << targets[i] << "\n";
        return 1;
      }
    }
  }
  for (int method = 0; method < kMethods; ++method) {
    std::sort(times[method].begin(), times[method].end());
    std::printf("%-7s median %7.2f ms for %zu copies\n", names[method],
                times[method][times[method].size() / 2], targets.size());
  }
}
