// Target files: selecting the unpacked .uexp files that mention the target
// path, copying them into the repack folder, and rewriting the copies.
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "app/uexp_processor.h"
#include "util/content_search.h"
#include "util/file_content.h"
#include "util/file_key.h"
#include "util/file_walk.h"
#include "util/file_writes.h"
#include "util/occurrence_cache.h"
#include "util/ordered_work.h"
#include "util/read_ahead.h"
#include "util/selection_index.h"
#include "util/staged_folder.h"
#include "util/storage_times.h"

namespace fs = std::filesystem;

namespace {

// Writes through `put` (a StagedFolder write for one copy, given the mode
// and the fill) the copy of the target open as `source`, with the rules
// applied on the way: the target is read once and its copy written once.
// Where the rules could not be applied to the target whole (it changed or
// could not be read meanwhile), a plain copy of it stands, as after a failed
// rewrite. `loaded()` is called once the target is loaded, before its
// rewrite; a rewrite that failed is made once more where `again()` says so.
// Empty when no copy could be made.
template <class Put, class Loaded, class Again>
std::optional<RewriteOutcome> copyRewritten(const Put& put, const FileHandle& source,
                                            MultiReplacer& replacer, FileContent& content,
                                            const Loaded& loaded, const Again& again) {
  const fs::perms mode = files::permissionsOf(source);
  RewriteResult result = RewriteResult::kIncomplete;
  // A rewrite that throws (no memory for the rules' candidates, say) leaves
  // `result` incomplete, and its copy is removed as after any failed fill.
  const FileFill rewritten = [&](int fd) {
    result = content.rewrite(
        replacer, FileContent::Output::kEveryByte,
        [fd](std::span<const char> bytes) { return files::writeAll(fd, bytes); });
    return result != RewriteResult::kIncomplete;
  };
  bool written = false;
  if (content.load(source)) {
    loaded();  // the key of what is rewritten is known from here
    written = put(mode, rewritten);
    // Made again without what failed it, where `again` can tell: from the
    // file loaded again, since the rules wrote into the first load's map.
    if (!written && again() && content.load(source)) written = put(mode, rewritten);
  }
  if (written) {
    return result == RewriteResult::kChanged ? RewriteOutcome::kRewritten
                                             : RewriteOutcome::kUnchanged;
  }
  if (!put(mode, files::copyOf(source))) return std::nullopt;
  return result == RewriteResult::kUnchanged ? RewriteOutcome::kUnchanged : RewriteOutcome::kFailed;
}

// Applies the rules to `file` where it stands: new bytes go to a temporary
// file that replaces it only once they are complete, and only if a rule
// changed something.
RewriteOutcome rewriteInPlace(const fs::path& file, MultiReplacer& replacer, FileContent& content) {
  try {
    std::optional<StagedWrite> staged;
    const RewriteResult result =
        content.load(file) ? content.rewrite(replacer, FileContent::Output::kOnlyIfChanged,
                                             [&](std::span<const char> bytes) {
                                               if (!staged) staged.emplace(file);
                                               return staged->write(bytes);
                                             })
                           : RewriteResult::kIncomplete;
    if (result == RewriteResult::kUnchanged) return RewriteOutcome::kUnchanged;
    if (result == RewriteResult::kChanged && staged->commit()) return RewriteOutcome::kRewritten;
  } catch (...) {
  }
  return RewriteOutcome::kFailed;
}

// What the selection index kept from the last run of the files `found` on
// `device`, by the keys the walk took; nothing known where it took none.
// Either way what the run learns of them is kept for the next.
KnownSelection knownFromIndex(const fs::path& indexFile, std::string_view folder,
                              const FoundFiles& found, std::uint64_t device) {
  const std::size_t count = found.files.size();
  if (found.keys.size() != count) return {count, device};
  try {
    return {SelectionIndex::read(indexFile, folder, 2 * count + 1024), found.keys, device};
  } catch (const std::bad_alloc&) {
    // No room for the index: every file is opened, as without one.
    return {count, device};
  }
}

// What the search and the copy did with one candidate, for the consumer to
// report and record in the candidates' order.
struct CandidateDone {
  bool unopened = false;  // known to hold no marker, unchanged: not opened
  bool searched = false;  // searched, or could not be
  ContainsResult contains = ContainsResult::kNotFound;
  std::optional<SelectionIndex::Entry> learned;  // what the index may keep of it
  bool tried = false;     // a copy was tried, to `relative` in the set
  fs::path relative;      // the candidate's path below the unpack folder
  bool copied = false;
  std::optional<RewriteOutcome> outcome;  // what the rules did to the copy, if applied
  // What the occurrence cache may keep of the target: its occurrences as
  // this run recorded them, or the key under which the cache gave them.
  struct Recorded {
    FileKey key;
    std::vector<MultiReplacer::Occurrence> occurrences;
  };
  std::optional<Recorded> occurrences;
  std::optional<FileKey> knownOccurrences;
};

// A name for the scratch folder of copies written unnamed that no copy has
// as its first folder: the walk's paths may hold any name.
std::string scratchNameFor(const std::vector<std::string>& candidates, const fs::path& unpackDir) {
  const std::string prefix = unpackDir.string() + "/";
  std::unordered_set<std::string> seen;
  std::vector<std::string> firstFolders;
  for (const std::string& candidate : candidates) {
    std::string first;
    if (candidate.compare(0, prefix.size(), prefix) == 0) {  // as the walk forms them
      const std::string_view rest = std::string_view(candidate).substr(prefix.size());
      first = rest.substr(0, rest.find('/'));
    } else {
      const fs::path relative = fs::path(candidate).lexically_relative(unpackDir);
      if (relative.empty()) continue;
      first = relative.begin()->string();
    }
    if (seen.insert(first).second) firstFolders.push_back(std::move(first));
  }
  return StagedFolder::scratchNameAvoiding(firstFolders);
}

// What each thread of the copy stage keeps from one target to the next: its
// content's buffer, and its rules engine, made when it first copies a target
// (with the rules every thread's engine shares).
struct Worker {
  FileContent content;
  std::optional<MultiReplacer> replacer;
  OccurrenceCache::Pieces known;                       // a target's occurrences, kept
  std::vector<MultiReplacer::Occurrence> occurrences;  // and as this run records them
};

// The occurrences of the rules' search texts in the targets, as the cache
// kept them and as this run learns them: the whole use of the cache. A
// target whose key is unchanged and settled, on the storage whose times were
// checked, is rewritten from the occurrences kept, and searched for the
// rules' texts the cache lacks alone; the others are searched whole. What
// the searches find is kept for the next run, as far as the cache's room
// goes.
class KnownOccurrences {
 public:
  KnownOccurrences(const fs::path& file, std::string_view folder,
                   std::vector<std::string_view> texts, std::uint64_t device, std::int64_t keysFrom,
                   std::int64_t settleNs)
      : file_(file),
        folder_(folder),
        texts_(std::move(texts)),
        device_(device),
        keysFrom_(keysFrom),
        settleNs_(settleNs) {
    try {
      cache_ = OccurrenceCache::open(file, folder);
      const std::optional<std::vector<std::uint32_t>> lacking = cache_.cover(texts_);
      if (lacking && !lacking->empty()) {
        // Texts the cache lacks (rules added since): searched for alone.
        lacking_ = *lacking;
        std::vector<std::string_view> lackingTexts;
        for (const std::uint32_t id : lacking_) lackingTexts.push_back(texts_[id]);
        lackingSearch_.emplace(lackingTexts, PatternSearch::choose(lackingTexts));
      }
      covered_ = lacking.has_value();
    } catch (const std::bad_alloc&) {
      cache_ = OccurrenceCache();  // every target is searched
      covered_ = false;
    }
  }

