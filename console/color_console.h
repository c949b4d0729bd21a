#pragma once

#include <initializer_list>
#include <iostream>
#include <map>
#include <string>
#include <string_view>

// Writes texts wrapped in ANSI colour sequences looked up by name: "red",
// "green", "yellow", "blue", "purple", "cyan", "reset", "bold". The empty name
// means plain text. Sequences are written whether or not the stream is a
// terminal, and nothing is flushed here.
class ColorConsole {
 public:
  explicit ColorConsole(std::ostream& out = std::cout);

  // Writes the colour's sequence (unless the name is empty or "reset"), the
  // text unchanged, then the reset sequence for any non-empty name.
  void print(std::string_view text, std::string_view color);
  // print() of the text followed by "\n": the newline comes before the reset.
  void println(std::string_view text, std::string_view color);
  // The same for the text made of `pieces` in turn, which is never put
  // together in memory: a rule's text may be as long as the user made it.
  void println(std::initializer_list<std::string_view> pieces, std::string_view color);
  // Writes the colour's sequence if the name is in the table.
  void setColor(std::string_view color);
  void reset();
  // The colour's sequence, or "" for an empty or unknown name.
  std::string getColorCode(std::string_view color) const;

  std::ostream& stream() { return out_; }

 private:
  bool colorEnabled = false;
  std::map<std::string, std::string, std::less<>> colorCodes;
  std::ostream& out_;
};
