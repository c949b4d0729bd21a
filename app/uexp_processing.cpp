// Target files: selecting the unpacked .uexp files that mention the target
// path, copying them into the repack folder, and rewriting the copies.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "app/uexp_processor.h"
#include "util/content_search.h"
#include "util/file_content.h"
#include "util/file_utils.h"
#include "util/multi_replacer.h"
#include "util/read_ahead.h"
#include "util/string_utils.h"

namespace fs = std::filesystem;

namespace {

// Copies the target `from`, open as `opened`, to the new file `to` with the
// rules applied on the way: the source is loaded once and the copy written
// once, where copying and then rewriting the copy would write it twice and
// read it back between. Empty when no copy could be made. When the rules
// cannot be applied or their result cannot be written, a plain copy stands,
// as after a failed rewrite.
std::optional<RewriteOutcome> copyRewritten(const fs::path& from, FileHandle opened,
                                            const fs::path& to, MultiReplacer& replacer,
                                            FileContent& source) {
  bool whole = false;  // the rules saw the source's bytes, and they did not change until written
  bool changed = false;
  bool written = false;
  try {
    // The copy is written inside the edit: written from a map, it is only
    // known to hold what the rules made of the source once the edit is over.
    whole = source.load(std::move(opened)) && source.edit([&](std::span<char> bytes) {
      changed = replacer.apply(bytes, std::bind_front(&FileContent::prepareWrites, &source));
      written = FileUtils::writeNewFile(to, source.bytes(), source.permissions());
    });
    if (whole && written) return changed ? RewriteOutcome::kRewritten : RewriteOutcome::kUnchanged;
  } catch (...) {
  }
  // A copy written from bytes that changed meanwhile is replaced.
  const bool copied = written ? FileUtils::copyFile(from, to)
                              : FileUtils::copyToNewFile(FileHandle::openForReading(from), to);
  if (!copied) {
    std::error_code ec;
    if (written) fs::remove(to, ec);
    return std::nullopt;
  }
  return whole && !changed ? RewriteOutcome::kUnchanged : RewriteOutcome::kFailed;
}

// Applies the rules to `file` where it stands; written back only if changed.
RewriteOutcome rewriteInPlace(const fs::path& file, MultiReplacer& replacer, FileContent& content) {
  try {
    bool changed = false;
    std::optional<StagedWrite> staged;
    // The new bytes are written inside the edit: pages the rules left alone
    // are still read from the map, and only the edit can tell whether they
    // held the file's bytes to the end. They replace the file only then.
    if (!content.load(file) || !content.edit([&](std::span<char> bytes) {
          changed = replacer.apply(bytes, std::bind_front(&FileContent::prepareWrites, &content));
          if (changed) staged.emplace(file, content.bytes());
        })) {
      return RewriteOutcome::kFailed;
    }
    if (!changed) return RewriteOutcome::kUnchanged;
    if (staged->commit()) return RewriteOutcome::kRewritten;
  } catch (...) {
  }
  return RewriteOutcome::kFailed;
}

}  // namespace

CopiedTargets UEXPProcessor::findAndCopyTargetUexp() { return findAndCopyTargetUexp({}); }

