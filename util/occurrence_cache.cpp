#include "util/occurrence_cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

// A target's occurrences are stored as they lie in memory on a
// little-endian processor: read and written whole.
static_assert(sizeof(MultiReplacer::Occurrence) == 8 &&
              std::is_trivially_copyable_v<MultiReplacer::Occurrence> &&
              std::is_standard_layout_v<MultiReplacer::Occurrence>);

constexpr std::string_view kMagic = "UEXPMODO";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kOccurrenceBytes = 8;
constexpr std::size_t kChecksumBytes = 8;
// Magic, version, the head's length.
constexpr std::size_t kFixedBytes = 8 + 4 + 8;
// A table entry: the key's five numbers, then offset, count and checksum.
constexpr std::size_t kEntryBytes = 8 * 8;
// The table's offset and the checksum.
constexpr std::size_t kTrailerBytes = 8 + kChecksumBytes;
// The longest head and table read: a list of a hundred thousand rules, a
// tree of a million targets.
constexpr std::uint64_t kMostHead = std::uint64_t{16} << 20;
constexpr std::uint64_t kMostTable = std::uint64_t{64} << 20;

bool before(const FileKey& a, const FileKey& b) {
  return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

// Takes a part of a file's bytes after another; every take past the end
// fails, and so does every one after it.
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
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The occurrences' bytes in the file's order: little-endian numbers.
std::string_view storedBytes(std::span<const MultiReplacer::Occurrence> occurrences,
                             std::string& scratch) {
  if constexpr (std::endian::native == std::endian::little) {
    return {reinterpret_cast<const char*>(occurrences.data()), occurrences.size_bytes()};
  }
  scratch.resize(occurrences.size_bytes());
  char* at = scratch.data();
  for (const MultiReplacer::Occurrence& occurrence : occurrences) {
    at = cachefile::put(at, occurrence.start, 4);
    at = cachefile::put(at, occurrence.pattern, 4);
  }
  return scratch;
}

}  // namespace

