#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/color_console.h"
#include "console/gradient_color.h"
#include "util/file_handle.h"
#include "util/multi_replacer.h"
#include "util/staged_folder.h"

class StagedFolder;
struct FoundFiles;

// One text replacement, UTF-8 on both sides. After loading, the replacement
// has at least as many characters as the search text (shorter ones are padded
// with spaces); byte lengths may still differ.
struct ReplacementRule {
  std::string searchText;
  std::string replacementText;

  bool operator==(const ReplacementRule&) const = default;
};

// Rules in file order; never empty once loaded.
using RuleList = std::vector<ReplacementRule>;

// The same-length byte form in which each rule is applied: its UTF-8 texts
// when their byte lengths agree, else their UTF-16LE forms when those agree,
// else none. UTF-8 forms are views of the rules' own texts, which must
// outlive this: a rule text is never held twice.
class RuleForms {
 public:
  explicit RuleForms(const RuleList& rules);
  RuleForms(const RuleForms&) = delete;
  RuleForms& operator=(const RuleForms&) = delete;

  // The forms of the rules that have one, in rule order.
  const std::vector<BytePair>& pairs() const { return pairs_; }
  // Whether rule `index` has a form.
  bool hasForm(std::size_t index) const { return hasForm_[index]; }

 private:
  std::deque<std::string> converted_;  // UTF-16LE texts, which a deque never moves
  std::vector<BytePair> pairs_;
  std::vector<bool> hasForm_;
};

// What the rules did to one target copy.
enum class RewriteOutcome {
  kUnchanged,  // no rule occurs in it; it holds the source's bytes
  kRewritten,  // it holds the rewritten bytes
  kFailed,     // the rules could not be applied or their result written; it keeps its bytes
};

// What the copy stage did.
struct CopiedTargets {
  std::vector<std::filesystem::path> sources;  // the unpacked files copied, in the order found
  // The copies made with `rules` applied, by their path in the repack folder,
  // and what the rules did to each: rewritten, unchanged, or failed (a plain
  // copy stands).
  std::map<std::filesystem::path, RewriteOutcome> ruleOutcomes;
  std::shared_ptr<const RuleList> rules;  // the rules applied to those copies
  std::shared_ptr<const RuleForms> forms;  // and their forms
  // The repack folder's lock (see StagedFolder), held while the copies are
  // rewritten, so that another run cannot put its own copies in their place
  // meanwhile.
  std::shared_ptr<const StagedFolderLock> lock;
  // The folder the copies were put in: where the repack folder's path led
  // when they were (StagedFolder::folder()). Empty: the repack folder's path.
  std::filesystem::path folder;
};

// Thrown by a stage that cannot go on, after it has printed its message.
// Deliberately not a std::exception, so the pass's exception report never
// catches it; runFullProcess turns it into the process exit status.
class FatalExit {
 public:
  explicit FatalExit(int status) : status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// How a run was asked to go, by its command line.
struct RunOptions {
  // Answers to the pak menu and the rule-file menu, each a file name or a
  // menu number; an answer given here is checked against the menu's entries
  // and nothing is read for that menu.
  std::optional<std::string> pakAnswer;
  std::optional<std::string> rulesAnswer;
  // Threads that search and copy the targets; 0 for the default, one for
  // each processor the process may run on (up to eight).
  int threads = 0;
};

// Runs one modding pass over a workspace: gather source paks, choose a pak and
// a rule file, load the rules, copy the target .uexp files into the repack
// folder and rewrite them there.
class UEXPProcessor {
 public:
  // Sets the folders below `workspaceRoot` and creates them, silently. Menu
  // answers are read from `in`; everything the user sees goes to `out`. What
  // the target search finds is kept in `cacheFolder` between runs, so that
  // a run searches only the files that changed since the last (see
  // SelectionIndex); none keeps nothing, and every file is searched.
  // `options` may answer the menus in place of `in`.
  explicit UEXPProcessor(const std::filesystem::path& workspaceRoot, std::istream& in = std::cin,
                         std::ostream& out = std::cout,
                         const std::filesystem::path& cacheFolder = {},
                         const RunOptions& options = {});

  // Runs every stage once, in order. Returns the process exit status: 0 when
  // the pass ran to its end or found no target file; 1 after a fatal stage
  // condition (the repack folder kept as it was, among them) or a reported
  // exception.
  int runFullProcess();

  // Source pak gathering and the two menus (input_selection.cpp).
  void autoCopySpecPak();
  std::filesystem::path getAutoSelectPak() const;
  std::filesystem::path selectPakFile();
  std::filesystem::path selectConfigFile();

  // Rule loading (replacement_rules.cpp). loadConfig ends the pass through
  // FatalExit when the file cannot be opened or yields no rule.
  RuleList loadConfig(const std::filesystem::path& configFile);
  // The rules that the lines of `text` define, possibly none.
  static RuleList parseRules(std::istream& text);
  // The search text unchanged and the replacement padded with trailing spaces
  // to the search text's character count when it has fewer characters.
  static std::pair<std::string, std::string> alignStringPair(const std::string& searchText,
                                                             const std::string& replacementText);

