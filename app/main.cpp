// Entry point: one processor over the compiled-in workspace, one pass.
#include <filesystem>
#include <iostream>

#include "app/uexp_processor.h"
#include "workspace_root.h"

int main() {
  try {
    UEXPProcessor processor{std::filesystem::path(kWorkspaceRoot)};
    const int status = processor.runFullProcess();
    std::cout.flush();
    return status;
  } catch (...) {
    std::cout.flush();
    std::cerr << "程序未知错误" << std::endl;
    return 1;
  }
}
