#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

// Making and removing folders. Neither prints; each reports its outcome
// through its result.

namespace files {

// Makes `dir` with all missing parents. True when something already stands
// at the path or the folder was made; false on any error, which the second
// form also hands back.
bool createDirectories(const std::filesystem::path& dir);
bool createDirectories(const std::filesystem::path& dir, std::error_code& error);

// Removes whatever stands at `path`, with everything below it; a link
// standing there is removed, never followed. True when nothing is left (also
// when nothing was there); false on any error, in which case entries not yet
// reached remain.
bool removeDirectory(const std::filesystem::path& path);
// The same with the files below it removed by `threads` threads at once
// (the calling one lists the folders): storage that waits on each removal
// (a discard of the file's blocks, a round trip to a FUSE daemon) then has
// several in flight. One thread, or none that can be started, is the form
// above.
bool removeDirectory(const std::filesystem::path& path, std::size_t threads);

// Whether the folder at `inner` is the folder at `outer` or lies inside it,
// by the folders themselves (device and inode), not by the text of their
// paths: a link, a second path or a bind mount to the same folder is seen.
// `inner` is walked up by "..", as the kernel takes it, from the nearest of
// its folders that exists; an `outer` that does not exist holds nothing.
bool within(const std::filesystem::path& inner, const std::filesystem::path& outer);

}  // namespace files
