// Entry point: the command line read first, then one processor over the
// workspace, one pass.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/uexp_processor.h"
#include "workspace_root.h"

namespace {

// Where this program keeps its caches, by the usual convention:
// $XDG_CACHE_HOME/uexpmod, else $HOME/.cache/uexpmod. None where neither is
// an absolute path; the program then keeps nothing between runs. This is
// the only thing it reads from its environment.
std::filesystem::path cacheFolder() {
  const auto absolute = [](const char* path) { return path != nullptr && path[0] == '/'; };
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); absolute(cache)) {
    return std::filesystem::path(cache) / "uexpmod";
  }
  if (const char* home = std::getenv("HOME"); absolute(home)) {
    return std::filesystem::path(home) / ".cache" / "uexpmod";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // Read whole before anything is touched: a refused command line makes
    // no folder, and neither does --help.
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const auto parsed = parseCommandLine(args);
    if (const auto* error = std::get_if<CommandLineError>(&parsed)) {
      // The colour is reset before the newline, so that the line stands
      // whole where standard error is kept in a file or read by lines.
      ColorConsole(std::cerr).print(error->message, "red");
      std::cerr << '\n';
      return 2;
    }
    const CommandLine& line = std::get<CommandLine>(parsed);
    if (line.help || line.version) {
      ColorConsole console(std::cout);
      if (line.help) {
        printHelp(console, kWorkspaceRoot);
      } else {
        printVersion(console);
      }
      // A text that could not be written is no help: the status says so.
      std::cout.flush();
      return std::cout ? 0 : 1;
    }
    const RunOptions options{line.pak, line.rules, line.threads};
    UEXPProcessor processor{line.root.value_or(std::filesystem::path(kWorkspaceRoot)), std::cin,
                            std::cout, cacheFolder(), options};
    const int status = processor.runFullProcess();
    std::cout.flush();
    return status;
  } catch (...) {
    std::cout.flush();
    std::cerr << "程序未知错误" << std::endl;
    return 1;
  }
}