  // Target selection and rewriting (uexp_processing.cpp). The copies are
  // made beside the repack folder and take its place whole once all are
  // made, so that however a run ends, the folder holds the last complete
  // run's copies or this one's. A run that cannot complete its set (a copy
  // the storage could not take, an unpack folder that cannot be listed, no
  // room for the staging folder) keeps the folder as it was and ends the
  // pass through FatalExit(1), as does a repack folder that may not be
  // written (see repackFolderRefusal). Given rules, the copies are made with
  // the rules already applied, so each target is read once and written once;
  // without rules, they are plain copies. processUexpFiles rewrites every
  // copy it finds, except those that `copied` says were made with the very
  // same rules: it only reports those, in its own order. Either way the files
  // and the output are the same. The second form copies `rules`; the third
  // shares them.
  CopiedTargets findAndCopyTargetUexp();
  CopiedTargets findAndCopyTargetUexp(const RuleList& rules);
  CopiedTargets findAndCopyTargetUexp(std::shared_ptr<const RuleList> rules);
  int processUexpFiles(const RuleList& rules, const CopiedTargets& copied);

  // The red line that says why `folder` could not be listed or made: `error`
  // is an errno value. Below the phone's shared storage it also says how a
  // terminal app is granted access to it.
  static std::string folderAccessMessage(const std::filesystem::path& folder, int error);
  // Whether an errno value says access was refused.
  static bool accessRefused(int error);

  // The thread count the run was given (RunOptions::threads).
  int threads() const { return options_.threads; }
  // The threads the copy stage takes: `asked` (0: one for each of the
  // `processors` the process may run on, up to 8), fewer where
  // `openFilesLimit` (none: no limit) could not hold the descriptors each
  // needs beside the run's own.
  static std::size_t copyThreads(int asked, int processors,
                                 std::optional<std::uint64_t> openFilesLimit);

 private:
  struct Menu;
  Menu pakMenu() const;
  Menu configMenu() const;
  std::filesystem::path chooseFromMenu(const Menu& menu);
  // The source folder's first pak, which the pak menu's place takes; empty
  // where the source folder holds none.
  std::filesystem::path autoSelectedPak() const;
  // Checks the menus' answers given on the command line against what the
  // menus will offer, before anything is gathered: one not offered ends the
  // pass with answeredEntry's red line.
  void checkAnswers();
  // The position in `candidates` of the entry that `answer`, given with the
  // command-line `option`, names by file name (the first of equal names),
  // else by the number the menu would read from it as typed; where none, ends
  // the pass with the red line that lists them.
  std::size_t answeredEntry(const std::vector<std::string>& candidates, std::string_view option,
                            const std::string& answer);
  [[noreturn]] void fail(std::string_view message);
  // The red line that says why the repack folder keeps its last complete
  // content: `error` is an errno value from StagedFolder.
  std::string keptMessage(int error) const;
  // Ends the pass with the red line of a folder `copies` refused to replace,
  // or of a set of its own that stood in the way; returns otherwise.
  void keptOrRefused(const StagedFolder& copies);
  // Tells the user, once a run, that it waits for another's lock on the
  // repack folder.
  std::function<void()> waitingNotice();
  // Why the repack folder may not be written, as the red line that says so
  // (a link into the workspace's inputs, or no folder at its path); empty
  // where it may.
  // `target` is where the repack folder's path leads (StagedFolder::resolve).
  std::string repackFolderRefusal(const std::filesystem::path& target) const;
  // Prints folderAccessMessage when `folder` could not be listed
  // (`listError`, from its walk) or, missing, could not be made because
  // access was refused; nothing when it is merely missing or empty.
  void reportUnreachable(const std::filesystem::path& folder, int listError);
  // Ends the run, keeping the repack folder's last set (`copies` not
  // committed), where the walk of the unpack folder (`found`) cannot stand
  // for the whole new set: a subfolder could not be listed, or the unpack
  // folder was missing at the start while the repack folder holds a set.
  void keepWhereUnpackUnknown(StagedFolder& copies, const FoundFiles& found);

  std::filesystem::path pakDir;
  std::filesystem::path unpackDir;
  std::filesystem::path repackDir;
  std::filesystem::path configDir;
  std::filesystem::path workspaceRoot_;
  std::string targetPath;
  std::filesystem::path specPakDir;
  ColorConsole console;
  GradientColor gradient;
  std::istream& in_;
  // The unpack folder's absolute path, which names it in its selection
  // index, and the file that holds that index (none without a cache folder).
  std::string unpackKey_;
  std::filesystem::path indexFile_;
  std::filesystem::path occurrenceFile_;  // where the rules' occurrences are kept (OccurrenceCache)
  bool toldWaiting_ = false;  // waitingNotice's line was printed
  // The workspace folders the constructor could not make because access was
  // refused, with the errno value.
  std::map<std::filesystem::path, int> refusedFolders_;
  // Whether nothing stood at the unpack folder's path when the run started,
  // before the constructor made it: a repack folder that holds a set then
  // keeps it (see findAndCopyTargetUexp).
  bool unpackWasMissing_ = false;
  RunOptions options_;
  // repackFolderRefusal() at the start: where it is set, nothing is done to
  // the repack folder or where it leads.
  std::string repackRefusal_;
};
