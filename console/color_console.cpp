#include "console/color_console.h"

#include <string>

ColorConsole::ColorConsole(std::ostream& out)
    : colorCodes{
          {"red", "\033[91m"},  {"green", "\033[92m"}, {"yellow", "\033[93m"},
          {"blue", "\033[94m"}, {"purple", "\033[95m"}, {"cyan", "\033[96m"},
          {"reset", "\033[0m"}, {"bold", "\033[1m"},
      },
      out_(out) {
  colorEnabled = true;
}

void ColorConsole::print(std::string_view text, std::string_view color) {
  if (!color.empty() && color != "reset") setColor(color);
  out_ << text;
  if (!color.empty()) reset();
}

void ColorConsole::println(std::string_view text, std::string_view color) {
  println({text}, color);
}

void ColorConsole::println(std::initializer_list<std::string_view> pieces, std::string_view color) {
  if (!color.empty() && color != "reset") setColor(color);
  for (const std::string_view piece : pieces) out_ << piece;
  out_ << '\n';
  if (!color.empty()) reset();
}

void ColorConsole::setColor(std::string_view color) {
  if (color.empty() || !colorEnabled) return;
  if (const auto it = colorCodes.find(color); it != colorCodes.end()) out_ << it->second;
}

void ColorConsole::reset() {
  if (colorEnabled) out_ << colorCodes.find("reset")->second;
}

std::string ColorConsole::getColorCode(std::string_view color) const {
  if (!colorEnabled) return {};
  const auto it = colorCodes.find(color);
  return it == colorCodes.end() ? std::string() : it->second;
}
