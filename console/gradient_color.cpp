#include "console/gradient_color.h"

namespace {

std::uint32_t seedFromDevice() {
  std::random_device device;
  return device();
}

}  // namespace

GradientColor::GradientColor(std::ostream& out)
    : gradients{
          {"\033[38;5;201m", "\033[38;5;165m", "\033[38;5;129m"},  // magenta to purple
          {"\033[38;5;51m", "\033[38;5;87m", "\033[38;5;123m"},    // cyan, lightening
          {"\033[38;5;208m", "\033[38;5;214m", "\033[38;5;220m"},  // orange to gold
          {"\033[38;5;84m", "\033[38;5;120m", "\033[38;5;156m"},   // green, lightening
          {"\033[38;5;199m", "\033[38;5;205m", "\033[38;5;211m"},  // pink, lightening
      },
      randomEngine(seedFromDevice()),
      gradientDist(0, 4),
      out_(out) {}

std::vector<std::string> GradientColor::getRandomGradient() {
  return gradients[static_cast<std::size_t>(gradientDist(randomEngine))];
}

void GradientColor::printGradient(std::string_view text, std::int32_t index) {
  const std::vector<std::string> row = getRandomGradient();
  const auto shade = static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) % row.size();
  out_ << row[shade] << text << "\033[0m";
}

void GradientColor::printlnGradient(std::string_view text, std::int32_t index) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  printGradient(line, index);
}
