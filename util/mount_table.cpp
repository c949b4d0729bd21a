#include "util/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

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

namespace {

// The table, read again where `again` says so, or where the kernel said a
// mount changed since it was last read.
std::string readTable(bool again) {
  static std::mutex guard;
  static int table = -1;  // held open for the process's life, so that poll can tell
  static std::string text;
  static ino_t space = 0;   // the mount namespace `table` lists, which unshare() can change
  static pid_t opener = 0;  // the process that opened `table`
  const std::lock_guard<std::mutex> held(guard);
  struct stat ns = {};
  const ino_t now = ::stat("/proc/self/ns/mnt", &ns) == 0 ? ns.st_ino : 0;
  // A forked child shares the parent's open file, and with it the notice of
  // a change: a poll here would take the notice from the parent. The child
  // opens its own.
  if (table >= 0 && (now == 0 || now != space || ::getpid() != opener)) {
    ::close(table);
    table = -1;
  }
  space = now;
  if (table >= 0) {
    if (!again) {
      struct pollfd changed = {table, POLLPRI, 0};
      int ready;
      while ((ready = ::poll(&changed, 1, 0)) < 0 && errno == EINTR) {
      }
      if (ready == 0) return text;
    }
  } else {
    table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) return {};
    opener = ::getpid();
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

// The ID of the mount the kernel holds `path` on, as its descriptor's
// fdinfo tells it; none where the path cannot be opened or the kernel does
// not tell.
std::optional<std::uint64_t> mountIdOf(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const std::string info = "/proc/self/fdinfo/" + std::to_string(fd);
  // The descriptor stays open until its fdinfo is read: that is made then.
  const int infoFd = ::open(info.c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[512];
  ssize_t got = -1;
  while (infoFd >= 0 && (got = ::read(infoFd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  if (infoFd >= 0) ::close(infoFd);
  ::close(fd);
  if (got <= 0) return std::nullopt;
  const std::string_view text(buffer, static_cast<std::size_t>(got));
  constexpr std::string_view kField = "mnt_id:";
  std::size_t at = text.find(kField);
  if (at == std::string_view::npos) return std::nullopt;
  at += kField.size();
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  std::optional<std::uint64_t> id;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    id = id.value_or(0) * 10 + static_cast<std::uint64_t>(text[at] - '0');
  }
  return id;
}

}  // namespace

std::string read() { return readTable(false); }

std::string readFor(const fs::path& path) {
  std::string text = readTable(false);
  const std::optional<Mount> found = holding(path, text);
  const std::optional<std::uint64_t> id = mountIdOf(path);
  if (id) return found && found->id == *id ? text : readTable(true);
  // Nothing to ask the kernel about where nothing stands: but a mount point
  // listed there has moved away.
  struct stat status = {};
  const bool gone = found && found->point == path.native() &&
                    ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
  return gone ? readTable(true) : text;
}

namespace {

// The mounts of `table`, parsed once for each text the table has had: a run
// asks about paths many times, and a phone lists hundreds of mounts.
std::shared_ptr<const std::vector<Mount>> parsedOnce(std::string_view table) {
  static std::mutex guard;
  static std::string text;
  static std::shared_ptr<const std::vector<Mount>> mounts;
  const std::lock_guard<std::mutex> held(guard);
  if (!mounts || table != text) {
    mounts = std::make_shared<const std::vector<Mount>>(parse(table));
    text.assign(table);
  }
  return mounts;
}

}  // namespace

std::optional<Mount> holding(const fs::path& path, std::string_view table) {
  const std::shared_ptr<const std::vector<Mount>> mounts = parsedOnce(table);
  const Mount* found = nullptr;
  for (const Mount& mount : *mounts) {
    if (holds(mount.point, path.native()) &&
        (found == nullptr || mount.point.size() >= found->point.size())) {
      found = &mount;
    }
  }
  if (found == nullptr) return std::nullopt;
  return *found;
}

bool listed(const fs::path& folder, std::string_view table) {
  for (const Mount& mount : *parsedOnce(table)) {
    if (mount.point == folder.native()) return true;
  }
  return false;
}

}  // namespace mounttable