  // Sets `engine` up for the target loaded in `content`: given its
  // occurrences from `known`, or recording them into `into`, or neither.
  // Marks `done` where they were given. Returns whether they are being
  // recorded.
  bool prepare(MultiReplacer& engine, const FileContent& content, OccurrenceCache::Pieces& known,
               std::vector<MultiReplacer::Occurrence>& into, CandidateDone& done) const {
    engine.forgetOccurrences();
    done.knownOccurrences.reset();
    const FileKey& key = content.key();
    if (key.device != device_ || !SelectionIndex::settled(key, keysFrom_, settleNs_) ||
        key.size > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
    try {
      if (covered_ && cache_.find(key, known)) {
        done.knownOccurrences = key;
        if (!lackingSearch_) {
          engine.takeKnown(known);
          return false;
        }
        // The texts the cache lacks are searched for and recorded.
        engine.takeKnown(known, {&*lackingSearch_, lacking_});
        engine.recordInto(into, OccurrenceCache::kMostPerTarget);
        return true;
      }
    } catch (const std::bad_alloc&) {
      known = {};  // searched, as if the cache did not know it
      done.knownOccurrences.reset();
      engine.forgetOccurrences();
    }
    engine.recordInto(into, OccurrenceCache::kMostPerTarget);
    return true;
  }

  // Takes what `engine` recorded into `into` for the target of `key`, where
  // it recorded them all and there is room for them until they are written.
  void recorded(const MultiReplacer& engine, const FileKey& key,
                std::vector<MultiReplacer::Occurrence>& into, CandidateDone& done) {
    if (!engine.recordedAll()) return;
    // The table's scan finds them in order but for the texts of one start,
    // so that most lists need no sort.
    const auto byStart = [](const MultiReplacer::Occurrence& a,
                            const MultiReplacer::Occurrence& b) { return a.start < b.start; };
    if (!std::is_sorted(into.begin(), into.end(), byStart)) {
      std::sort(into.begin(), into.end());
      into.erase(std::unique(into.begin(), into.end()), into.end());
    }
    std::size_t room = room_.load();
    do {
      if (room < into.size()) return;
    } while (!room_.compare_exchange_weak(room, room - into.size()));
    done.occurrences = CandidateDone::Recorded{key, std::move(into)};
    into = {};
  }

  // In the candidates' order, what one target gave: what was recorded is
  // written to the new cache at once (with what the cache gave of the same
  // target), and its room given back. A target the cache gave all of is
  // written at the end, if anything is. One whose texts the cache lacked,
  // and whose recording of them failed, is left out.
  void take(CandidateDone& done) {
    if (!done.occurrences) {
      if (done.knownOccurrences && !lackingSearch_) kept_.push_back(*done.knownOccurrences);
      return;
    }
    const CandidateDone::Recorded target = std::move(*done.occurrences);
    done.occurrences.reset();
    room_ += target.occurrences.size();
    try {
      if (!writer_ && !failed_) writer_.emplace(file_, folder_, texts_, keysFrom_);
      if (!writer_) return;
      bool written = true;
      if (!done.knownOccurrences) {
        written = writer_->add(target.key, target.occurrences);
      } else if (OccurrenceCache::Pieces kept; cache_.find(target.key, kept)) {
        written = writer_->add(target.key, kept, target.occurrences);
      }
      if (!written) {
        writer_.reset();
        failed_ = true;
      }
    } catch (...) {  // memory, or the old cache unreadable
      writer_.reset();
      failed_ = true;
    }
  }

  // Puts the new cache in place where this run recorded something: with it
  // go the occurrences the old one gave of the targets this run met.
  void write() {
    if (!writer_) return;
    // A cache: where it cannot be written, the next run searches again.
    try {
      OccurrenceCache::Pieces kept;
      bool written = true;
      for (const FileKey& key : kept_) {
        written = written && !(cache_.find(key, kept) && !writer_->add(key, kept));
      }
      if (written) writer_->commit();
    } catch (...) {  // memory, or the old cache unreadable
    }
    writer_.reset();
  }

 private:
  // What the threads may hold recorded and not yet written, together.
  static constexpr std::size_t kRoomInFlight = std::size_t{1} << 19;

  fs::path file_;
  std::string_view folder_;
  std::vector<std::string_view> texts_;
  std::uint64_t device_;
  std::int64_t keysFrom_;
  std::int64_t settleNs_;
  OccurrenceCache cache_;
  bool covered_ = false;
  // The texts the cache lacks (by their numbers in texts_), and a search for
  // them alone; none where it lacks none or cannot serve the list.
  std::vector<std::uint32_t> lacking_;
  std::optional<PatternSearch> lackingSearch_;
  std::atomic<std::size_t> room_{kRoomInFlight};
  std::optional<OccurrenceCache::Writer> writer_;
  bool failed_ = false;
  std::vector<FileKey> kept_;
};

// The threads for the copy stage, as copyThreads() gives them for this
// process.
std::size_t threadsToUse(int asked) {
  int processors = 0;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (asked <= 0 && ::sched_getaffinity(0, sizeof cpus, &cpus) == 0) processors = CPU_COUNT(&cpus);
  std::optional<std::uint64_t> limit;
  rlimit files = {};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    limit = files.rlim_cur;
  }
  return UEXPProcessor::copyThreads(asked, processors, limit);
}

// How many candidates the workers may run ahead of the one the consumer
// takes next. A result is a few dozen bytes, and the copies are written by
// the workers themselves, so a wide window costs next to nothing; a narrow
// one holds every other worker back while one searches a large file (most
// of a tree's bytes are in its few large files), and the threads then take
// turns instead of working at once.
constexpr std::size_t kResultsAhead = 256;

// What the extra threads may hold of their own between them, and what one
// is taken to hold: its buffers (a search piece, and a content window that
// may grow to two), its engine's room kept for candidates (a megabyte at
// most) and its state for the content in hand, some 80 bytes a pair (the
// compiled rules are shared). The candidates themselves are shared out (see
// engineFor below). So memory stays bounded whatever the thread count
// asked for.
constexpr std::size_t kExtraThreadsBudget = std::size_t{32} << 20;
std::size_t threadEstimate(std::size_t pairs) { return (std::size_t{4} << 20) + 128 * pairs; }

std::int64_t nowNs() {
  struct timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return FileKey::nanoseconds(now);
}

// Why the storage could not take the new copies, in a few words.
std::string writeFailure(int error) {
  switch (error) {
    case ENOSPC:
      return "存储空间不足";
    case EDQUOT:
      return "超出存储配额";
    case EFBIG:
      return "文件超出大小限制";
    case EIO:
      return "存储读写出错";
    case ENOMEM:
      return "内存不足";
    case EROFS:
      return "存储为只读";
    case EACCES:
    case EPERM:
      return "权限不足";
    default:
      return "读写出错（" + std::string(std::strerror(error)) + "）";
  }
}

}  // namespace

