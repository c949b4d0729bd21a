#pragma once

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder per test, in `base`, removed afterwards unless the test
// failed, in which case its path is printed so the state can be inspected.
class TempDir {
 public:
  explicit TempDir(const fs::path& base = fs::temp_directory_path()) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::random_device device;
    path_ = base / ("uexpmod-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
                    std::to_string(device()));
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::all);  // see whereModesApply
  }
  ~TempDir() {
    if (::testing::Test::HasFailure()) {
      std::cerr << "kept test folder: " << path_ << '\n';
      return;
    }
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

inline void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

inline std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<char> bytesOf(std::string_view text) {
  return std::vector<char>(text.begin(), text.end());
}
inline std::string textOf(const std::vector<char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Bytes as upper-case hex pairs separated by spaces, for failure messages.
inline std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

// Runs `check` where file modes are enforced. Root ignores them, so as root
// the check runs in a child process that has become the unprivileged user
// "nobody"; the test folder must then be open to everyone. Returns the
// check's answer; a child that could not drop its privileges answers false.
inline bool whereModesApply(const std::function<bool()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder on tmpfs, which lists a folder's entries in the order they were
// made; empty where there is none.
inline fs::path tmpfsFolder() {
  struct statfs where = {};
  if (::statfs("/dev/shm", &where) != 0 || where.f_type != TMPFS_MAGIC) return {};
  return "/dev/shm";
}

// Ends a test that cannot run here, for `reason`: skipped, but failed where
// the environment variable CI is set, since continuous integration has all
// the tests need (root, bindfs, mount namespaces). Called as
// `return skipOrFailWithout(...);`.
inline void skipOrFailWithout(const std::string& reason) {
  if (std::getenv("CI") != nullptr) FAIL() << reason << " (CI is set: a failure)";
  GTEST_SKIP() << reason;
}

// Whether /proc/locks lists a flock on the folder at `folder`, by this
// process (`ours`) or by another: a request that waits (`waiting`), or one
// held.
inline bool flockListed(const fs::path& folder, bool waiting, bool ours) {
  struct stat status = {};
  if (::stat(folder.c_str(), &status) != 0) return false;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%lu", ::major(status.st_dev), ::minor(status.st_dev),
                static_cast<unsigned long>(status.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    const bool waits = kind == "->";
    if (waits) fields >> kind;
    fields >> mode >> access >> pid >> file;
    if (kind == "FLOCK" && waits == waiting && file == id &&
        (pid == std::to_string(::getpid())) == ours) {
      return true;
    }
  }
  return false;
}

}  // namespace testsupport
