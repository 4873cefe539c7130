#include "zibel_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zibel::testing {
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kCannotStart = 127;  // a status the program never uses

// Allows everyone to enter and read a folder, so that unprivileged runs can.
void open_to_all(const std::string& path) {
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

[[noreturn]] void run_child(const std::string& binary, const std::vector<std::string>& arguments,
                            const std::string& directory, const std::string& root,
                            const RunOptions& options) {
  std::vector<char*> argv{const_cast<char*>("zibel")};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int out = ::open((root + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open((root + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const rlimit limit{options.file_size_limit, options.file_size_limit};
  const bool dropped =
      !options.unprivileged || ::geteuid() != 0 ||
      (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || !dropped ||
      ::chdir(directory.c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
    ::_exit(kCannotStart);
  }
  ::signal(SIGXFSZ, SIG_DFL);  // as a user's shell would leave it
  ::execv(binary.c_str(), argv.data());
  ::_exit(kCannotStart);
}

std::string binary_under_test() {
  const char* chosen = std::getenv("ZIBEL_BINARY");
  return chosen != nullptr ? chosen : ZIBEL_BINARY;
}

}  // namespace

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "zibel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  work_ = root_ + "/work";
  fs::create_directory(work_);
  open_to_all(root_);
  open_to_all(work_);
  // A copy that an unprivileged user can run, wherever the build folder is.
  fs::copy_file(binary_under_test(), root_ + "/zibel");
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(root_, ignored);
}

void ScratchFolder::write(const std::string& name, const std::string& content) const {
  std::ofstream file(path(name), std::ios::binary | std::ios::trunc);
  file << content;
  if (!file.flush()) throw std::runtime_error("cannot write " + name);
}

std::string ScratchFolder::read(const std::string& name) const {
  std::ifstream file(path(name), std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> ScratchFolder::names(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path(folder))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunResult ScratchFolder::run(const std::vector<std::string>& arguments, RunOptions options) const {
  const pid_t child = ::fork();
  if (child == 0) run_child(root_ + "/zibel", arguments, work_, root_, options);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) throw std::runtime_error("cannot run");
  RunResult result{read("../stdout"), read("../stderr"), 0};
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  EXPECT_NE(result.status, kCannotStart) << "the test could not start the program";
  return result;
}

}  // namespace zibel::testing
