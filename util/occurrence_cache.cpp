#include "util/occurrence_cache.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "util/cache_file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "UEXPMODO";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kKeyBytes = 40;
constexpr std::size_t kOccurrenceBytes = 8;
constexpr std::size_t kChecksumBytes = 8;
// The largest file read: every occurrence a cache may hold, and room for
// the texts and keys of a large list and tree.
constexpr std::uintmax_t kMostBytes =
    OccurrenceCache::kMostOccurrences * kOccurrenceBytes + (std::uintmax_t{16} << 20);

bool before(const FileKey& a, const FileKey& b) {
  return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

// Takes the file's parts in turn; every take past the end fails, and so
// does every one after it.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  std::optional<std::string_view> take(std::uint64_t size) {
    if (!ok_ || size > bytes_.size() - at_) {
      ok_ = false;
      return std::nullopt;
    }
    const std::string_view part = bytes_.substr(at_, static_cast<std::size_t>(size));
    at_ += static_cast<std::size_t>(size);
    return part;
  }
  std::uint64_t number(std::size_t size) {
    const std::optional<std::string_view> part = take(size);
    return part ? cachefile::get(part->data(), size) : 0;
  }
  std::size_t at() const { return at_; }
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

OccurrenceCache OccurrenceCache::read(const fs::path& file, std::string_view folder) {
  std::optional<std::string> bytes = cachefile::readWhole(file, kMostBytes);
  if (!bytes) return {};
  return parse(std::move(*bytes), folder);
}

OccurrenceCache OccurrenceCache::parse(std::string bytes, std::string_view folder) {
  if (bytes.size() < kMagic.size() + kChecksumBytes) return {};
  const std::size_t checked = bytes.size() - kChecksumBytes;
  if (cachefile::get(bytes.data() + checked, kChecksumBytes) !=
      cachefile::checksum(std::span<const char>(bytes.data(), checked))) {
    return {};
  }
  OccurrenceCache cache;
  cache.bytes_ = std::move(bytes);
  Reader in(std::string_view(cache.bytes_).substr(0, checked));
  if (in.take(kMagic.size()) != kMagic || in.number(4) != kVersion ||
      in.take(in.number(4)) != folder) {
    return {};
  }
  const std::uint64_t texts = in.number(4);
  if (texts > checked / 4) return {};
  cache.texts_.reserve(static_cast<std::size_t>(texts));
  for (std::uint64_t k = 0; k < texts && in.ok(); ++k) {
    const std::optional<std::string_view> text = in.take(in.number(4));
    if (!text || text->empty()) return {};
    cache.texts_.push_back(*text);
  }
  const std::uint64_t targets = in.number(8);
  if (!in.ok() || targets > checked / (kKeyBytes + 8)) return {};
  cache.entries_.reserve(static_cast<std::size_t>(targets));
  std::uint64_t total = 0;
  for (std::uint64_t t = 0; t < targets; ++t) {
    Entry entry{};
    entry.key.device = in.number(8);
    entry.key.inode = in.number(8);
    entry.key.size = in.number(8);
    entry.key.modifiedNs = static_cast<std::int64_t>(in.number(8));
    entry.key.changedNs = static_cast<std::int64_t>(in.number(8));
    const std::uint64_t count = in.number(8);
    total += count;
    if (!in.ok() || count > kMostPerTarget || total > kMostOccurrences ||
        (!cache.entries_.empty() && !before(cache.entries_.back().key, entry.key))) {
      return {};
    }
    entry.count = static_cast<std::size_t>(count);
    cache.entries_.push_back(entry);
  }
  // Each target's occurrences; find() checks them as it reads them.
  for (Entry& entry : cache.entries_) {
    entry.first = in.at();
    if (!in.take(entry.count * kOccurrenceBytes)) return {};
  }
  if (!in.done()) return {};
  return cache;
}