std::size_t UEXPProcessor::copyThreads(int asked, int processors,
                                       std::optional<std::uint64_t> openFilesLimit) {
  // Beyond this, the storage and the single ordered output set the pace
  // (see bench/README.md), and each thread adds its buffers.
  constexpr int kMostDefaultThreads = 8;
  std::size_t threads =
      static_cast<std::size_t>(asked > 0 ? asked : std::clamp(processors, 1, kMostDefaultThreads));
  // Each thread holds a few files open at once (its source, its copy, the
  // folders of a path), beside the run's own and those the read-ahead keeps
  // (an eighth of the limit): under a low limit on open files, fewer threads
  // make the same run, where more would run out and keep the last set.
  if (openFilesLimit) {
    constexpr std::uint64_t kRunsOwn = 16;
    constexpr std::uint64_t kEachThread = 4;
    const std::uint64_t spare = *openFilesLimit - *openFilesLimit / 8;
    const std::uint64_t most = spare > kRunsOwn ? (spare - kRunsOwn) / kEachThread : 1;
    threads = static_cast<std::size_t>(
        std::min<std::uint64_t>(threads, std::max<std::uint64_t>(most, 1)));
  }
  return threads;
}

std::string UEXPProcessor::keptMessage(int error) const {
  const std::string kept = "，" + repackDir.filename().string() + " 保留上次完整的内容";
  // ESTALE: the path led elsewhere by the commit than where the set was made for.
  if (error == ESTALE) return "✗ 打包目录在运行中被换成了别的文件夹" + kept;
  return "✗ 无法写入打包目录（" + writeFailure(error) + "）" + kept;
}