OccurrenceCache OccurrenceCache::open(const fs::path& file, std::string_view folder) {
  // Not blocking, and not through a link: a pipe or a device put at the
  // path reads as no cache, instead of holding the run at its open.
  FileHandle in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (!in || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  const auto size = static_cast<std::uint64_t>(status.st_size);
  char fixed[kFixedBytes];
  if (size < kFixedBytes + kTrailerBytes || !cachefile::readAt(in.get(), 0, fixed, kFixedBytes) ||
      std::string_view(fixed, kMagic.size()) != kMagic ||
      cachefile::get(fixed + 8, 4) != kVersion) {
    return {};
  }
  const std::uint64_t headLength = cachefile::get(fixed + 12, 8);
  if (headLength < kFixedBytes + kChecksumBytes || headLength > kMostHead ||
      headLength > size - kTrailerBytes) {
    return {};
  }
  OccurrenceCache cache;
  cache.head_.resize(static_cast<std::size_t>(headLength));
  std::string& head = cache.head_;
  const std::size_t headChecked = head.size() - kChecksumBytes;
  if (!cachefile::readAt(in.get(), 0, head.data(), head.size()) ||
      cachefile::get(head.data() + headChecked, kChecksumBytes) !=
          cachefile::checksum(std::span<const char>(head.data(), headChecked))) {
    return {};
  }
  Reader inHead(std::string_view(head).substr(kFixedBytes, headChecked - kFixedBytes));
  if (inHead.take(inHead.number(4)) != folder) return {};
  const std::uint64_t texts = inHead.number(4);
  if (texts > headChecked / 5) return {};  // a length and a byte each at least
  cache.texts_.reserve(static_cast<std::size_t>(texts));
  for (std::uint64_t k = 0; k < texts && inHead.ok(); ++k) {
    const std::optional<std::string_view> text = inHead.take(inHead.number(4));
    if (!text || text->empty()) return {};
    cache.texts_.push_back(*text);
  }
  if (!inHead.done()) return {};

  // The table, and the offset before the checksum, which it covers too.
  char trailer[kTrailerBytes];
  if (!cachefile::readAt(in.get(), size - kTrailerBytes, trailer, kTrailerBytes)) return {};
  const std::uint64_t tableOffset = cachefile::get(trailer, 8);
  if (tableOffset < headLength || tableOffset > size - kTrailerBytes - 8 ||
      size - kChecksumBytes - tableOffset > kMostTable) {
    return {};
  }
  std::string table(static_cast<std::size_t>(size - kChecksumBytes - tableOffset), '\0');
  if (!cachefile::readAt(in.get(), tableOffset, table.data(), table.size()) ||
      cachefile::get(trailer + 8, kChecksumBytes) != cachefile::checksum(table)) {
    return {};
  }
  Reader inTable(std::string_view(table).substr(0, table.size() - 8));
  const std::uint64_t targets = inTable.number(8);
  if (targets != (table.size() - 16) / kEntryBytes || (table.size() - 16) % kEntryBytes != 0) {
    return {};
  }
  cache.entries_.reserve(static_cast<std::size_t>(targets));
  std::uint64_t total = 0;
  for (std::uint64_t t = 0; t < targets; ++t) {
    Entry entry{};
    entry.key.device = inTable.number(8);
    entry.key.inode = inTable.number(8);
    entry.key.size = inTable.number(8);
    entry.key.modifiedNs = static_cast<std::int64_t>(inTable.number(8));
    entry.key.changedNs = static_cast<std::int64_t>(inTable.number(8));
    entry.offset = inTable.number(8);
    const std::uint64_t count = inTable.number(8);
    entry.checksum = inTable.number(8);
    total += count;
    if (!inTable.ok() || count > kMostPerTarget || total > kMostOccurrences ||
        entry.offset < headLength || entry.offset > tableOffset ||
        count * kOccurrenceBytes > tableOffset - entry.offset ||
        (!cache.entries_.empty() && !before(cache.entries_.back().key, entry.key))) {
      return {};
    }
    entry.count = static_cast<std::size_t>(count);
    cache.entries_.push_back(entry);
  }
  cache.file_ = std::move(in);
  return cache;
}

std::optional<std::vector<std::uint32_t>> OccurrenceCache::cover(
    const std::vector<std::string_view>& texts) {
  idOf_.clear();
  // A cache of many more texts than the list has costs more to read than
  // its targets' search would: it is made again for this list.
  if (texts_.empty() || texts_.size() > 2 * texts.size() + 64) return std::nullopt;
  std::unordered_map<std::string_view, std::uint32_t> cached;
  for (std::uint32_t k = 0; k < texts_.size(); ++k) {
    if (!cached.emplace(texts_[k], k).second) return std::nullopt;  // a text twice: not as written
  }
  std::vector<std::uint32_t> idOf(texts_.size(), kNotWanted);
  std::vector<std::uint32_t> lacking;
  for (std::size_t id = 0; id < texts.size(); ++id) {
    const auto it = cached.find(texts[id]);
    if (it == cached.end()) {
      lacking.push_back(static_cast<std::uint32_t>(id));
    } else {
      idOf[it->second] = static_cast<std::uint32_t>(id);
    }
  }
  idOf_ = std::move(idOf);
  return lacking;
}

bool OccurrenceCache::readPiece(std::uint64_t offset, std::size_t count,
                                std::vector<Occurrence>& piece,
                                cachefile::Checksum& checksum) const {
  piece.resize(count);
  char* const bytes = reinterpret_cast<char*>(piece.data());
  const std::size_t size = count * kOccurrenceBytes;
  if (!cachefile::readAt(file_.get(), offset, bytes, size)) return false;
  checksum.add(std::span<const char>(bytes, size));
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t k = 0; k < count; ++k) {
      const char* const at = bytes + k * kOccurrenceBytes;
      piece[k] = {static_cast<std::uint32_t>(cachefile::get(at, 4)),
                  static_cast<std::uint32_t>(cachefile::get(at + 4, 4))};
    }
  }
  return true;
}

