#pragma once

// The command line: the options a run takes, read from its arguments before
// anything else happens, and the help and version texts.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "console/color_console.h"

// The largest thread count `-j` accepts: well above the cores of any phone.
inline constexpr int kMaxThreads = 64;

// What the arguments asked for. Each option may be given once.
struct CommandLine {
  bool help = false;     // -h, --help
  bool version = false;  // -V, --version
  int threads = 0;       // -j N, --threads N: 1 to kMaxThreads; 0 when not given
  std::optional<std::filesystem::path> root;  // --root DIR
  std::optional<std::string> pak;             // --pak NAME: the pak menu's answer
  std::optional<std::string> rules;           // --rules NAME: the rule-file menu's answer

  bool operator==(const CommandLine&) const = default;
};

// Why the arguments were refused: one line that names the offending word and
// points to --help.
struct CommandLineError {
  std::string message;

  bool operator==(const CommandLineError&) const = default;
};

// Reads the arguments that follow the program's name. Options with a value
// take it as the next argument (which must not start with '-', unless it is
// a negative number) or after '='
// (`--root=DIR`), and `-j` also joined (`-j4`). Refuses an unknown option, a
// missing, empty or malformed value, a value given to an option that takes
// none, any word that is not an option, and an option given twice.
std::variant<CommandLine, CommandLineError> parseCommandLine(
    const std::vector<std::string_view>& args);

// The usage text of --help; `defaultRoot` is the workspace used without --root.
void printHelp(ColorConsole& console, std::string_view defaultRoot);
// "uexpmod" and the version the build was given.
void printVersion(ColorConsole& console);