void UEXPProcessor::keptOrRefused(const StagedFolder& copies) {
  if (!copies.refusal().empty()) fail(copies.refusal());
  // EBUSY: a cut move into a mount point that could not be finished; the
  // last complete content stands in the hidden folder named, not in the
  // repack folder, until a run can finish the move.
  if (!copies.inTheWay().empty() && copies.error() == EBUSY) {
    fail("✗ 无法完成上次被打断的替换，完整的内容暂存在 " + copies.inTheWay().string() +
         "，排除存储问题后重新运行即可完成");
  }
  if (!copies.inTheWay().empty()) {
    fail("✗ 无法移除 " + copies.inTheWay().string() + "，" + repackDir.filename().string() +
         " 保留上次完整的内容");
  }
}

std::function<void()> UEXPProcessor::waitingNotice() {
  // Flushed: the run is about to block, and the line must show meanwhile.
  // Said once a run: it may wait at recovery and again at the copy stage.
  return [this] {
    if (toldWaiting_) return;
    toldWaiting_ = true;
    console.println("⚠ 另一个运行正在使用打包目录，本次运行等待其结束...", "yellow");
    console.stream().flush();
  };
}

void UEXPProcessor::keepWhereUnpackUnknown(StagedFolder& copies, const FoundFiles& found) {
  // A subfolder that could not be listed may hold targets: the set would be
  // short, so the last one stays, as where the unpack folder itself cannot
  // be listed.
  if (!found.unlisted.empty()) {
    const FoundFiles::Unlisted& first = found.unlisted.front();
    console.println(folderAccessMessage(first.path, first.error), "red");
  } else if (!unpackWasMissing_ || !found.files.empty()) {
    return;
  } else {
    // The unpack folder was missing at the start and the constructor made
    // it empty: where the repack folder holds a set, the unpack folder was
    // most likely moved or renamed, and an empty set would delete the last
    // copies. Where it holds none (a first run), there is nothing to keep,
    // and the run goes on to say the folder holds no uexp files.
    // One the constructor could not make is named below, with why.
    std::error_code unreadable;
    if (!fs::is_directory(unpackDir, unreadable) ||
        files::findFilesRecursive(copies.folder(), ".uexp").files.empty()) {
      return;
    }
    console.println(folderAccessMessage(unpackDir, ENOENT), "red");
  }
  copies.keep();
  fail("✗ 无法读取解包目录，" + repackDir.filename().string() + " 保留上次完整的内容");
}

