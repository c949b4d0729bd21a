// Input stages: gathering the source paks into the pak folder, and the two
// numbered menus that choose the pak and the rule file.
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/uexp_processor.h"
#include "util/file_reads.h"
#include "util/file_walk.h"
#include "util/file_writes.h"

namespace fs = std::filesystem;

namespace {
constexpr std::string_view kBar40 = "========================================";

// The pak folder's lock, taken once no other run holds it; an invalid handle
// where the folder cannot be opened or the storage has no locks. A run
// holds it while it copies paks in, so that whatever temporary file stands
// in the folder when the lock is taken was left by a run that ended; the
// kernel lets the lock go when a process ends, however it ends. Where
// another run holds it, one yellow line says why this run waits, flushed
// before the wait so that a pipe shows it too.
FileHandle lockFolder(const fs::path& folder, ColorConsole& console) {
  FileHandle held(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!held) return held;
  int locked = -1;
  while ((locked = ::flock(held.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked != 0 && errno == EWOULDBLOCK) {
    console.println("⚠ 另一个运行正在收集PAK文件，等待其完成…", "yellow");
    console.stream().flush();
    while ((locked = ::flock(held.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
  }
  return locked == 0 ? std::move(held) : FileHandle();
}

// The number an answer gives, read as the menu reads what is typed at it
// (leading white space, a sign, digits, anything after them ignored); none
// when no digit follows or the value passes a 32-bit int. Answers given on
// the command line are read by the same function, so both accept the same.
std::optional<int> menuNumber(const std::string& answer) {
  try {
    return std::stoi(answer);
  } catch (const std::logic_error&) {  // no digits, or beyond a 32-bit int
    return std::nullopt;
  }
}
}  // namespace

struct UEXPProcessor::Menu {
  const fs::path& folder;
  std::string_view extension;
  std::string_view emptyMessage;
  std::string_view header;
  std::string_view prompt;
  std::string_view option;                   // the command-line option that may answer it
  const std::optional<std::string>& answer;  // its answer, if given
};

void UEXPProcessor::autoCopySpecPak() {
  console.println(kBar40, "bold");
  console.println("自动检测并复制指定目录PAK文件", "cyan");
  console.println(kBar40, "bold");

  const FoundFiles found = files::findFilesRecursive(specPakDir, ".pak");
  if (found.files.empty()) {
    reportUnreachable(specPakDir, found.rootError);
    console.println("⚠  指定源文件夹无PAK文件，跳过复制", "yellow");
    console.println("", "");
    return;
  }

  // Each pak is copied through a temporary file of this run's own, renamed
  // over the pak only once it is whole: a run killed at any moment leaves
  // every pak old, new or absent, and its temporary file behind. Those go
  // here, under the lock; without a lock they stay, hidden and never listed.
  const FileHandle lock = lockFolder(pakDir, console);
  if (lock) files::removeLeftoverTemporaries(pakDir);
  int copied = 0;
  int skipped = 0;
  for (const fs::path file : found.files) {
    const std::string name = file.filename().string();
    const fs::path dest = pakDir / name;
    if (fs::exists(dest) && files::isFileSameSize(file, dest)) {
      console.println("✓ 已存在同名同大小：" + name + " 跳过复制", "green");
      ++skipped;
    } else if (files::copyFile(file, dest)) {
      console.println("✓ 已复制：" + name, "green");
      ++copied;
    } else {
      console.println("✗ 复制失败：" + name, "red");
    }
  }
  console.println("", "");
  console.println(
      "汇总：复制 " + std::to_string(copied) + " 个 | 跳过 " + std::to_string(skipped) + " 个",
      "cyan");
  console.println(kBar40, "bold");
  console.println("", "");
}

fs::path UEXPProcessor::getAutoSelectPak() const {
  // Why the folder could not be listed was told by autoCopySpecPak.
  const FoundFiles found = files::findFilesRecursive(specPakDir, ".pak");
  return found.files.empty() ? fs::path() : fs::path(found.files.front());
}

fs::path UEXPProcessor::autoSelectedPak() const {
  const fs::path autoPak = getAutoSelectPak();
  return !autoPak.empty() && fs::exists(autoPak) ? autoPak : fs::path();
}

UEXPProcessor::Menu UEXPProcessor::pakMenu() const {
  return {pakDir,
          ".pak",
          "错误: PAK目录中没有找到pak文件",
          "未检测到指定目录PAK，请手动选择：",
          "请输入文件编号: ",
          "--pak",
          options_.pakAnswer};
}

UEXPProcessor::Menu UEXPProcessor::configMenu() const {
  return {configDir,
          ".txt",
          "错误: 配置目录中没有找到txt文件",
          "请选择配置文件:",
          "请输入配置文件编号: ",
          "--rules",
          options_.rulesAnswer};
}

void UEXPProcessor::checkAnswers() {
  // The pak menu offers what it offers after the gathering: the source
  // folder's pak where it holds one, else the pak folder, into which the
  // gathering then copies nothing. The rule-file menu's folder is never
  // written. So both are known now, from the listings the menus make.
  const auto check = [this](const Menu& menu) {
    const FoundFiles found = files::findFilesRecursive(menu.folder, menu.extension);
    // An empty or unreadable folder is the menu's to report, in its words.
    if (!found.files.empty()) answeredEntry(found.files, menu.option, *menu.answer);
  };
  if (options_.pakAnswer) {
    if (const fs::path autoPak = autoSelectedPak(); !autoPak.empty()) {
      answeredEntry({autoPak.string()}, "--pak", *options_.pakAnswer);
    } else {
      check(pakMenu());
    }
  }
  if (options_.rulesAnswer) check(configMenu());
}

fs::path UEXPProcessor::selectPakFile() {
  if (const fs::path autoPak = autoSelectedPak(); !autoPak.empty()) {
    // No menu is shown, so an answer given can only name the pak chosen here.
    if (options_.pakAnswer) answeredEntry({autoPak.string()}, "--pak", *options_.pakAnswer);
    console.println("🎉 自动识别到指定目录PAK，已自动选中：" + autoPak.filename().string(), "green");
    return autoPak;
  }
  return chooseFromMenu(pakMenu());
}

fs::path UEXPProcessor::selectConfigFile() { return chooseFromMenu(configMenu()); }

fs::path UEXPProcessor::chooseFromMenu(const Menu& menu) {
  const FoundFiles found = files::findFilesRecursive(menu.folder, menu.extension);
  const std::vector<std::string>& candidates = found.files;
  if (candidates.empty()) {
    reportUnreachable(menu.folder, found.rootError);
    fail(menu.emptyMessage);
  }
  // An answer from the command line is checked before the menu is shown, so
  // that a wrong one prints only its own red line.
  std::optional<std::size_t> answered;
  if (menu.answer) answered = answeredEntry(candidates, menu.option, *menu.answer);

  console.println(menu.header, "bold");
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    gradient.printlnGradient(
        "  [" + std::to_string(i + 1) + "] " + fs::path(candidates[i]).filename().string(),
        static_cast<std::int32_t>(i));
  }
  console.println("", "");

  if (answered) {
    // The number stands where the terminal would echo a typed answer.
    console.print(menu.prompt, "cyan");
    console.println(std::to_string(*answered + 1), "");
    return candidates[*answered];
  }
  for (;;) {
    console.print(menu.prompt, "cyan");
    std::string answer;
    if (!std::getline(in_, answer)) {
      // No answer can ever come: stop instead of asking forever.
      console.println("", "");
      fail("错误: 输入已结束，未选择任何文件");
    }
    const std::optional<int> read = menuNumber(answer);
    if (!read) {
      console.println("请输入有效的数字", "red");
      continue;
    }
    const int number = *read;
    if (number < 1 || static_cast<std::size_t>(number) > candidates.size()) {
      console.println("编号无效，请重新输入", "red");
      continue;
    }
    return candidates[static_cast<std::size_t>(number) - 1];
  }
}

std::size_t UEXPProcessor::answeredEntry(const std::vector<std::string>& candidates,
                                         std::string_view option, const std::string& answer) {
  // A file's name first: "2.txt" names that file where there is one, and is
  // read as the menu would read it, number 2, only where there is none.
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (fs::path(candidates[i]).filename().string() == answer) return i;
  }
  if (const std::optional<int> number = menuNumber(answer);
      number && *number >= 1 && static_cast<std::size_t>(*number) <= candidates.size()) {
    return static_cast<std::size_t>(*number) - 1;
  }
  std::string offered;
  for (const std::string& candidate : candidates) {
    offered += (offered.empty() ? "" : "、") + fs::path(candidate).filename().string();
  }
  fail("错误: " + std::string(option) + " 指定的 " + answer + " 不在可选文件中，可选：" + offered);
}
