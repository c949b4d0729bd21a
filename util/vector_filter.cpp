#include "util/vector_filter.h"

#include <algorithm>
#include <numeric>

VectorFilter::VectorFilter(const std::vector<std::string_view>& patterns) {
  // Patterns in byte order share buckets with their neighbours, which often
  // share their first bytes too, so the buckets stay selective.
  std::vector<std::size_t> order(patterns.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return patterns[a] < patterns[b]; });
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::string_view pattern = patterns[order[k]];
    const auto bucket = static_cast<unsigned char>(1u << (k * 8 / order.size()));
    for (std::size_t j = 0; j < 3; ++j) {
      if (j < pattern.size()) {
        const auto b = static_cast<unsigned char>(pattern[j]);
        low_[j][b & 15] |= bucket;
        high_[j][b >> 4] |= bucket;
      } else {  // past a short pattern's end any byte fits
        for (int n = 0; n < 16; ++n) {
          low_[j][n] |= bucket;
          high_[j][n] |= bucket;
        }
      }
    }
  }
}
