// Entry point: one processor over the compiled-in workspace, one pass.
#include <cstdlib>
#include <filesystem>
#include <iostream>

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

int main() {
  try {
    UEXPProcessor processor{std::filesystem::path(kWorkspaceRoot), std::cin, std::cout,
                            cacheFolder()};
    const int status = processor.runFullProcess();
    std::cout.flush();
    return status;
  } catch (...) {
    std::cout.flush();
    std::cerr << "程序未知错误" << std::endl;
    return 1;
  }
}
