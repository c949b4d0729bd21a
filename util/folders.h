#pragma once

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

}  // namespace files
