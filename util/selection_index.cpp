#include "util/selection_index.h"

#include <algorithm>
#include <cstring>

#include "util/cache_file.h"
#include "util/file_key.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "UEXPMODI";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kEntryBytes = 48;
// Magic, version, the path's length; then the path; then the count. And the
// checksum at the end.
constexpr std::size_t kHeadBytes = 8 + 4 + 4;
constexpr std::size_t kCountBytes = 8;
constexpr std::size_t kChecksumBytes = 8;

using cachefile::checksum;
using cachefile::get;
using cachefile::put;

constexpr auto before = [](const SelectionIndex::Entry& a, const SelectionIndex::Entry& b) {
  return a.key.device != b.key.device ? a.key.device < b.key.device : a.key.inode < b.key.inode;
};

}  // namespace

SelectionIndex SelectionIndex::read(const fs::path& file, std::string_view folder,
                                    std::size_t mostEntries) {
  // Larger than any index of `mostEntries` entries: not read at all.
  const std::uintmax_t most =
      kHeadBytes + folder.size() + kCountBytes + mostEntries * kEntryBytes + kChecksumBytes;
  const std::optional<std::string> bytes = cachefile::readWhole(file, most);
  if (!bytes) return {};
  return parse(*bytes, folder, mostEntries);
}

SelectionIndex SelectionIndex::parse(std::span<const char> bytes, std::string_view folder,
                                     std::size_t mostEntries) {
  const std::size_t fixed = kHeadBytes + kCountBytes + kChecksumBytes;
  if (bytes.size() < fixed || std::string_view(bytes.data(), kMagic.size()) != kMagic ||
      get(bytes.data() + 8, 4) != kVersion || get(bytes.data() + 12, 4) != folder.size() ||
      bytes.size() - fixed < folder.size() ||
      std::string_view(bytes.data() + kHeadBytes, folder.size()) != folder) {
    return {};
  }
  const char* const countAt = bytes.data() + kHeadBytes + folder.size();
  const std::uint64_t count = get(countAt, kCountBytes);
  const std::size_t entryBytes = bytes.size() - fixed - folder.size();
  if (count > mostEntries || entryBytes % kEntryBytes != 0 || entryBytes / kEntryBytes != count ||
      get(bytes.data() + bytes.size() - kChecksumBytes, kChecksumBytes) !=
          checksum(bytes.first(bytes.size() - kChecksumBytes))) {
    return {};
  }
  SelectionIndex index;
  index.entries_.reserve(static_cast<std::size_t>(count));
  for (const char* at = countAt + kCountBytes; index.entries_.size() < count; at += kEntryBytes) {
    Entry entry;
    entry.key.device = get(at, 8);
    entry.key.inode = get(at + 8, 8);
    entry.key.size = get(at + 16, 8);
    entry.key.modifiedNs = static_cast<std::int64_t>(get(at + 24, 8));
    entry.key.changedNs = static_cast<std::int64_t>(get(at + 32, 8));
    const std::uint64_t flags = get(at + 40, 8);
    if (flags > 1) return {};
    entry.target = flags == 1;
    // Sorted and each file once, as every index is written.
    if (!index.entries_.empty() && !before(index.entries_.back(), entry)) return {};
    index.entries_.push_back(entry);
  }
  return index;
}

std::optional<bool> SelectionIndex::find(const FileKey& key) const {
  const std::optional<std::size_t> at = position(key);
  return at ? std::optional(targetAt(*at)) : std::nullopt;
}

std::optional<std::size_t> SelectionIndex::position(const FileKey& key) const {
  const Entry probe{key, false};
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), probe, before);
  if (it == entries_.end() || !(it->key == key)) return std::nullopt;
  return static_cast<std::size_t>(it - entries_.begin());
}

bool SelectionIndex::settled(const FileKey& key, std::int64_t nowNs, std::int64_t settleNs) {
  return key.modifiedNs < nowNs - settleNs && key.changedNs < nowNs - settleNs;
}

