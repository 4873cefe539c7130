// Runs the built program in a scratch directory, as a user would.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zibel::testing {

struct RunResult {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  int status;       // the exit status (0 to 255), or 1000 + signal number
};

struct RunOptions {
  // Run as an unprivileged user (nobody) when the tests run as root, so that
  // permissions are enforced.
  bool unprivileged = false;
  rlim_t file_size_limit = RLIM_INFINITY;
  // Start with SIGINT, SIGTERM and SIGHUP blocked, as a caller may.
  bool interrupts_blocked = false;
  // What standard output is: a file the test reads (the default), closed
  // (with standard input), a pipe whose reading end is closed, or a full pipe
  // that nobody reads.
  enum class Output { captured, closed, broken_pipe, full_pipe };
  Output output = Output::captured;
  // Extra environment entries, "NAME=value".
  std::vector<std::string> environment = {};
};

// A run that was started and not yet waited for.
struct Started {
  pid_t pid;
  std::string out_path;
  std::string err_path;
};

// `text` with every occurrence of `from` replaced by `to`, leftmost first.
std::string replace_all(const std::string& text, const std::string& from, const std::string& to);

// The program the tests run: the one named by ZIBEL_BINARY, or the one built
// with the tests.
std::string binary_under_test();

// A fresh directory under the system's temporary directory, removed with all it
// holds at the end of the test. Its work directory is where the tool runs.
class ScratchDirectory {
 public:
  // `binary` is copied in, where an unprivileged user can run it. `base` is
  // the directory to make the scratch directory in, the system's temporary directory
  // when empty.
  explicit ScratchDirectory(const std::string& binary = binary_under_test(),
                            const std::string& base = "");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& work() const { return work_; }
  // True when the program under test is a Windows program.
  bool windows() const { return windows_; }
  std::string path(const std::string& name) const { return work_ + "/" + name; }

  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  // The entries of the work directory (or of a directory below it), sorted.
  std::vector<std::string> names(const std::string& directory = ".") const;

  // Runs the program with these arguments (the program name is added) in the
  // work directory.
  RunResult run(const std::vector<std::string>& arguments, RunOptions options = {}) const;

  // The same in two steps, for runs that go on at the same time.
  Started start(const std::vector<std::string>& arguments, const RunOptions& options = {}) const;
  RunResult wait(const Started& started) const;
  // Waits at most `limit`; nothing when the run has not ended by then (it is
  // then killed).
  std::optional<RunResult> wait_for(const Started& started, std::chrono::milliseconds limit) const;

 private:
  RunResult ended(const Started& started, int status) const;

  std::string root_;
  std::string work_;
  std::string program_;
  bool windows_ = false;  // a Windows program, run under a launcher
  mutable int runs_ = 0;
};

// One more run, of an edit that finds nothing, after a run was cut short:
// it ends with status 0, prints nothing, and leaves notes.txt holding
// `old_content` or `new_content`, and no other file.
void expect_next_run_leaves_old_or_new(const ScratchDirectory& scratch,
                                       const std::string& old_content,
                                       const std::string& new_content);

// An XFS file system in memory, where files can share blocks: an image of its
// own in /dev/shm, on a loop device, unmounted and removed when it goes.
// Needs root, xfsprogs and loop devices; mounted() says whether it was made.
class XfsImage {
 public:
  XfsImage();
  ~XfsImage();
  XfsImage(const XfsImage&) = delete;
  XfsImage& operator=(const XfsImage&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& mount_point() const { return mount_point_; }

 private:
  std::string root_;
  std::string mount_point_;
  bool mounted_ = false;
};

}  // namespace zibel::testing
