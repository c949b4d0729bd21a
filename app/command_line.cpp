// The command line: one table of options, the parse that reads the arguments
// against it, and the help and version texts.
#include "app/command_line.h"

#include <algorithm>
#include <charconv>
#include <set>

#ifndef UEXPMOD_VERSION
#error "UEXPMOD_VERSION comes from CMake's project(VERSION)"
#endif

namespace {

enum class Option { kHelp, kVersion, kThreads, kRoot, kPak, kRules };

struct OptionEntry {
  Option option;
  std::string_view longName;   // with its "--"
  std::string_view shortName;  // with its "-", or empty
  bool takesValue;
};

constexpr OptionEntry kOptions[] = {
    {Option::kHelp, "--help", "-h", false},      {Option::kVersion, "--version", "-V", false},
    {Option::kThreads, "--threads", "-j", true}, {Option::kRoot, "--root", "", true},
    {Option::kPak, "--pak", "", true},           {Option::kRules, "--rules", "", true},
};

CommandLineError refuse(const std::string& what) { return {what + "；用法见 uexpmod --help"}; }

// A thread count: decimal digits only, 1 to kMaxThreads; 0 when malformed.
int threadCount(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(),
                                   [](unsigned char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > kMaxThreads) return 0;
  return value;
}

// Whether a word that follows an option is another option rather than its
// value: it starts with '-', and is neither "-" nor a negative number, so
// that "-j -1" is refused as the value it is.
bool looksLikeOption(std::string_view word) {
  if (!word.starts_with("-") || word.size() == 1) return false;
  return !std::all_of(word.begin() + 1, word.end(),
                      [](unsigned char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::variant<CommandLine, CommandLineError> parseCommandLine(
    const std::vector<std::string_view>& args) {
  CommandLine line;
  std::set<Option> seen;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    // Which option the word names, as written, and a value joined to it.
    std::string_view name = arg;
    std::optional<std::string_view> joined;
    const OptionEntry* known = nullptr;
    if (arg.starts_with("--") && arg.size() > 2) {
      if (const std::size_t equals = arg.find('='); equals != std::string_view::npos) {
        name = arg.substr(0, equals);
        joined = arg.substr(equals + 1);
      }
      for (const OptionEntry& s : kOptions) {
        if (s.longName == name) known = &s;
      }
    } else if (arg.starts_with("-") && arg.size() > 1 && arg != "--") {
      name = arg.substr(0, 2);
      for (const OptionEntry& s : kOptions) {
        if (!s.shortName.empty() && s.shortName == name) known = &s;
      }
      // Only -j takes its value joined; "-hV" is no option of ours.
      if (known != nullptr && arg.size() > 2) {
        if (known->takesValue) {
          joined = arg.substr(2);
        } else {
          known = nullptr;
        }
      }
      if (known == nullptr) name = arg;
    } else {
      return refuse("多余的参数：" + std::string(arg));
    }
    if (known == nullptr) return refuse("未知选项：" + std::string(name));
    if (!seen.insert(known->option).second) return refuse("选项重复：" + std::string(name));

    std::string_view value;
    if (!known->takesValue) {
      if (joined) return refuse("选项 " + std::string(name) + " 不带值：" + std::string(arg));
    } else if (joined) {
      value = *joined;
    } else if (i + 1 < args.size() && !looksLikeOption(args[i + 1])) {
      value = args[++i];
    } else {
      return refuse("选项 " + std::string(name) + " 缺少值");
    }
    if (known->takesValue && value.empty()) {
      return refuse("选项 " + std::string(name) + " 的值为空");
    }

    switch (known->option) {
      case Option::kHelp:
        line.help = true;
        break;
      case Option::kVersion:
        line.version = true;
        break;
      case Option::kThreads:
        line.threads = threadCount(value);
        if (line.threads == 0) {
          return refuse("选项 " + std::string(name) + " 的值无效：" + std::string(value) +
                        "（应为 1 到 " + std::to_string(kMaxThreads) + " 的整数）");
        }
        break;
      case Option::kRoot:
        line.root = std::filesystem::path(value);
        break;
      case Option::kPak:
        line.pak = std::string(value);
        break;
      case Option::kRules:
        line.rules = std::string(value);
        break;
    }
  }
  return line;
}

void printHelp(ColorConsole& console, std::string_view defaultRoot) {
  console.println("用法：uexpmod [选项]", "bold");
  console.println("不带选项时逐个菜单询问，完成一次完整的处理。", "");
  console.println("", "");
  console.println("选项：", "bold");
  const std::string_view lines[] = {
      "  -h, --help          显示本说明后退出，不读写任何文件",
      "  -V, --version       显示版本后退出",
  };
  for (const std::string_view line : lines) console.println(line, "");
  console.println({"  -j N, --threads N   扫描和复制用的线程数，1 到 ", std::to_string(kMaxThreads),
                   " 的整数；"},
                  "");
  console.println("                      不指定时为可用的处理器数（最多 8 个）", "");
  console.println("  --root 目录         本次运行的工作区，代替默认的工作区：", "");
  console.println({"                      ", defaultRoot}, "");
  const std::string_view more[] = {
      "  --pak 名称          回答 PAK 菜单：菜单里的文件名，或菜单里的编号",
      "                      源文件夹里有 PAK 时照常自动选中第一个、不显示菜单，",
      "                      这时只接受这个文件的名字或 1",
      "  --rules 名称        回答配置文件菜单：文件名或编号",
      "",
      "带值的选项也可以写成 --root=目录 的形式，-j N 也可以写成 -jN。",
      "同时给出 --pak 和 --rules 时运行不读取任何输入。用选项回答菜单时，",
      "提示后面会打印所选的编号并换行，和在终端里手动输入时屏幕上的样子一样；",
      "其余输出与手动回答时完全相同。同名文件取菜单里靠前的一个。",
      "编号的写法和在菜单里输入时一样；和某个文件名相同时按文件名。",
      "名字或编号不在菜单中时，在收集 PAK 之前只输出一行红字列出可选的文件，",
      "退出码 1，pak 目录和打包目录都不会被改动。",
      "选项有误时在标准错误输出一行说明，退出码 2，不读写任何文件。",
  };
  for (const std::string_view line : more) console.println(line, "");
}

void printVersion(ColorConsole& console) { console.println("uexpmod " UEXPMOD_VERSION, ""); }