std::string SelectionIndex::serialize(std::string_view folder, std::vector<Entry> entries,
                                      std::int64_t nowNs, std::int64_t settleNs) {
  std::erase_if(entries, [nowNs, settleNs](const Entry& entry) {
    return !settled(entry.key, nowNs, settleNs);
  });
  std::sort(entries.begin(), entries.end(), before);
  // One file reached by two paths (a hard link) is one entry.
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const Entry& a, const Entry& b) { return !before(a, b); }),
                entries.end());
  std::string out(
      kHeadBytes + folder.size() + kCountBytes + entries.size() * kEntryBytes + kChecksumBytes,
      '\0');
  char* at = std::copy(kMagic.begin(), kMagic.end(), out.data());
  at = put(at, kVersion, 4);
  at = put(at, folder.size(), 4);
  at = std::copy(folder.begin(), folder.end(), at);
  at = put(at, entries.size(), kCountBytes);
  for (const Entry& entry : entries) {
    at = put(at, entry.key.device, 8);
    at = put(at, entry.key.inode, 8);
    at = put(at, entry.key.size, 8);
    at = put(at, static_cast<std::uint64_t>(entry.key.modifiedNs), 8);
    at = put(at, static_cast<std::uint64_t>(entry.key.changedNs), 8);
    at = put(at, entry.target ? 1 : 0, 8);
  }
  put(at, checksum(std::span(out.data(), out.size() - kChecksumBytes)), kChecksumBytes);
  return out;
}

bool SelectionIndex::write(const fs::path& file, std::string_view folder,
                           std::vector<Entry> entries, std::int64_t nowNs, std::int64_t settleNs) {
  try {
    return cachefile::writeWhole(file, serialize(folder, std::move(entries), nowNs, settleNs),
                                 nowNs);
  } catch (...) {  // memory
    return false;
  }
}

fs::path SelectionIndex::fileFor(const fs::path& cacheFolder, std::string_view folder) {
  return cachefile::fileFor(cacheFolder, folder, ".index");
}

KnownSelection::KnownSelection(std::size_t count) : targets_(count), unopened_(count) {}

KnownSelection::KnownSelection(std::size_t count, std::uint64_t device)
    : targets_(count), unopened_(count), learning_(true), device_(device) {
  learned_.reserve(count);
}

KnownSelection::KnownSelection(const SelectionIndex& index,
                               std::span<const std::optional<FileKey>> keys, std::uint64_t device)
    : KnownSelection(keys.size(), device) {
  keys_ = keys;
  if (index.empty()) return;
  // Two paths to one file (a hard link) share its entry.
  std::vector<bool> taken(index.size());
  std::size_t distinct = 0;
  bool allKnown = true;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] && keys[i]->device != device) continue;
    const std::optional<std::size_t> at = keys[i] ? index.position(*keys[i]) : std::nullopt;
    allKnown = allKnown && at.has_value();
    if (!at) continue;
    targets_[i] = index.targetAt(*at);
    unopened_[i] = !index.targetAt(*at);
    if (!taken[*at]) ++distinct;
    taken[*at] = true;
  }
  asIndexed_ = allKnown && distinct == index.size();
}

bool KnownSelection::knownTarget(std::size_t i, const FileKey& key) const {
  return targets_[i].value_or(false) && *keys_[i] == key;
}

void KnownSelection::keepUnopened(std::size_t i) {
  if (learning_) learned_.push_back({*keys_[i], false});
}

void KnownSelection::learn(const FileKey& key, bool target) {
  if (learning_ && key.device == device_) learned_.push_back({key, target});
}

void KnownSelection::searched(std::size_t i) {
  // A file on another storage is searched on every run: that changes nothing.
  if (i < keys_.size() && keys_[i] && keys_[i]->device != device_) return;
  asIndexed_ = false;
}
