// Any bytes as a selection index file: reading them never crashes, never
// holds more entries than allowed, and takes none that a checksum-valid
// index of the right folder would not hold. Then the bytes as a list of
// entries: written and read back, each settled entry is found with its
// result, and nothing else is.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "util/selection_index.h"

namespace {
const std::string kFolder = "/storage/emulated/0/ws/uexp解包";
constexpr std::size_t kMostEntries = 64;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const char> bytes(reinterpret_cast<const char*>(data), size);
  const SelectionIndex read = SelectionIndex::parse(bytes, kFolder, kMostEntries);
  if (read.size() > kMostEntries) std::abort();

  // 41 bytes an entry: its key, and whether it is a target.
  constexpr std::int64_t kNow = std::int64_t{1'800'000'000} * 1'000'000'000;
  std::vector<SelectionIndex::Entry> entries;
  for (std::size_t at = 0; at + 41 <= size && entries.size() < kMostEntries; at += 41) {
    SelectionIndex::Entry entry;
    std::memcpy(&entry.key.device, data + at, 8);
    std::memcpy(&entry.key.inode, data + at + 8, 8);
    std::memcpy(&entry.key.size, data + at + 16, 8);
    std::memcpy(&entry.key.modifiedNs, data + at + 24, 8);
    std::memcpy(&entry.key.changedNs, data + at + 32, 8);
    entry.target = (data[at + 40] & 1) != 0;
    entries.push_back(entry);
  }
  const SelectionIndex back = SelectionIndex::parse(
      SelectionIndex::serialize(kFolder, entries, kNow), kFolder, kMostEntries);
  // An entry alone with its device and inode is found exactly when it has
  // settled, with its result; of two for one file, one is kept.
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const SelectionIndex::Entry& entry = entries[i];
    bool alone = true;
    for (std::size_t j = 0; j < entries.size(); ++j) {
      alone = alone && (j == i || entries[j].key.device != entry.key.device ||
                        entries[j].key.inode != entry.key.inode);
    }
    if (!alone) continue;
    const std::optional<bool> found = back.find(entry.key);
    if (found.has_value() != SelectionIndex::settled(entry.key, kNow)) std::abort();
    if (found && *found != entry.target) std::abort();
  }
  return 0;
}
