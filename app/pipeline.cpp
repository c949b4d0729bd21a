// The pass itself: workspace folders, the fixed order of the stages, and how
// fatal conditions and exceptions become messages and exit statuses.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>

#include "app/uexp_processor.h"
#include "util/folders.h"
#include "util/occurrence_cache.h"
#include "util/selection_index.h"
#include "util/staged_folder.h"

namespace fs = std::filesystem;

namespace {
constexpr std::string_view kBanner = "============================================================";
// The phone's shared storage, which a terminal app reaches only once the
// user has granted it storage access.
const fs::path kSharedStorage = "/storage/emulated/0";

// Whether `path` is `folder` or lies inside it, by their text.
bool isBelow(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}
}  // namespace

UEXPProcessor::UEXPProcessor(const fs::path& workspaceRoot, std::istream& in, std::ostream& out,
                             const fs::path& cacheFolder, const RunOptions& options)
    : pakDir(workspaceRoot / "pak"),
      unpackDir(workspaceRoot / "uexp解包"),
      repackDir(workspaceRoot / "uexp打包"),
      configDir(workspaceRoot / "配置"),
      workspaceRoot_(workspaceRoot),
      targetPath("Game/Mod/Escape/Audio/WwiseBank/"),
      specPakDir(workspaceRoot / "提取的pak" / "地铁水印"),
      console(out),
      gradient(out),
      in_(in),
      options_(options) {
  std::error_code noPath;
  unpackKey_ = fs::absolute(unpackDir, noPath).lexically_normal().string();
  if (!cacheFolder.empty() && !noPath) {
    indexFile_ = SelectionIndex::fileFor(cacheFolder, unpackKey_);
    occurrenceFile_ = OccurrenceCache::fileFor(cacheFolder, unpackKey_);
  }
  // Where the repack folder leads is checked before anything touches it,
  // and again after recovery, which may have put a folder at its path. The
  // copy stage checks it once more, under the lock, before and as it
  // commits.
  repackRefusal_ = repackFolderRefusal(StagedFolder::resolve(repackDir));
  // A repack folder that a run killed while it put its copies in place left
  // missing is mended first, before it is made anew below.
  if (repackRefusal_.empty()) {
    StagedFolder::recover(repackDir, waitingNotice());
    repackRefusal_ = repackFolderRefusal(StagedFolder::resolve(repackDir));
  }
  // An unpack folder missing now and made empty below was most likely moved
  // or renamed: the copy stage then keeps a last set in the repack folder
  // rather than replace it with an empty one, and fails. Where there is no
  // last set (a first run), it goes on as for any empty unpack folder.
  struct stat unpack = {};
  unpackWasMissing_ = ::lstat(unpackDir.c_str(), &unpack) != 0 && errno == ENOENT;
  // A folder that cannot be made is not reported here: the stage that needs
  // it finds it missing and says so in its own words, and why when access
  // was refused.
  for (const fs::path* dir : {&pakDir, &unpackDir, &repackDir, &configDir, &specPakDir}) {
    if (dir == &repackDir && !repackRefusal_.empty()) continue;
    std::error_code error;
    if (!files::createDirectories(*dir, error) && accessRefused(error.value())) {
      refusedFolders_.emplace(*dir, error.value());
    }
  }
}

int UEXPProcessor::runFullProcess() {
  try {
    if (!repackRefusal_.empty()) fail(repackRefusal_);
    // A menu's answer not offered ends the run before the gathering writes
    // anything; only the start-up's folders, made by the constructor, stand.
    checkAnswers();
    autoCopySpecPak();
    const fs::path pak = selectPakFile();  // reported to the user; drives nothing else
    console.println("", "");
    const fs::path config = selectConfigFile();
    console.println("", "");
    console.println("加载替换规则:", "bold");
    const auto rules = std::make_shared<const RuleList>(loadConfig(config));
    console.println("✓ 加载 " + std::to_string(rules->size()) + " 条替换规则", "green");
    console.println("", "");
    const CopiedTargets copied = findAndCopyTargetUexp(rules);
    if (copied.sources.empty()) return 0;
    processUexpFiles(*rules, copied);
    console.println("", "");
    console.println(kBanner, "bold");
    gradient.printlnGradient("🎉 筛选复制+文本替换全部完成！", 1);
    console.println(kBanner, "bold");
    return 0;
  } catch (const FatalExit& exit) {
    return exit.status();
  } catch (const std::exception& e) {
    console.println(std::string("程序异常: ") + e.what(), "red");
    return 1;
  }
}

std::string UEXPProcessor::repackFolderRefusal(const fs::path& target) const {
  const std::string name = repackDir.filename().string();
  struct stat status = {};
  if (::lstat(target.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    return "✗ " + name + " 不是文件夹，已保留原样，未做任何改动";
  }
  // Emptied, replaced, or made to hold the copies, none of these may be:
  // the workspace itself and what holds it, and the inputs, or what holds
  // or lies inside one of them. Told by the folders themselves, so that a
  // second path to one (a link, a bind mount) is seen.
  bool clash = files::within(workspaceRoot_, target);
  for (const fs::path* input : {&unpackDir, &configDir, &pakDir, &specPakDir}) {
    clash = clash || files::within(*input, target) || files::within(target, *input);
  }
  if (!clash) return "";
  const bool link = ::lstat(repackDir.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
  return "✗ " + std::string(link ? "链接 " : "") + name + " 指向 " + target.string() +
         "，与工作区的输入文件夹重叠，未做任何改动";
}

bool UEXPProcessor::accessRefused(int error) { return error == EACCES || error == EPERM; }

std::string UEXPProcessor::folderAccessMessage(const fs::path& folder, int error) {
  std::string message =
      "✗ 无法访问文件夹 " + folder.filename().string() + "：" +
      (accessRefused(error) ? std::string("权限不足")
       : error == ENOENT    ? std::string("文件夹不存在")
                            : "读取出错（" + std::string(std::strerror(error)) + "）");
  if (isBelow(folder, kSharedStorage)) {
    message += "。请在终端应用中授予存储权限（Termux：运行 termux-setup-storage）后重新运行本工具";
  }
  return message;
}

void UEXPProcessor::reportUnreachable(const fs::path& folder, int listError) {
  int error = listError;
  if (const auto refused = refusedFolders_.find(folder);
      error == 0 && refused != refusedFolders_.end()) {
    error = refused->second;
  }
  if (error != 0) console.println(folderAccessMessage(folder, error), "red");
}

void UEXPProcessor::fail(std::string_view message) {
  console.println(message, "red");
  throw FatalExit(1);
}
