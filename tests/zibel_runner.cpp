#include "zibel_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
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

// Allows everyone to enter and read a directory, so that unprivileged runs can.
void open_to_all(const std::string& path) {
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

[[noreturn]] void run_child(const std::string& binary, const std::vector<std::string>& arguments,
                            const std::string& directory, const Started& paths,
                            const RunOptions& options) {
  std::vector<char*> argv{const_cast<char*>("zibel")};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  for (const std::string& entry : options.environment) ::putenv(const_cast<char*>(entry.c_str()));
  const int out = ::open(paths.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open(paths.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const rlimit limit{options.file_size_limit, options.file_size_limit};
  const rlimit no_core_files{0, 0};
  const bool dropped =
      !options.unprivileged || ::geteuid() != 0 ||
      (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || !dropped ||
      ::chdir(directory.c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
      ::setrlimit(RLIMIT_CORE, &no_core_files) != 0) {
    ::_exit(kCannotStart);
  }
  if (options.output == RunOptions::Output::closed) {
    ::close(0);
    ::close(1);
  }
  if (options.output == RunOptions::Output::broken_pipe ||
      options.output == RunOptions::Output::full_pipe) {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], 1) < 0) ::_exit(kCannotStart);
    ::close(ends[1]);
    if (options.output == RunOptions::Output::broken_pipe) {
      ::close(ends[0]);
    } else {
      // Filled to the brim; the reading end stays open in the program, unread.
      const int flags = ::fcntl(1, F_GETFL);
      ::fcntl(1, F_SETFL, flags | O_NONBLOCK);
      while (::write(1, "full", 4) > 0) {
      }
      ::fcntl(1, F_SETFL, flags);
    }
  }
  // As a user's shell would leave them: every signal with its default action.
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    ::signal(signal_number, SIG_DFL);
  }
  if (options.interrupts_blocked) {
    sigset_t interrupts;
    ::sigemptyset(&interrupts);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
      ::sigaddset(&interrupts, signal_number);
    if (::sigprocmask(SIG_BLOCK, &interrupts, nullptr) != 0) ::_exit(kCannotStart);
  }
  // A Windows program runs under the launcher named by ZIBEL_LAUNCHER (wine).
  if (const char* launcher = std::getenv("ZIBEL_LAUNCHER")) {
    argv.front() = const_cast<char*>(binary.c_str());
    argv.insert(argv.begin(), const_cast<char*>(launcher));
    ::execvp(launcher, argv.data());
  } else {
    ::execv(binary.c_str(), argv.data());
  }
  ::_exit(kCannotStart);
}

bool is_windows_program(const std::string& binary) {
  return binary.size() > 4 && binary.compare(binary.size() - 4, 4, ".exe") == 0;
}

// A Windows console ends each line with CR LF: checks that every line does,
// and gives the text with plain line feeds, as the tests expect it.
std::string from_windows_console(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "a line feed without a carriage return";
    }
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace

std::string replace_all(const std::string& text, const std::string& from, const std::string& to) {
  std::string result;
  std::size_t position = 0;
  for (std::size_t at; (at = text.find(from, position)) != std::string::npos;
       position = at + from.size()) {
    result.append(text, position, at - position).append(to);
  }
  return result.append(text, position);
}

void expect_next_run_leaves_old_or_new(const ScratchDirectory& scratch,
                                       const std::string& old_content,
                                       const std::string& new_content) {
  const RunResult next = scratch.run({"/rt", "notes.txt", "absent", "x"});
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(next.out + next.err, "");
  const std::string content = scratch.read("notes.txt");
  EXPECT_TRUE(content == old_content || content == new_content);
  EXPECT_EQ(scratch.names(), std::vector<std::string>{"notes.txt"});
}

std::string binary_under_test() {
  const char* chosen = std::getenv("ZIBEL_BINARY");
  return chosen != nullptr ? chosen : ZIBEL_BINARY;
}

ScratchDirectory::ScratchDirectory(const std::string& binary, const std::string& base) {
  const fs::path directory = base.empty() ? fs::temp_directory_path() : fs::absolute(base);
  std::string pattern = (directory / "zibel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  work_ = root_ + "/work";
  fs::create_directory(work_);
  open_to_all(root_);
  open_to_all(work_);
  // A copy that an unprivileged user can run, wherever the build directory is.
  windows_ = is_windows_program(binary);
  program_ = root_ + (windows_ ? "/zibel.exe" : "/zibel");
  fs::copy_file(binary, program_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(root_, ignored);
}

void ScratchDirectory::write(const std::string& name, const std::string& content) const {
  std::ofstream file(path(name), std::ios::binary | std::ios::trunc);
  file << content;
  if (!file.flush()) throw std::runtime_error("cannot write " + name);
}

std::string ScratchDirectory::read(const std::string& name) const {
  return read_file(path(name));
}

std::vector<std::string> ScratchDirectory::names(const std::string& directory) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path(directory))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunResult ScratchDirectory::run(const std::vector<std::string>& arguments,
                                RunOptions options) const {
  return wait(start(arguments, options));
}

Started ScratchDirectory::start(const std::vector<std::string>& arguments,
                                const RunOptions& options) const {
  const std::string number = std::to_string(++runs_);
  Started started{-1, root_ + "/stdout." + number, root_ + "/stderr." + number};
  started.pid = ::fork();
  if (started.pid == 0) run_child(program_, arguments, work_, started, options);
  if (started.pid < 0) throw std::runtime_error("cannot start the program");
  return started;
}

RunResult ScratchDirectory::wait(const Started& started) const {
  int status = 0;
  if (::waitpid(started.pid, &status, 0) != started.pid) throw std::runtime_error("cannot wait");
  return ended(started, status);
}

std::optional<RunResult> ScratchDirectory::wait_for(const Started& started,
                                                    std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t ended_pid = ::waitpid(started.pid, &status, WNOHANG);
    if (ended_pid == started.pid) return ended(started, status);
    if (ended_pid != 0) throw std::runtime_error("cannot wait");
    if (std::chrono::steady_clock::now() > deadline) break;
    ::usleep(10000);
  }
  ::kill(started.pid, SIGKILL);
  ::waitpid(started.pid, &status, 0);
  return std::nullopt;
}

RunResult ScratchDirectory::ended(const Started& started, int status) const {
  RunResult result{read_file(started.out_path), read_file(started.err_path), 0};
  if (windows_) result.out = from_windows_console(result.out);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  EXPECT_NE(result.status, kCannotStart) << "the test could not start the program";
  return result;
}

XfsImage::XfsImage() {
  std::string pattern = "/dev/shm/zibel-xfs-XXXXXX";
  if (::geteuid() != 0 || ::mkdtemp(pattern.data()) == nullptr) return;
  root_ = pattern;
  mount_point_ = root_ + "/disk";
  const std::string image = root_ + "/image";
  const std::string make = "mkdir '" + mount_point_ + "' && truncate -s 300M '" + image +
                           "' && mkfs.xfs -q '" + image + "' 2>/dev/null && mount -o loop '" +
                           image + "' '" + mount_point_ + "' 2>/dev/null";
  mounted_ = std::system(make.c_str()) == 0;
}

XfsImage::~XfsImage() {
  if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
  std::error_code ignored;
  if (!root_.empty()) fs::remove_all(root_, ignored);
}

}  // namespace zibel::testing
