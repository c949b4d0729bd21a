#include "util/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace fs = std::filesystem;

namespace mounttable {

namespace {

std::string unescaped(std::string_view escaped) {
  std::string text;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\\' && i + 3 < escaped.size()) {
      const int value =
          (escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 + (escaped[i + 3] - '0');
      text += static_cast<char>(value);
      i += 3;
    } else {
      text += escaped[i];
    }
  }
  return text;
}

// The field of `line` that starts at `start`, up to the next space or the end.
std::string_view fieldAt(std::string_view line, std::size_t start) {
  const std::size_t end = line.find(' ', start);
  return line.substr(start, end == std::string_view::npos ? end : end - start);
}

// Whether `point` is `path` or a folder above it.
bool holds(const std::string& point, const std::string& path) {
  if (path.compare(0, point.size(), point) != 0) return false;
  return path.size() == point.size() || point.ends_with('/') || path[point.size()] == '/';
}

}  // namespace

std::vector<Mount> parse(std::string_view table) {
  std::vector<Mount> mounts;
  while (!table.empty()) {
    const std::size_t newline = table.find('\n');
    const std::string_view line = table.substr(0, newline);
    table = newline == std::string_view::npos ? std::string_view() : table.substr(newline + 1);
    std::size_t start = 0;
    for (int field = 0; field < 4 && start != std::string_view::npos; ++field) {
      start = line.find(' ', start);
      if (start != std::string_view::npos) ++start;
    }
    if (start == std::string_view::npos) continue;
    Mount mount;
    for (const char c : fieldAt(line, 0)) {
      if (c < '0' || c > '9') break;
      mount.id = mount.id * 10 + static_cast<std::uint64_t>(c - '0');
    }
    const std::size_t deviceAt = line.find(' ', line.find(' ') + 1) + 1;
    mount.device = std::string(fieldAt(line, deviceAt));
    const std::size_t rootAt = line.find(' ', deviceAt) + 1;
    mount.root = unescaped(fieldAt(line, rootAt));
    const std::string_view point = fieldAt(line, start);
    mount.point = unescaped(point);
    const std::size_t separator = line.find(" - ", start + point.size());
    if (separator != std::string_view::npos) {
      const std::string_view type = fieldAt(line, separator + 3);
      mount.type = unescaped(type);
      const std::size_t source = separator + 3 + type.size() + 1;
      if (source < line.size()) mount.source = unescaped(fieldAt(line, source));
    }
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::string read() {
  static std::mutex guard;
  static int table = -1;  // held open for the process's life, so that poll can tell
  static std::string text;
  static ino_t space = 0;  // the mount namespace `table` lists, which unshare() can change
  const std::lock_guard<std::mutex> held(guard);
  struct stat ns = {};
  const ino_t now = ::stat("/proc/self/ns/mnt", &ns) == 0 ? ns.st_ino : 0;
  if (table >= 0 && (now == 0 || now != space)) {
    ::close(table);
    table = -1;
  }
  space = now;
  if (table >= 0) {
    struct pollfd changed = {table, POLLPRI, 0};
    int ready;
    while ((ready = ::poll(&changed, 1, 0)) < 0 && errno == EINTR) {
    }
    if (ready == 0) return text;
  } else {
    table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) return {};
  }
  text.clear();
  char piece[4096];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(table, piece, sizeof piece, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(piece, static_cast<std::size_t>(got));
    at += got;
  }
  return text;
}

std::optional<Mount> holding(const fs::path& path, std::string_view table) {
  std::optional<Mount> found;
  for (Mount& mount : parse(table)) {
    if (holds(mount.point, path.native()) &&
        (!found || mount.point.size() >= found->point.size())) {
      found = std::move(mount);
    }
  }
  return found;
}

bool listed(const fs::path& folder, std::string_view table) {
  for (const Mount& mount : parse(table)) {
    if (mount.point == folder.native()) return true;
  }
  return false;
}

}  // namespace mounttable