bool OccurrenceCache::covers(const std::vector<std::string_view>& texts) {
  idOf_.clear();
  // A cache of many more texts than the list has costs more to read than
  // its targets' search would: it is made again for this list.
  if (texts_.size() > 2 * texts.size() + 64) return false;
  std::unordered_map<std::string_view, std::uint32_t> cached;
  for (std::uint32_t k = 0; k < texts_.size(); ++k) {
    if (!cached.emplace(texts_[k], k).second) return false;  // a text twice: not as written
  }
  std::vector<std::uint32_t> idOf(texts_.size(), kNotWanted);
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const auto it = cached.find(texts[id]);
    if (it == cached.end()) return false;
    idOf[it->second] = static_cast<std::uint32_t>(id);
  }
  idOf_ = std::move(idOf);
  return true;
}

bool OccurrenceCache::find(const FileKey& key, std::vector<Occurrence>& into) const {
  into.clear();
  if (idOf_.size() != texts_.size()) return false;
  const auto it =
      std::lower_bound(entries_.begin(), entries_.end(), key,
                       [](const Entry& entry, const FileKey& k) { return before(entry.key, k); });
  if (it == entries_.end() || !(it->key == key)) return false;
  into.reserve(it->count);
  const char* at = bytes_.data() + it->first;
  std::uint32_t last = 0;
  for (std::size_t k = 0; k < it->count; ++k, at += kOccurrenceBytes) {
    const auto start = static_cast<std::uint32_t>(cachefile::get(at, 4));
    const auto text = static_cast<std::uint32_t>(cachefile::get(at + 4, 4));
    // Sorted by start, of a text the cache holds, as every cache is written.
    if (start < last || text >= idOf_.size()) {
      into.clear();
      return false;
    }
    last = start;
    if (idOf_[text] != kNotWanted) into.push_back({start, idOf_[text]});
  }
  return true;
}

std::string OccurrenceCache::serialize(std::string_view folder,
                                       const std::vector<std::string_view>& texts,
                                       const std::vector<Target>& targets) {
  std::size_t size = kMagic.size() + 4 + 4 + folder.size() + 4 + 8 + kChecksumBytes;
  for (const std::string_view text : texts) size += 4 + text.size();
  for (const Target& target : targets) {
    size += kKeyBytes + 8 + target.occurrences.size() * kOccurrenceBytes;
  }
  std::string out(size, '\0');
  char* at = std::copy(kMagic.begin(), kMagic.end(), out.data());
  at = cachefile::put(at, kVersion, 4);
  at = cachefile::put(at, folder.size(), 4);
  at = std::copy(folder.begin(), folder.end(), at);
  at = cachefile::put(at, texts.size(), 4);
  for (const std::string_view text : texts) {
    at = cachefile::put(at, text.size(), 4);
    at = std::copy(text.begin(), text.end(), at);
  }
  at = cachefile::put(at, targets.size(), 8);
  for (const Target& target : targets) {
    at = cachefile::put(at, target.key.device, 8);
    at = cachefile::put(at, target.key.inode, 8);
    at = cachefile::put(at, target.key.size, 8);
    at = cachefile::put(at, static_cast<std::uint64_t>(target.key.modifiedNs), 8);
    at = cachefile::put(at, static_cast<std::uint64_t>(target.key.changedNs), 8);
    at = cachefile::put(at, target.occurrences.size(), 8);
  }
  for (const Target& target : targets) {
    for (const Occurrence& occurrence : target.occurrences) {
      at = cachefile::put(at, occurrence.start, 4);
      at = cachefile::put(at, occurrence.pattern, 4);
    }
  }
  cachefile::put(at, cachefile::checksum(std::span<const char>(out.data(), size - kChecksumBytes)),
                 kChecksumBytes);
  return out;
}

bool OccurrenceCache::write(const fs::path& file, std::string_view folder,
                            const std::vector<std::string_view>& texts,
                            const std::vector<Target>& targets, std::int64_t nowNs) {
  try {
    return cachefile::writeWhole(file, serialize(folder, texts, targets), nowNs);
  } catch (...) {  // memory
    return false;
  }
}

fs::path OccurrenceCache::fileFor(const fs::path& cacheFolder, std::string_view folder) {
  return cachefile::fileFor(cacheFolder, folder, ".occurrences");
}
