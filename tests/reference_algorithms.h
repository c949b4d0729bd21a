#pragma once

// The plain algorithms the fast ones must agree with, byte for byte: a naive
// search from every position, and sequential same-length replacement with one
// left-to-right pass per rule.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reference {

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

inline std::size_t find(const std::vector<char>& buffer, std::string_view pattern,
                        std::size_t start) {
  if (pattern.empty() || buffer.size() < pattern.size() || start >= buffer.size()) return kNotFound;
  for (std::size_t p = start; p + pattern.size() <= buffer.size(); ++p) {
    std::size_t k = 0;
    while (k < pattern.size() && buffer[p + k] == pattern[k]) ++k;
    if (k == pattern.size()) return p;
  }
  return kNotFound;
}

// Every (pattern index, start) where a pattern lies wholly inside
// buffer[begin, end), by pattern, then by start.
inline std::vector<std::pair<std::size_t, std::size_t>> findAll(
    const std::vector<char>& buffer, const std::vector<std::string_view>& patterns,
    std::size_t begin, std::size_t end) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    const std::string_view p = patterns[id];
    for (std::size_t at = begin; !p.empty() && at + p.size() <= end; ++at) {
      std::size_t k = 0;
      while (k < p.size() && buffer[at + k] == p[k]) ++k;
      if (k == p.size()) out.emplace_back(id, at);
    }
  }
  return out;
}

inline bool replace(std::vector<char>& buffer, std::string_view search,
                    std::string_view replacement) {
  if (search.size() != replacement.size() || search.empty()) return false;
  bool replaced = false;
  std::size_t pos = 0;
  while ((pos = find(buffer, search, pos)) != kNotFound) {
    for (std::size_t k = 0; k < replacement.size(); ++k) buffer[pos + k] = replacement[k];
    pos += replacement.size();
    replaced = true;
  }
  return replaced;
}

inline bool replaceAll(std::vector<char>& buffer,
                       const std::vector<std::pair<std::string, std::string>>& rules) {
  bool replaced = false;
  for (const auto& [search, replacement] : rules)
    replaced = replace(buffer, search, replacement) || replaced;
  return replaced;
}

}  // namespace reference
