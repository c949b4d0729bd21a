// Rule files: one replacement per line, split at the first of five separators
// that leaves text on both sides, with the replacement padded to the search
// text's character count.
#include <array>
#include <fstream>
#include <optional>
#include <string>

#include "app/uexp_processor.h"
#include "util/string_utils.h"

namespace fs = std::filesystem;

namespace {

// Tried in this order; the first that splits the line into two non-empty
// sides wins, wherever it stands in the line.
constexpr std::array<std::string_view, 5> kSeparators = {" ", "=", ":", "->", "替换成"};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Pads `replacement` with spaces to the character count of `search`.
void pad(std::string_view search, std::string& replacement) {
  const std::size_t searchLength = StringUtils::calculateStringLength(search);
  const std::size_t replacementLength = StringUtils::calculateStringLength(replacement);
  if (replacementLength < searchLength) replacement.append(searchLength - replacementLength, ' ');
}

std::optional<ReplacementRule> parseLine(std::string_view rawLine) {
  const std::string_view line = StringUtils::trimView(rawLine);
  if (line.empty() || line.front() == '#') return std::nullopt;
  for (const std::string_view separator : kSeparators) {
    const std::size_t at = line.find(separator);
    if (at == std::string_view::npos) continue;
    const std::string_view search = StringUtils::trimView(line.substr(0, at));
    const std::string_view replacement = StringUtils::trimView(line.substr(at + separator.size()));
    if (search.empty() || replacement.empty()) continue;
    ReplacementRule rule{std::string(search), std::string(replacement)};
    pad(rule.searchText, rule.replacementText);
    return rule;
  }
  return std::nullopt;
}

}  // namespace

RuleList UEXPProcessor::parseRules(std::istream& text) {
  RuleList rules;
  std::string line;
  bool first = true;
  while (std::getline(text, line)) {
    std::string_view view = line;
    // A byte-order mark is an editor's artefact, not part of the first rule.
    if (first && view.starts_with(kByteOrderMark)) view.remove_prefix(kByteOrderMark.size());
    first = false;
    if (auto rule = parseLine(view)) rules.push_back(std::move(*rule));
  }
  return rules;
}

std::pair<std::string, std::string> UEXPProcessor::alignStringPair(
    const std::string& searchText, const std::string& replacementText) {
  std::string aligned = replacementText;
  pad(searchText, aligned);
  return {searchText, std::move(aligned)};
}

RuleForms::RuleForms(const RuleList& rules) {
  for (const ReplacementRule& rule : rules) {
    const std::string& search = rule.searchText;
    const std::string& replacement = rule.replacementText;
    if (search.size() == replacement.size()) {
      hasForm_.push_back(!search.empty());
      if (!search.empty()) pairs_.push_back({search, replacement});
      continue;
    }
    std::string search16 = UTF8Utils::utf8ToUtf16LE(search);
    std::string replacement16 = UTF8Utils::utf8ToUtf16LE(replacement);
    hasForm_.push_back(!search16.empty() && search16.size() == replacement16.size());
    if (!hasForm_.back()) continue;
    const std::string& s = converted_.emplace_back(std::move(search16));
    const std::string& r = converted_.emplace_back(std::move(replacement16));
    pairs_.push_back({s, r});
  }
}

RuleList UEXPProcessor::loadConfig(const fs::path& configFile) {
  std::ifstream file(configFile, std::ios::binary);
  if (!file) fail("错误: 无法打开配置文件");
  RuleList rules = parseRules(file);
  if (rules.empty()) fail("错误: 配置文件无有效替换规则");
  return rules;
}