bool OccurrenceCache::find(const FileKey& key, Pieces& into) const {
  into = Pieces();
  if (idOf_.size() != texts_.size() || !file_) return false;
  const auto it =
      std::lower_bound(entries_.begin(), entries_.end(), key,
                       [](const Entry& entry, const FileKey& k) { return before(entry.key, k); });
  if (it == entries_.end() || !(it->key == key)) return false;
  // Checked whole before any is given: sorted by start, of a text the cache
  // holds, with the checksum they were written with.
  cachefile::Checksum checksum;
  std::uint32_t last = 0;
  for (std::size_t at = 0; at < it->count; at += kPiece) {
    const std::size_t count = std::min(kPiece, it->count - at);
    if (!readPiece(it->offset + at * kOccurrenceBytes, count, into.piece_, checksum)) {
      into = Pieces();
      return false;
    }
    for (const Occurrence& occurrence : into.piece_) {
      if (occurrence.start < last || occurrence.pattern >= idOf_.size()) {
        into = Pieces();
        return false;
      }
      last = occurrence.start;
    }
  }
  if (checksum.value() != it->checksum) {
    into = Pieces();
    return false;
  }
  into.cache_ = this;
  into.offset_ = it->offset;
  into.count_ = it->count;
  return true;
}

std::span<const OccurrenceCache::Occurrence> OccurrenceCache::Pieces::next() {
  while (at_ < count_) {
    const std::size_t count = std::min(kPiece, count_ - at_);
    cachefile::Checksum unused;
    // Checked by find(); read again, they are checked again as they are
    // given, in case the file was written in place meanwhile (the tool
    // never does) or cannot be read again. A fault then cannot be told
    // from the end of the list, and must not be taken for it: it throws,
    // and failed() tells the caller to rewrite the target without them.
    if (!cache_->readPiece(offset_ + at_ * kOccurrenceBytes, count, piece_, unused)) {
      failed_ = true;
      throw std::runtime_error("the occurrence cache could not be read again");
    }
    at_ += count;
    std::size_t kept = 0;
    for (const Occurrence& occurrence : piece_) {
      if (occurrence.start < last_ || occurrence.pattern >= cache_->idOf_.size()) {
        failed_ = true;
        throw std::runtime_error("the occurrence cache changed while it was read");
      }
      last_ = occurrence.start;
      const std::uint32_t id = cache_->idOf_[occurrence.pattern];
      if (id != kNotWanted) piece_[kept++] = {occurrence.start, id};
    }
    if (kept > 0) return std::span(piece_.data(), kept);
  }
  return {};
}

bool OccurrenceCache::find(const FileKey& key, std::vector<Occurrence>& into) const {
  into.clear();
  Pieces pieces;
  if (!find(key, pieces)) return false;
  for (std::span<const Occurrence> piece = pieces.next(); !piece.empty(); piece = pieces.next()) {
    into.insert(into.end(), piece.begin(), piece.end());
  }
  return true;
}

OccurrenceCache::Writer::Writer(const fs::path& file, std::string_view folder,
                                const std::vector<std::string_view>& texts, std::int64_t nowNs)
    : file_(file, nowNs) {
  std::size_t size = kFixedBytes + 4 + folder.size() + 4 + kChecksumBytes;
  for (const std::string_view text : texts) size += 4 + text.size();
  std::string head(size, '\0');
  char* at = std::copy(kMagic.begin(), kMagic.end(), head.data());
  at = cachefile::put(at, kVersion, 4);
  at = cachefile::put(at, size, 8);
  at = cachefile::put(at, folder.size(), 4);
  at = std::copy(folder.begin(), folder.end(), at);
  at = cachefile::put(at, texts.size(), 4);
  for (const std::string_view text : texts) {
    at = cachefile::put(at, text.size(), 4);
    at = std::copy(text.begin(), text.end(), at);
  }
  cachefile::put(at, cachefile::checksum(std::span<const char>(head.data(), size - kChecksumBytes)),
                 kChecksumBytes);
  // A head no run would read is not written: no cache is.
  headTooLong_ = size > kMostHead;
  if (!headTooLong_) file_.write(head);
}