CopiedTargets UEXPProcessor::findAndCopyTargetUexp(const RuleList& rules) {
  console.println("", "");
  console.println("步骤: 扫描匹配目标UEXP并复制到打包目录", "bold");
  const bool emptied = FileUtils::removeDirectory(repackDir);
  FileUtils::createDirectories(repackDir);

  // Rewriting while copying needs a folder that holds nothing but this run's
  // copies. Beside what a failed removal left, a copy could land in an old
  // folder whose name differs only in case (where the storage ignores case),
  // be listed by the next stage under that spelling, not be recognised as a
  // copy, and have the rules applied to it a second time.
  std::optional<RuleForms> forms;
  std::optional<MultiReplacer> replacer;
  if (emptied && !rules.empty()) replacer.emplace(forms.emplace(rules).pairs());
  FileContent source;  // one for every target, so a read buffer is reused

  CopiedTargets copied;
  if (replacer) copied.rules = rules;
  const FoundFiles found = FileUtils::findFilesRecursive(unpackDir, ".uexp");
  const std::vector<fs::path>& candidates = found.files;
  if (candidates.empty()) {
    reportUnreachable(unpackDir, found.rootError);
    console.println("✗ 解包目录无uexp文件", "red");
    return copied;
  }
  const std::string total = std::to_string(candidates.size());
  console.println("扫描 " + total + " 个UEXP文件...", "cyan");

  std::ostream& out = console.stream();
  const std::string progressColor = console.getColorCode("yellow");
  // Failures are told after the progress line is finished, not inside it.
  std::vector<std::string> failures;
  ReadAhead readAhead(candidates, unpackDir);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const fs::path& candidate = candidates[i];
    if ((i + 1) % 10 == 0 || i + 1 == candidates.size()) {
      out << "\r  " << progressColor << "进度: " << (i + 1) << "/" << total << "\033[0m";
      out.flush();
    }

    // Held open after the search: a copy made with the rules is loaded from
    // it, the very file searched. Opened again by its path, it could be
    // another file by then, and some storages (FUSE without a kept cache)
    // would read it again from the start.
    FileHandle opened;
    ContainsResult content = ContainsResult::kUnreadable;
    try {
      opened = readAhead.open(i);
      const ContentSearch::Result searched = ContentSearch::search(opened, targetPath);
      readAhead.searched(searched.wasInMemory);
      content = searched.contains;
    } catch (...) {
    }
    if (content == ContainsResult::kNotFound) continue;
    const std::string name = candidate.filename().string();
    if (content == ContainsResult::kUnreadable) {
      failures.push_back("✗ 读取失败：" + name);
      continue;
    }

    // The relative path is taken as the walk formed it, links unresolved, so
    // every copy lands inside the repack folder.
    bool done = false;
    try {
      const fs::path copy = repackDir / candidate.lexically_relative(unpackDir);
      if (replacer) {
        // The entry is made first: a copy, once written, must never lack one,
        // or the next stage would apply the rules to it a second time.
        const auto entry = copied.rewritten.try_emplace(copy, RewriteOutcome::kFailed).first;
        const std::optional<RewriteOutcome> outcome =
            copyRewritten(candidate, std::move(opened), copy, *replacer, source);
        if (outcome) {
          entry->second = *outcome;
        } else {
          copied.rewritten.erase(entry);
        }
        done = outcome.has_value();
      } else if (emptied) {
        done = FileUtils::copyToNewFile(opened, copy);
      } else {
        // Last run's copy may still stand there: it is replaced whole.
        done = FileUtils::copyFile(candidate, copy);
      }
    } catch (...) {
    }
    if (done) {
      copied.sources.push_back(candidate);
    } else {
      failures.push_back("✗ 复制失败：" + name);
    }
  }
  out << '\n';
  out.flush();

  for (const std::string& failure : failures) console.println(failure, "red");
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
  const std::vector<fs::path> files = FileUtils::findFilesRecursive(repackDir, ".uexp").files;
  if (files.empty()) {
    console.println("打包目录无uexp文件，跳过修改", "red");
    return 0;
  }

  console.println("替换规则:", "cyan");
  const RuleForms forms(rules);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const ReplacementRule& rule = rules[i];
    console.println("  " + std::to_string(i + 1) + ". '" + rule.searchText + "' -> '" +
                        rule.replacementText + "'",
                    "");
    if (!forms.hasForm(i)) console.println("     ⚠ 此规则无法等长替换，将跳过", "yellow");
  }
  console.println("", "");

  // Copies made with other rules are rewritten like any other file.
  const bool sameRules = copied.rules == rules;
  std::optional<MultiReplacer> replacer;  // made for the first file that needs it
  FileContent content;                    // one for every file, so a read buffer is reused
  int rewritten = 0;
  for (const fs::path& file : files) {
    RewriteOutcome outcome = RewriteOutcome::kFailed;
    // Copies the copy stage already rewrote with these rules are only reported.
    if (const auto known = copied.rewritten.find(file);
        sameRules && known != copied.rewritten.end()) {
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