CopiedTargets UEXPProcessor::findAndCopyTargetUexp() { return findAndCopyTargetUexp(nullptr); }

CopiedTargets UEXPProcessor::findAndCopyTargetUexp(const RuleList& rules) {
  return findAndCopyTargetUexp(std::make_shared<const RuleList>(rules));
}

CopiedTargets UEXPProcessor::findAndCopyTargetUexp(std::shared_ptr<const RuleList> rules) {
  console.println("", "");
  console.println("步骤: 扫描匹配目标UEXP并复制到打包目录", "bold");
  if (!repackRefusal_.empty()) fail(repackRefusal_);
  // The copies are made beside the repack folder and take its place only
  // once all are made: until then it holds the last complete run's, and a
  // set that cannot be completed never takes its place.
  StagedFolder copies(repackDir, waitingNotice(),
                      [this](const fs::path& target) { return repackFolderRefusal(target); });
  if (!copies.staged()) {
    // Nowhere to make the copies: nothing is touched.
    keptOrRefused(copies);
    if (accessRefused(copies.error())) {
      console.println(folderAccessMessage(repackDir, copies.error()), "red");
    }
    fail(keptMessage(copies.error()));
  }
  if (copies.inPlace()) {
    console.println("⚠ 打包目录是挂载点，本次运行将逐个替换其中的文件", "yellow");
  }

  // The rules are applied while copying: the copies are always staged, so
  // the repack folder then holds nothing but this run's copies, each known
  // by its path (even a mount point's, whose old entries go aside first).
  CopiedTargets copied;
  std::shared_ptr<const RuleForms> forms;
  if (rules && !rules->empty()) {
    forms = std::make_shared<const RuleForms>(*rules);
    copied.rules = std::move(rules);
    copied.forms = forms;
  }

  // Files are kept in the index only if they had settled before this moment,
  // the earliest at which this run takes a file's key: a change after a key
  // was taken, in the same tick of the storage's clock, then cannot be kept.
  const std::int64_t keysFrom = nowNs();
  // The index is used only where the storage shows that it keeps the times
  // a key relies on, and with a settling time widened by how far its clock
  // stands from ours (see storage_times.h). The probe goes beside the
  // repack folder, as its staged copies do, never into the unpack folder.
  std::optional<storagetimes::Checked> checked;
  if (!indexFile_.empty()) {
    // Appended, not concatenated: GCC 12 warns falsely of an overlap in
    // "." + name at -O3 (GCC bug 105329).
    std::string probeName = ".";
    probeName += repackDir.filename().string();
    probeName += ".uexpmod-probe";
    checked = storagetimes::settleWindowFor(unpackDir, repackDir.parent_path(), probeName);
  }
  // The walk takes each file's key where there is an index to look them up in.
  std::error_code noIndex;
  const bool indexed = checked && fs::exists(indexFile_, noIndex);
  const FoundFiles found = files::findFilesRecursive(
      unpackDir, ".uexp", indexed ? FileKeys::kTaken : FileKeys::kNone);
  const std::vector<std::string>& candidates = found.files;
  keepWhereUnpackUnknown(copies, found);
  if (candidates.empty()) {
    reportUnreachable(unpackDir, found.rootError);
    std::error_code notThere;
    if (found.rootError != 0 || !fs::is_directory(unpackDir, notThere)) {
      // Nothing is known of the new set: the last one stays.
      if (found.rootError == 0 && !refusedFolders_.contains(unpackDir)) {
        console.println(folderAccessMessage(unpackDir, ENOENT), "red");
      }
      copies.keep();
      fail("✗ 无法读取解包目录，" + repackDir.filename().string() + " 保留上次完整的内容");
    }
    console.println("✗ 解包目录无uexp文件", "red");
    // An empty repack folder, as a run that matched nothing leaves it.
    if (!copies.commit()) {
      keptOrRefused(copies);
      fail(keptMessage(copies.error()));
    }
    return CopiedTargets();
  }
  const std::string total = std::to_string(candidates.size());
  console.println("扫描 " + total + " 个UEXP文件...", "cyan");

  // A file the last run found holding no marker, unchanged since, is not
  // opened at all; one it found holding it is opened to be copied, and
  // searched only if it changed meanwhile. The device number is the
  // mount's, and may change when the storage is mounted again (a phone's
  // shared storage after a reboot): then every file is searched, which
  // costs time, never a wrong selection.
  KnownSelection selection = checked
                                 ? knownFromIndex(indexFile_, unpackKey_, found, checked->device)
                                 : KnownSelection(candidates.size());

  // The rules' occurrences in the targets, kept like the index and where it
  // is used.
  std::optional<KnownOccurrences> occurrences;
  if (forms && checked && !occurrenceFile_.empty()) {
    occurrences.emplace(occurrenceFile_, unpackKey_, MultiReplacer::searchTexts(forms->pairs()),
                        checked->device, keysFrom, checked->settleNs);
  }

  std::ostream& out = console.stream();
  const std::string progressColor = console.getColorCode("yellow");
  // Failures are told after the progress line is finished, not inside it.
  std::vector<std::string> failures;
  // The candidates are searched and copied on several threads, each with its
  // own content and engine state, and what each found is taken in the
  // candidates' order on this one: the progress line, the failures, the
  // copies' list and what the index learns are those of one thread doing
  // them in turn. One thread does just that.
  std::size_t threads = threadsToUse(options_.threads);
  if (forms) {
    threads = std::min(threads, 1 + kExtraThreadsBudget / threadEstimate(forms->pairs().size()));
  }
  // Every thread opens its files through the read-ahead, which asks the
  // storage for the files after them once a search shows the tree is not in
  // memory: a thread a processor keeps too few reads in flight on its own.
  ReadAhead readAhead(candidates, unpackDir, selection.unopened(),
                      threads > 1 ? kResultsAhead : 0);
  std::vector<Worker> workers(threads);
  // The rules are compiled once, by the first thread to copy a target, and
  // every thread's engine shares them; the candidates an engine may hold are
  // shared out too, so that the threads together hold no more than one.
  std::mutex rulesMutex;
  std::optional<MultiReplacer> compiledRules;  // under rulesMutex until made
  const auto engineFor = [&](Worker& worker) -> MultiReplacer& {
    if (!worker.replacer) {
      {
        const std::lock_guard<std::mutex> hold(rulesMutex);
        if (!compiledRules) compiledRules.emplace(forms->pairs());
      }
      worker.replacer.emplace(compiledRules->sharingRules());
      worker.replacer->setCandidateBudget(PatternSearch::kCandidateBudget / threads);
    }
    return *worker.replacer;
  };
  // With several threads, the copies are made in whatever order the threads
  // reach them: each is written unnamed, and named here in the candidates'
  // order, so that its folders and it come into being in the order one
  // thread makes them in. Storage that lists a folder in creation order
  // (tmpfs, btrfs, an SD card's FAT) then lists the repack folder, and the
  // rewrite stage reports it, as after one thread.
  const bool unnamed = threads > 1;
  if (unnamed) copies.setScratchName(scratchNameFor(candidates, unpackDir));
  copies.setThreads(threads);
  OrderedWork<CandidateDone> work(threads, kResultsAhead);
  work.run(
      candidates.size(),
      [&](std::size_t i, std::size_t w) {
        CandidateDone done;
        if (selection.unopened()[i]) {
          done.unopened = true;
          return done;
        }
        Worker& worker = workers[w];
        // Held open after the search: the copy is made from it, the very
        // file searched. Opened again by its path, it could be another file
        // by then, and some storages (FUSE without a kept cache) would read
        // it again from the start. Its key is taken before the search: a
        // change during the search then shows in the key the next run sees.
        FileHandle opened;
        try {
          opened = readAhead.open(i);
          if (!opened && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) {
            // No descriptor or memory to open it with: this process's want,
            // not the source's fault. A set without it cannot be complete.
            copies.spoil(errno);
          }
          struct stat status = {};
          const bool keyed = opened && ::fstat(opened.get(), &status) == 0;
          const FileKey key = FileKey::of(status);
          if (keyed && selection.knownTarget(i, key)) {
            done.contains = ContainsResult::kFound;
          } else {
            done.searched = true;
            const ContentSearch::Result searched = ContentSearch::search(opened, targetPath);
            readAhead.searched(searched.wasInMemory);
            done.contains = searched.contains;
          }
          if (keyed && done.contains != ContainsResult::kUnreadable) {
            done.learned = SelectionIndex::Entry{key, done.contains == ContainsResult::kFound};
          }
        } catch (const std::bad_alloc&) {
          // Not the source's fault: the set cannot be completed.
          copies.spoil(ENOMEM);
          done.searched = true;
          done.contains = ContainsResult::kUnreadable;
        } catch (...) {
          done.searched = true;
          done.contains = ContainsResult::kUnreadable;
        }
        if (done.contains != ContainsResult::kFound) return done;
        // The relative path is taken as the walk formed it, links
        // unresolved, so every copy lands inside the repack folder.
        try {
          done.relative = fs::path(candidates[i]).lexically_relative(unpackDir);
          done.tried = true;
          const auto put = [&](fs::perms mode, const FileFill& fill) {
            return unnamed ? copies.writeUnnamed(i, done.relative, mode, fill, &opened)
                           : copies.write(done.relative, mode, fill, &opened);
          };
          if (forms) {
            MultiReplacer& engine = engineFor(worker);
            bool recording = false;
            const auto loaded = [&] {
              if (occurrences) {
                recording = occurrences->prepare(engine, worker.content, worker.known,
                                                 worker.occurrences, done);
              }
            };
            // Kept occurrences that could not be read again as they were
            // checked fail the rewrite: it is made again without them.
            const auto again = [&] {
              if (!done.knownOccurrences || !worker.known.failed()) return false;
              engine.forgetOccurrences();
              done.knownOccurrences.reset();
              recording = false;
              return true;
            };
            done.outcome = copyRewritten(put, opened, engine, worker.content, loaded, again);
            done.copied = done.outcome.has_value();
            if (recording && (done.outcome == RewriteOutcome::kRewritten ||
                              done.outcome == RewriteOutcome::kUnchanged)) {
              occurrences->recorded(engine, worker.content.key(), worker.occurrences, done);
            }
            engine.forgetOccurrences();
          } else {
            done.copied = put(files::permissionsOf(opened), files::copyOf(opened));
          }
        } catch (const std::bad_alloc&) {
          // No copy was tried, so none failed for its source: the set lacks
          // it for want of memory, and cannot be completed.
          copies.spoil(ENOMEM);
        } catch (...) {
          // No source's fault comes this way: a read of the source fails
          // inside the copy's fill, which the staged folder catches and
          // judges as any failed read (the source's fault where it no
          // longer reads whole). What is left to throw here (a lock, a
          // container's length) is this side's, so the set lacks a copy
          // for no fault of the source's and cannot be completed.
          copies.spoil(EIO);
        }
        return done;
      },
      [&](std::size_t i, CandidateDone done) {
        if ((i + 1) % 10 == 0 || i + 1 == candidates.size()) {
          out << "\r  " << progressColor << "进度: " << (i + 1) << "/" << total << "\033[0m";
          out.flush();
        }
        if (done.unopened) {
          selection.keepUnopened(i);
          return;
        }
        if (occurrences) occurrences->take(done);
        if (done.searched) selection.searched(i);
        if (done.learned) selection.learn(done.learned->key, done.learned->target);
        if (done.contains == ContainsResult::kNotFound) return;
        const fs::path candidate(candidates[i]);
        const std::string name = candidate.filename().string();
        if (done.contains == ContainsResult::kUnreadable) {
          failures.push_back("✗ 读取失败：" + name);
        } else if (done.copied && (!unnamed || copies.name(i, done.relative))) {
          if (done.outcome) copied.ruleOutcomes.emplace(repackDir / done.relative, *done.outcome);
          copied.sources.push_back(candidate);
        } else {
          // Not copied, or written unnamed and not named: a failed copy
          // either way. A write by name that failed left the copy's folders,
          // and so does this.
          if (unnamed && done.tried) copies.makeFoldersOf(done.relative);
          failures.push_back("✗ 复制失败：" + name);
        }
      });
  out << '\n';
  out.flush();
  if (selection.changed()) {
    // A cache: where it cannot be written, the next run searches again.
    SelectionIndex::write(indexFile_, unpackKey_, selection.takeLearned(), keysFrom,
                          checked->settleNs);
  }
  if (occurrences) occurrences->write();

  // The set goes in only where every copy that failed, failed for its
  // source alone; else the repack folder keeps the last complete run's
  // copies, and the rewrite stage never sees it.
  const bool committed = copies.commit();
  for (const std::string& failure : failures) console.println(failure, "red");
  if (!committed) {
    keptOrRefused(copies);
    fail(keptMessage(copies.error()));
  }
  copied.lock = std::make_shared<const StagedFolderLock>(copies.handOverLock());
  copied.folder = copies.folder();
  if (!copied.sources.empty()) {
    console.println(
        "✓ 匹配到 " + std::to_string(copied.sources.size()) + " 个文件，已复制到打包目录", "green");
  } else if (failures.empty()) {
    console.println("✗ 未匹配到含关键词的UEXP文件", "red");
  }
  return copied;
}

