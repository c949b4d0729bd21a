#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

CommandLine with(void (*set)(CommandLine&)) {
  CommandLine line;
  set(line);
  return line;
}

CommandLineError error(const std::string& what) { return {what + "；用法见 uexpmod --help"}; }

std::string describe(const std::variant<CommandLine, CommandLineError>& result) {
  if (const auto* refused = std::get_if<CommandLineError>(&result)) return refused->message;
  const CommandLine& l = std::get<CommandLine>(result);
  return "help=" + std::to_string(l.help) + " version=" + std::to_string(l.version) +
         " threads=" + std::to_string(l.threads) + " root=" + l.root.value_or("-").string() +
         " pak=" + l.pak.value_or("-") + " rules=" + l.rules.value_or("-");
}

TEST(ParseCommandLine, AcceptsEachFormAndRefusesEachFault) {
  const std::pair<std::vector<std::string_view>, std::variant<CommandLine, CommandLineError>>
      cases[] = {
          {{}, CommandLine{}},
          {{"-h"}, with([](CommandLine& l) { l.help = true; })},
          {{"--help"}, with([](CommandLine& l) { l.help = true; })},
          {{"-V"}, with([](CommandLine& l) { l.version = true; })},
          {{"--version", "--help"}, with([](CommandLine& l) { l.help = l.version = true; })},
          {{"-j", "4"}, with([](CommandLine& l) { l.threads = 4; })},
          {{"-j64"}, with([](CommandLine& l) { l.threads = 64; })},
          {{"--threads", "1"}, with([](CommandLine& l) { l.threads = 1; })},
          {{"--threads=08"}, with([](CommandLine& l) { l.threads = 8; })},
          {{"--root", "/sd/工作区"}, with([](CommandLine& l) { l.root = "/sd/工作区"; })},
          {{"--root=a=b"}, with([](CommandLine& l) { l.root = "a=b"; })},
          {{"--pak", "mod.pak", "--rules=2"}, with([](CommandLine& l) {
             l.pak = "mod.pak";
             l.rules = "2";
           })},
          {{"--rules", "规则 1.txt"}, with([](CommandLine& l) { l.rules = "规则 1.txt"; })},
          {{"--root", "-"}, with([](CommandLine& l) { l.root = "-"; })},
          // Unknown options, as written.
          {{"--bogus"}, error("未知选项：--bogus")},
          {{"--bogus=1"}, error("未知选项：--bogus")},
          {{"--Help"}, error("未知选项：--Help")},
          {{"-x"}, error("未知选项：-x")},
          {{"-hV"}, error("未知选项：-hV")},
          {{"--pa", "x"}, error("未知选项：--pa")},
          // Words that are no option.
          {{"help"}, error("多余的参数：help")},
          {{"-"}, error("多余的参数：-")},
          {{"--"}, error("多余的参数：--")},
          {{"--pak", "a.pak", "b.pak"}, error("多余的参数：b.pak")},
          // Missing values: at the end, or followed by another option.
          {{"-j"}, error("选项 -j 缺少值")},
          {{"--root"}, error("选项 --root 缺少值")},
          {{"--pak", "--rules", "1"}, error("选项 --pak 缺少值")},
          {{"--rules", "-j", "2"}, error("选项 --rules 缺少值")},
          // Empty values.
          {{"--root="}, error("选项 --root 的值为空")},
          {{"--pak", ""}, error("选项 --pak 的值为空")},
          {{"--rules="}, error("选项 --rules 的值为空")},
          {{"-j", ""}, error("选项 -j 的值为空")},
          // Malformed thread counts.
          {{"-j", "0"}, error("选项 -j 的值无效：0（应为 1 到 64 的整数）")},
          {{"-j65"}, error("选项 -j 的值无效：65（应为 1 到 64 的整数）")},
          {{"--threads=+2"}, error("选项 --threads 的值无效：+2（应为 1 到 64 的整数）")},
          {{"--threads=-1"}, error("选项 --threads 的值无效：-1（应为 1 到 64 的整数）")},
          // A negative number after an option is its value, not an option.
          {{"-j", "-1"}, error("选项 -j 的值无效：-1（应为 1 到 64 的整数）")},
          {{"--threads", "-12"}, error("选项 --threads 的值无效：-12（应为 1 到 64 的整数）")},
          {{"--rules", "-2"}, with([](CommandLine& l) { l.rules = "-2"; })},
          {{"-j", "-1x"}, error("选项 -j 缺少值")},
          {{"--threads", "2x"}, error("选项 --threads 的值无效：2x（应为 1 到 64 的整数）")},
          {{"-j", "99999999999999999999"},
           error("选项 -j 的值无效：99999999999999999999（应为 1 到 64 的整数）")},
          // A value given to an option that takes none.
          {{"--help=yes"}, error("选项 --help 不带值：--help=yes")},
          {{"--version="}, error("选项 --version 不带值：--version=")},
          // Twice, under either name.
          {{"-h", "--help"}, error("选项重复：--help")},
          {{"-j", "2", "--threads=3"}, error("选项重复：--threads")},
          {{"--pak", "a", "--pak", "b"}, error("选项重复：--pak")},
          {{"--root", "a", "--root=b"}, error("选项重复：--root")},
          {{"--rules", "a", "--rules", "a"}, error("选项重复：--rules")},
          {{"-V", "-V"}, error("选项重复：-V")},
      };
  for (const auto& [args, expected] : cases) {
    std::string line;
    for (const std::string_view arg : args) line += "[" + std::string(arg) + "] ";
    EXPECT_EQ(describe(expected), describe(parseCommandLine(args))) << line;
  }
}

}  // namespace
