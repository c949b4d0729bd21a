#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The mounts of this process's mount namespace, as the kernel lists them in
// /proc/self/mountinfo: one line a mount, its fields split by spaces, the
// mount ID first, the mount point fifth, and the file-system type right
// after a lone "-", the source after that. Space, tab, newline and backslash in a path are written
// as a backslash and three octal digits.
namespace mounttable {

struct Mount {
  std::uint64_t id = 0;
  std::string device;  // the file system's device, "major:minor"
  std::string root;    // the folder of that file system the mount shows, unescaped
  std::string point;   // where it is mounted, unescaped
  std::string type;    // FUSE's with its subtype where it has one: "fuse.sshfs"
  std::string source;  // what is mounted: a device, a folder, or a daemon's name
};

// The mounts listed in `table`, mountinfo's text, in its order: a later one
// at the same point hides an earlier. Lines of fewer than five fields are
// passed by.
std::vector<Mount> parse(std::string_view table);

// This process's table; empty where it cannot be read. Read once, and again
// only after the kernel said that a mount changed (the file is pollable for
// that), however often it is asked for: on a phone it lists hundreds of
// mounts, and a run asks many times.
std::string read();

// read(), and read again where it does not list `path` (absolute, resolved)
// on the mount the kernel holds it on, by the mount's ID, or lists a mount
// point at `path` where nothing stands any more: a folder renamed
// above a mount point moves the mount with no word from the kernel, and the
// table kept would still list it where it was. For a caller that decides
// by what the table says of `path`.
std::string readFor(const std::filesystem::path& path);

// The mount that holds `path` (absolute, every link resolved): the one whose
// point is the longest leading part of it, whole names only, the latest of
// those at one point. None where no mount holds it.
std::optional<Mount> holding(const std::filesystem::path& path, std::string_view table);

// Whether `folder` (absolute, resolved) is listed as a mount point.
bool listed(const std::filesystem::path& folder, std::string_view table);

}  // namespace mounttable
