// Runs the built program in a scratch folder, as a user would.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

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
};

// A fresh folder under the system's temporary folder, removed with all it
// holds at the end of the test. Its work folder is where the tool runs.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& work() const { return work_; }
  std::string path(const std::string& name) const { return work_ + "/" + name; }

  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  // The entries of the work folder (or of a folder below it), sorted.
  std::vector<std::string> names(const std::string& folder = ".") const;

  // Runs the program with these arguments (the program name is added) in the
  // work folder.
  RunResult run(const std::vector<std::string>& arguments, RunOptions options = {}) const;

 private:
  std::string root_;
  std::string work_;
};

}  // namespace zibel::testing
