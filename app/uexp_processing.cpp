// Target files: selecting the unpacked .uexp files that mention the target
// path, copying them into the repack folder, and rewriting the copies.
#include <iostream>
#include <string>

#include "app/uexp_processor.h"
#include "util/file_utils.h"
#include "util/multi_replacer.h"
#include "util/string_utils.h"

namespace fs = std::filesystem;

namespace {

// The same-length byte form in which a rule is applied: its UTF-8 texts when
// their byte lengths agree, else their UTF-16LE forms when those agree, else
// none.
std::optional<BytePair> sameLengthForm(const ReplacementRule& rule) {
  if (rule.searchText.size() == rule.replacementText.size()) {
    if (rule.searchText.empty()) return std::nullopt;
    return BytePair{rule.searchText, rule.replacementText};
  }
  std::string search = UTF8Utils::utf8ToUtf16LE(rule.searchText);
  std::string replacement = UTF8Utils::utf8ToUtf16LE(rule.replacementText);
  if (search.empty() || search.size() != replacement.size()) return std::nullopt;
  return BytePair{std::move(search), std::move(replacement)};
}

}  // namespace

std::vector<fs::path> UEXPProcessor::findAndCopyTargetUexp() {
  console.println("", "");
  console.println("步骤: 扫描匹配目标UEXP并复制到打包目录", "bold");
  FileUtils::removeDirectory(repackDir);
  FileUtils::createDirectories(repackDir);

  std::vector<fs::path> copied;
  const std::vector<fs::path> candidates = FileUtils::findFilesRecursive(unpackDir, ".uexp");
  if (candidates.empty()) {
    console.println("✗ 解包目录无uexp文件", "red");
    return copied;
  }
  const std::string total = std::to_string(candidates.size());
  console.println("扫描 " + total + " 个UEXP文件...", "cyan");

  std::ostream& out = console.stream();
  const std::string progressColor = console.getColorCode("yellow");
  // Failures are told after the progress line is finished, not inside it.
  std::vector<std::string> failures;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const fs::path& candidate = candidates[i];
    if ((i + 1) % 10 == 0 || i + 1 == candidates.size()) {
      out << "\r  " << progressColor << "进度: " << (i + 1) << "/" << total << "\033[0m";
      out.flush();
    }

    ContainsResult content = ContainsResult::kUnreadable;
    try {
      content = FileUtils::containsBytes(candidate, targetPath);
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
      done = FileUtils::copyFile(candidate, repackDir / candidate.lexically_relative(unpackDir));
    } catch (...) {
    }
    if (done) {
      copied.push_back(candidate);
    } else {
      failures.push_back("✗ 复制失败：" + name);
    }
  }
  out << '\n';
  out.flush();

  for (const std::string& failure : failures) console.println(failure, "red");
  if (!copied.empty()) {
    console.println("✓ 匹配到 " + std::to_string(copied.size()) + " 个文件，已复制到打包目录",
                    "green");
  } else if (failures.empty()) {
    console.println("✗ 未匹配到含关键词的UEXP文件", "red");
  }
  return copied;
}

int UEXPProcessor::processUexpFiles(const RuleList& rules) {
  console.println("", "");
  console.println("步骤: 批量修改打包目录UEXP文件", "bold");
  const std::vector<fs::path> files = FileUtils::findFilesRecursive(repackDir, ".uexp");
  if (files.empty()) {
    console.println("打包目录无uexp文件，跳过修改", "red");
    return 0;
  }

  console.println("替换规则:", "cyan");
  std::vector<BytePair> pairs;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const ReplacementRule& rule = rules[i];
    console.println("  " + std::to_string(i + 1) + ". '" + rule.searchText + "' -> '" +
                        rule.replacementText + "'",
                    "");
    if (auto pair = sameLengthForm(rule)) {
      pairs.push_back(std::move(*pair));
    } else {
      console.println("     ⚠ 此规则无法等长替换，将跳过", "yellow");
    }
  }
  console.println("", "");

  MultiReplacer replacer(std::move(pairs));
  int rewritten = 0;
  ByteBuffer bytes;  // one buffer for every file, grown to the largest
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    bool ok = false;
    try {
      const bool read = FileUtils::readBinaryFile(file, bytes);
      if (read && !replacer.apply(bytes)) continue;  // nothing to change: left untouched
      ok = read && FileUtils::writeBinaryFile(file, bytes);
    } catch (...) {
    }
    if (ok) {
      ++rewritten;
      console.println("✓ 已修改: " + name, "green");
    } else {
      console.println("✗ 修改失败: " + name, "red");
    }
  }

  console.println("", "");
  console.println("✓ 修改完成，共处理 " + std::to_string(rewritten) + " 个文件", "green");
  return rewritten;
}
