#pragma once

#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Prints decorative lines in one of five three-shade colour rows of the
// 256-colour palette. Every call draws a row at random; the caller's index
// picks the shade within the row, so consecutive menu entries step through it.
class GradientColor {
 public:
  // Seeds the engine once from the system's random device.
  explicit GradientColor(std::ostream& out = std::cout);

  // A copy of one randomly drawn row of three escape sequences.
  std::vector<std::string> getRandomGradient();

  // Writes shade (index mod 3, the index taken as an unsigned 64-bit value) of
  // a freshly drawn row, the text unchanged, then "\033[0m".
  void printGradient(std::string_view text, std::int32_t index);
  // printGradient() of the text followed by "\n".
  void printlnGradient(std::string_view text, std::int32_t index);

 private:
  std::vector<std::vector<std::string>> gradients;
  std::mt19937 randomEngine;
  std::uniform_int_distribution<int> gradientDist;
  std::ostream& out_;
};