int UEXPProcessor::processUexpFiles(const RuleList& rules, const CopiedTargets& copied) {
  console.println("", "");
  console.println("步骤: 批量修改打包目录UEXP文件", "bold");
  // The folder the copies were put in, not the path followed again: a link
  // at it may lead elsewhere by now.
  const fs::path folder = copied.folder.empty() ? repackDir : copied.folder;
  const std::vector<std::string> files = files::findFilesRecursive(folder, ".uexp").files;
  if (files.empty()) {
    console.println("打包目录无uexp文件，跳过修改", "red");
    return 0;
  }

  // Copies made with other rules are rewritten like any other file.
  const bool sameRules = copied.rules && (copied.rules.get() == &rules || *copied.rules == rules);
  // The forms the copy stage made of the same rules serve here too.
  const std::shared_ptr<const RuleForms> madeForms =
      sameRules && copied.forms ? copied.forms : std::make_shared<const RuleForms>(rules);
  const RuleForms& forms = *madeForms;

  console.println("替换规则:", "cyan");
  // A line a rule, written a block at a time: a translator's list has
  // thousands.
  std::string lines;
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const ReplacementRule& rule = rules[i];
    lines += "  ";
    lines += std::to_string(i + 1);
    lines += ". '";
    lines += rule.searchText;
    lines += "' -> '";
    lines += rule.replacementText;
    lines += "'\n";
    if (!forms.hasForm(i)) {
      console.print(lines, "");
      lines.clear();
      console.println("     ⚠ 此规则无法等长替换，将跳过", "yellow");
    } else if (lines.size() >= kBlock) {
      console.print(lines, "");
      lines.clear();
    }
  }
  console.print(lines, "");
  console.println("", "");

  std::optional<MultiReplacer> replacer;  // made for the first file that needs it
  FileContent content;                    // one for every file, so its buffer is reused
  int rewritten = 0;
  for (const fs::path file : files) {
    RewriteOutcome outcome = RewriteOutcome::kFailed;
    // Copies the copy stage already rewrote with these rules are only reported.
    if (const auto known = copied.ruleOutcomes.find(repackDir / file.lexically_relative(folder));
        sameRules && known != copied.ruleOutcomes.end()) {
      outcome = known->second;
    } else {
      try {
        if (!replacer) replacer.emplace(forms.pairs());
        outcome = rewriteInPlace(file, *replacer, content);
      } catch (...) {
      }
    }
    const std::string name = file.filename().string();
    if (outcome == RewriteOutcome::kRewritten) {
      ++rewritten;
      console.println("✓ 已修改: " + name, "green");
    } else if (outcome == RewriteOutcome::kFailed) {
      console.println("✗ 修改失败: " + name, "red");
    }
  }

  console.println("", "");
  console.println("✓ 修改完成，共处理 " + std::to_string(rewritten) + " 个文件", "green");
  return rewritten;
}
