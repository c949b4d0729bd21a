// Any bytes as a rule file: parsing must never crash, and every rule it gives
// must have the shape loading promises.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/uexp_processor.h"
#include "util/string_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  const RuleList rules = UEXPProcessor::parseRules(in);

  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  if (rules.size() > lines) std::abort();
  for (const ReplacementRule& rule : rules) {
    const std::string& s = rule.searchText;
    if (s.empty() || rule.replacementText.empty()) std::abort();
    // A space always separates, so it never stands inside a search text.
    if (s.find(' ') != std::string::npos) std::abort();
    if (StringUtils::trim(s) != s) std::abort();
    if (text.find(s) == std::string::npos) std::abort();
    // Padding reaches the search text's character count. (With a lead byte
    // cut short at its end, the count of the padded text swallows spaces, so
    // the check is made where every byte is a whole character.)
    bool ascii = true;
    for (const char c : rule.replacementText) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii && rule.replacementText.size() < StringUtils::calculateStringLength(s)) std::abort();
  }
  return 0;
}