bool OccurrenceCache::Writer::addPiece(std::span<const Occurrence> occurrences,
                                       cachefile::Checksum& checksum) {
  std::string scratch;
  const std::string_view bytes = storedBytes(occurrences, scratch);
  checksum.add(bytes);
  return file_.write(bytes);
}

bool OccurrenceCache::Writer::add(const FileKey& key, std::span<const Occurrence> occurrences) {
  if (occurrences.size() > kMostPerTarget || total_ + occurrences.size() > kMostOccurrences) {
    return true;  // too many for one target, or for the cache: left out
  }
  if (headTooLong_) return false;
  Entry entry{key, file_.size(), occurrences.size(), 0};
  cachefile::Checksum checksum;
  if (!addPiece(occurrences, checksum)) return false;
  entry.checksum = checksum.value();
  entries_.push_back(entry);
  total_ += occurrences.size();
  return true;
}

bool OccurrenceCache::Writer::add(const FileKey& key, Pieces& kept,
                                  std::span<const Occurrence> more) {
  // Too many for one target, or for the cache: left out.
  if (kept.count_ + more.size() > kMostPerTarget ||
      total_ + kept.count_ + more.size() > kMostOccurrences) {
    return true;
  }
  if (headTooLong_) return false;
  Entry entry{key, file_.size(), 0, 0};
  cachefile::Checksum checksum;
  // The two in order of start, a piece at a time.
  std::vector<Occurrence> merged;
  merged.reserve(kPiece);
  const auto flush = [&] {
    entry.count += merged.size();
    const bool written = addPiece(merged, checksum);
    merged.clear();
    return written;
  };
  kept.rewind();
  std::span<const Occurrence> piece = kept.next();
  std::size_t at = 0;
  for (;;) {
    if (piece.empty() && at == more.size()) break;
    if (!piece.empty() && (at == more.size() || piece.front().start <= more[at].start)) {
      merged.push_back(piece.front());
      piece = piece.subspan(1);
      if (piece.empty()) piece = kept.next();
    } else {
      merged.push_back(more[at++]);
    }
    if (merged.size() == kPiece && !flush()) return false;
  }
  if (!flush()) return false;
  entry.checksum = checksum.value();
  entries_.push_back(entry);
  total_ += entry.count;
  return true;
}

bool OccurrenceCache::Writer::commit() {
  if (headTooLong_) return false;
  // One file reached by two paths (a hard link) is one target.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return before(a.key, b.key); });
  entries_.erase(std::unique(entries_.begin(), entries_.end(),
                             [](const Entry& a, const Entry& b) { return !before(a.key, b.key); }),
                 entries_.end());
  const std::uint64_t tableOffset = file_.size();
  std::string table(8 + entries_.size() * kEntryBytes + kTrailerBytes, '\0');
  char* at = cachefile::put(table.data(), entries_.size(), 8);
  for (const Entry& entry : entries_) {
    at = cachefile::put(at, entry.key.device, 8);
    at = cachefile::put(at, entry.key.inode, 8);
    at = cachefile::put(at, entry.key.size, 8);
    at = cachefile::put(at, static_cast<std::uint64_t>(entry.key.modifiedNs), 8);
    at = cachefile::put(at, static_cast<std::uint64_t>(entry.key.changedNs), 8);
    at = cachefile::put(at, entry.offset, 8);
    at = cachefile::put(at, entry.count, 8);
    at = cachefile::put(at, entry.checksum, 8);
  }
  at = cachefile::put(at, tableOffset, 8);
  cachefile::put(at, cachefile::checksum(std::span<const char>(table.data(), table.size() - 8)),
                 kChecksumBytes);
  return file_.write(table) && file_.commit();
}

fs::path OccurrenceCache::fileFor(const fs::path& cacheFolder, std::string_view folder) {
  return cachefile::fileFor(cacheFolder, folder, ".occurrences");
}
