// The character count and the UTF-16LE conversion against a second, plainly
// written reading of their rules: counted by lead byte, decoded leniently,
// stopping at a sequence cut short.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/string_utils.h"

namespace {

// Sequence length announced by a lead byte; 0 for bytes that lead nothing.
int announced(unsigned b) {
  if (b <= 0x7F) return 1;
  if (b >= 0xC0 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF7) return 4;
  return 0;
}

std::size_t referenceCount(const std::string& t) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < t.size(); ++count) {
    const int n = announced(static_cast<unsigned char>(t[i]));
    i += n == 0 ? 1 : static_cast<std::size_t>(n);
  }
  return count;
}

std::string referenceUtf16(const std::string& t) {
  std::vector<unsigned> units;
  std::size_t i = 0;
  while (i < t.size()) {
    const unsigned lead = static_cast<unsigned char>(t[i]);
    const int n = announced(lead);
    if (n == 0) {
      ++i;
      continue;
    }
    if (t.size() - i < static_cast<std::size_t>(n)) break;
    static const unsigned leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    unsigned cp = lead & leadMask[n];
    for (int k = 1; k < n; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(t[i + static_cast<std::size_t>(k)]) & 0x3F);
    i += static_cast<std::size_t>(n);
    if (n == 4 && cp >= 0x10000) {
      units.push_back((0xD800 + ((cp - 0x10000) >> 10)) & 0xFFFF);
      units.push_back((0xDC00 + ((cp - 0x10000) & 0x3FF)) & 0xFFFF);
    } else {
      units.push_back(cp & 0xFFFF);
    }
  }
  std::string out;
  for (const unsigned u : units) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t count = UTF8Utils::calculateStringLength(text);
  if (count != referenceCount(text) || count != StringUtils::calculateStringLength(text))
    std::abort();
  if (UTF8Utils::utf8ToUtf16LE(text) != referenceUtf16(text)) std::abort();
  return 0;
}
