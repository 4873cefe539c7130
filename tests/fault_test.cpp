// Every system call of a real edit, broken on purpose one at a time: made to
// fail, interrupted, cut short, or hit by an interrupt signal. Whatever
// happens, the target keeps its old content unless the new content is complete
// somewhere the user is told about, and no stray file is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/seam.h"
#include "zibel_runner.h"

namespace zibel::testing {
namespace {

using Names = std::vector<std::string>;
using platform::seam::kFirstMoment;
using platform::seam::kPointNames;

const std::string kIncomplete =
    "\nFile update incomplete!\nThe new content is kept in notes.txt.tmp\n";
const std::string kCannotOpen = "\nCannot open file!\n";
const std::string kCannotRead = "\nCannot read file!\n";
const std::string kCannotWrite = "\nCannot write temporary file!\n";
const std::string kCannotUpdate = "\nCannot update file!\n";

// The kinds of system calls, without the moments that follow them in the list.
std::vector<std::string> call_kinds() {
  std::vector<std::string> kinds;
  for (int i = 0; i < static_cast<int>(kFirstMoment); ++i) kinds.emplace_back(kPointNames[i]);
  return kinds;
}

bool is_moment(const std::string& point) {
  const auto kinds = call_kinds();
  return std::find(kinds.begin(), kinds.end(), point) == kinds.end();
}

// The error each kind of call fails with.
int error_for(const std::string& operation) {
  if (operation == "write" || operation == "copy" || operation == "create") return ENOSPC;
  if (operation == "remove") return EBUSY;
  return EIO;
}

// One call of a run, as the seam recorded it (see tests/faulty_main.cpp).
struct TracedCall {
  std::string point;
  long long file = -1;
  long long other = -1;
  unsigned long long offset = 0;
  long long result = 0;
  std::string name;
  unsigned count = 0;  // 1 for the first call of its kind
};

std::vector<TracedCall> read_trace(const std::string& path) {
  std::vector<TracedCall> calls;
  std::map<std::string, unsigned> counts;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    TracedCall call;
    unsigned long long length = 0;
    int error = 0;
    fields >> call.point >> call.file >> call.other >> call.offset >> length >> call.result >>
        error >> call.name;
    call.count = ++counts[call.point];
    calls.push_back(call);
  }
  return calls;
}

// What a run gives when one call fails: its status, and what it prints.
struct Expected {
  int status;
  std::string out;
};

// The program with faults: the one named by ZIBEL_FAULTY_BINARY (a Windows
// build, say), or the one built with the tests.
std::string faulty_binary() {
  const char* chosen = std::getenv("ZIBEL_FAULTY_BINARY");
  return chosen != nullptr ? chosen : FAULTY_BINARY;
}

class Faults : public ::testing::Test {
 protected:
  Faults() : scratch(faulty_binary()) {
    // Large enough for several reads and writes through the tool's buffers,
    // with its first occurrence after an unchanged stretch.
    for (int line = 0; line < 9000; ++line) {
      original += "line " + std::to_string(line) + (line % 50 == 7 ? " a cat sat\n" : " plain\n");
    }
    expected = replace_all(original, "cat", "tiger");
  }

  // Puts the target back as it was, alone in its directory.
  void reset() {
    for (const std::string& name : scratch.names()) std::remove(scratch.path(name).c_str());
    scratch.write("notes.txt", original);
  }

  RunResult edit(const std::string& fault, RunOptions options = {}) {
    reset();
    options.environment.push_back("ZIBEL_TEST_FAULT=" + fault);
    options.environment.push_back("ZIBEL_TEST_CALLS=" + scratch.path("../calls"));
    return scratch.run({"/rt", "notes.txt", old_string, new_string}, options);
  }

  // The calls of an edit without faults, in order.
  std::vector<TracedCall> trace_calls() {
    reset();
    const std::string trace_path = scratch.path("../trace");
    RunOptions options;
    options.environment = {"ZIBEL_TEST_TRACE=" + trace_path};
    const RunResult result = scratch.run({"/rt", "notes.txt", old_string, new_string}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    return read_trace(trace_path);
  }

  // How many calls of each kind an edit without faults makes.
  std::map<std::string, unsigned> count_calls() {
    std::map<std::string, unsigned> calls;
    for (const std::string& kind : call_kinds()) calls[kind] = 0;
    for (const TracedCall& call : trace_calls()) calls[call.point] = call.count;
    return calls;
  }

  // Why the last run failed, as the program kept it: "<kind> <error>".
  std::string last_failure() {
    std::ifstream file(scratch.path("../calls"));
    std::string word;
    std::string failure;
    while (file >> word) {
      if (word == "failure") std::getline(file >> std::ws, failure);
    }
    return failure;
  }

  // What an edit gives when the call `at` of the clean run `calls` fails, by
  // the step of the edit the call belongs to: opening and locking the target,
  // reading it and making the temporary file, checking the target before the
  // commit, the commit, and what follows it.
  Expected expected_failure(const std::vector<TracedCall>& calls, std::size_t at) {
    const auto first_read = std::find_if(
        calls.begin(), calls.end(), [](const TracedCall& call) { return call.point == "read"; });
    const auto index_of = [&](const char* moment) {
      const auto found = std::find_if(calls.begin(), calls.end(),
                                      [&](const TracedCall& call) { return call.point == moment; });
      return static_cast<std::size_t>(found - calls.begin());
    };
    const TracedCall& call = calls[at];
    // A kernel copy that fails before it copied anything is made through memory.
    if (call.point == "copy" && calls[at - 1].point != "copy") return {0, ""};
    if (at > index_of("after_commit")) return {0, ""};
    // Windows unlocks the range the commit rewrote once it is written; a lock
    // the unlock leaves goes with the close.
    if (call.point == "lock" && at > index_of("before_commit")) return {0, ""};
    if (at > index_of("before_commit")) return {252, kIncomplete};
    // Before the commit only files opened to be looked at or read are closed.
    if (call.point == "close") return {0, ""};
    if (at > index_of("temporary_durable")) return {253, kCannotUpdate};
    if (at < static_cast<std::size_t>(first_read - calls.begin())) {
      // The first look only tells whether the name exists; the open then looks
      // again. Between the target's lock and the moment "recovered" the edit
      // looks where its temporary files go and for what a run cut short left
      // there, and goes on without them.
      const auto locked = std::find_if(calls.begin(), calls.end(), [](const TracedCall& earlier) {
        return earlier.point == "lock";
      });
      const bool looking_around =
          at > static_cast<std::size_t>(locked - calls.begin()) && at < index_of("recovered");
      return at == 0 || looking_around ? Expected{0, ""} : Expected{253, kCannotOpen};
    }
    // Without /proc a new file is made under its name at once; a temporary
    // name that cannot be told free is passed over for the next.
    if (call.name == "/proc/self/fd" || (call.point == "look" && call.name == "notes.txt.tmp")) {
      return {0, ""};
    }
    // The pass reads the target once, in order; a read of it that goes back is
    // a copy of its unchanged start into the temporary file, through memory.
    const bool goes_back = std::any_of(first_read, calls.begin() + static_cast<std::ptrdiff_t>(at),
                                       [&](const TracedCall& earlier) {
                                         return earlier.point == "read" &&
                                                earlier.file == call.file &&
                                                earlier.offset >= call.offset;
                                       });
    if (call.point == "read" && call.file == first_read->file && !goes_back) {
      return {253, kCannotRead};
    }
    return {253, kCannotWrite};
  }

  ScratchDirectory scratch;
  std::string original;
  std::string expected;
  std::string old_string = "cat";
  std::string new_string = "tiger";
};

TEST_F(Faults, AnEditMakesEveryKindOfCall) {
  const auto calls = count_calls();
  for (const std::string& kind : call_kinds()) {
    // Some calls serve only an edit through links, one that prints, one
    // without /proc, the commit record, or an edit that keeps the length on a
    // file system that shares blocks; Windows copies through memory.
    if (kind == "wait" || kind == "read_link" || kind == "link" || kind == "control" ||
        kind == "clone" || (scratch.windows() && kind == "copy")) {
      continue;
    }
    EXPECT_GE(calls.at(kind), 1u) << kind;
  }
  // The target, and the temporary file; on Windows also the range the commit
  // rewrites, locked and unlocked.
  EXPECT_EQ(calls.at("lock"), scratch.windows() ? 4u : 2u);
  EXPECT_GE(calls.at("read"), 3u);   // the file is larger than the buffer
  EXPECT_GE(calls.at("write"), 2u);  // and so is the new content
}

// The order of an edit's calls is what keeps the file safe: the temporary file
// is written, flushed and its name made durable before the target is checked,
// preallocated and written; the target is flushed before the temporary file goes.
TEST_F(Faults, AnEditFlushesEachFileBeforeItDependsOnIt) {
  const std::vector<TracedCall> calls = trace_calls();
  long long target = -1;
  long long temporary = -1;
  for (const TracedCall& call : calls) {
    // The pass reads the target first.
    if (call.point == "read" && target == -1) target = call.file;
    if (call.point == "create") temporary = call.result;
  }
  ASSERT_NE(target, -1);
  ASSERT_NE(temporary, -1);
  // Each step as "<kind> <file>", the file as "target", "temporary" or "other".
  std::vector<std::string> steps;
  for (const TracedCall& call : calls) {
    const std::string file = call.file == target      ? "target"
                             : call.file == temporary ? "temporary"
                                                      : "other";
    // A write into the target is a write, or a copy into it.
    const std::string kind = call.point == "copy" ? "write" : call.point;
    const std::string step = kind + " " + file;
    if (call.point == "read" || call.point == "close" || call.point == "lock" ||
        (!steps.empty() && steps.back() == step)) {
      continue;
    }
    steps.push_back(step);
  }
  const auto position = [&](const std::string& step, std::size_t from = 0) {
    const auto found =
        std::find(steps.begin() + static_cast<std::ptrdiff_t>(from), steps.end(), step);
    EXPECT_NE(found, steps.end()) << step << " in:\n" << ::testing::PrintToString(steps);
    return static_cast<std::size_t>(found - steps.begin());
  };
  const std::size_t written = position("write temporary");
  const std::size_t flushed = position("flush temporary", written);
  const std::size_t durable = position("temporary_durable other", flushed);
  // Windows journals its directories, and cannot flush one.
  if (!scratch.windows()) {
    EXPECT_LT(position("flush other", flushed), durable);
  }
  const std::size_t checked = position("look target", durable);
  const std::size_t committed = position("write target", checked);
  EXPECT_LT(position("preallocate target", checked), committed);
  const std::size_t target_flushed = position("flush target", committed);
  position("remove temporary", target_flushed);
}

// Every call of an edit made to fail in turn: each gives the message and the
// status of the step it belongs to, names the call that failed, prints
// nothing on standard error, and leaves the target byte for byte as it was,
// unless the new content is complete in the file the message names.
TEST_F(Faults, AnyFailingCallLosesNothingAndIsReported) {
  const std::vector<TracedCall> calls = trace_calls();
  std::set<int> statuses;
  for (std::size_t at = 0; at < calls.size(); ++at) {
    const TracedCall& call = calls[at];
    if (is_moment(call.point)) continue;
    const int error = error_for(call.point);
    const std::string fault =
        call.point + " " + std::to_string(call.count) + " fail " + std::to_string(error);
    SCOPED_TRACE(fault);
    const Expected wanted = expected_failure(calls, at);
    const RunResult result = edit(fault);
    statuses.insert(result.status);
    EXPECT_EQ(result.status, wanted.status);
    EXPECT_EQ(result.out, wanted.out);
    EXPECT_EQ(result.err, "");
    if (result.status != 0) {
      EXPECT_EQ(last_failure(), call.point + " " + std::to_string(scratch.windows() ? 31 : error));
    }
    const Names names = scratch.names();
    if (result.status == 252) {
      // The complete new content is kept, with its record.
      EXPECT_EQ(names, (Names{"notes.txt", "notes.txt.tmp", "notes.txt.tmp.rec"}));
      EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
    } else {
      EXPECT_TRUE(scratch.read("notes.txt") == (result.status == 0 ? expected : original));
      // Only files that could not be removed after the commit stay.
      if (call.point != "remove") {
        EXPECT_EQ(names, Names{"notes.txt"});
      }
    }
    // The next run completes or clears whatever this one left, and says nothing.
    const std::string& left = result.status == 253 ? original : expected;
    expect_next_run_leaves_old_or_new(scratch, left, left);
  }
  // Failures before the commit and during it were both reached.
  EXPECT_TRUE(statuses.count(253) && statuses.count(252));
}

TEST_F(Faults, InterruptedAndShortCallsAreCarriedOn) {
  const auto calls = count_calls();
  for (const std::string& operation : call_kinds()) {
    for (unsigned call = 1; call <= calls.at(operation); ++call) {
      for (const std::string effect : {"interrupt", "short"}) {
        const std::string fault = operation + " " + std::to_string(call) + " " + effect + " 0";
        SCOPED_TRACE(fault);
        const RunResult result = edit(fault);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_TRUE(scratch.read("notes.txt") == expected);
        EXPECT_EQ(scratch.names(), Names{"notes.txt"});
      }
    }
  }
}

// A run killed outright (SIGKILL, the OOM killer, a power cut, Windows ending
// it) at any call of an edit that grows, shrinks or keeps the length of a small
// or a larger file: the next run completes the commit or clears what the
// killed run left, whatever it is asked to do. Half the time it finds
// nothing, and must leave the old or the new content, say nothing and leave
// no other file; half the time it makes an edit of its own, which must be
// applied to the old or the new content.
TEST_F(Faults, TheRunAfterAKilledOneCompletesOrClearsItsEdit) {
  struct Case {
    const char* old_string;
    const char* new_string;
    std::size_t size;
  };
  const std::vector<Case> cases = {{"cat", "tiger", 4000}, {"cat", "c", 4000},
                                   {"cat", "dog", 4000},   {"cat", "tiger", 3u << 19},
                                   {"cat", "c", 3u << 19}, {"cat", "dog", 3u << 19}};
  const int killed = scratch.windows() ? 137 : 1000 + SIGKILL;
  std::string lines;
  for (int line = 0; line < 9000; ++line) {
    lines += "line " + std::to_string(line) + (line % 50 == 7 ? " a cat sat\n" : " plain\n");
  }
  for (const Case& edit_case : cases) {
    original = lines.substr(0, std::min(edit_case.size, lines.size()));
    while (original.size() < edit_case.size) original += lines;
    old_string = edit_case.old_string;
    new_string = edit_case.new_string;
    expected = replace_all(original, old_string, new_string);
    const std::vector<TracedCall> calls = trace_calls();
    for (std::size_t at = 0; at < calls.size(); ++at) {
      const std::string fault = calls[at].point + " " + std::to_string(calls[at].count) + " kill 0";
      SCOPED_TRACE(old_string + " to " + new_string + ", " + std::to_string(original.size()) +
                   " bytes, " + fault);
      ASSERT_EQ(edit(fault).status, killed);
      const bool real_edit = at % 2 == 1;
      const RunResult next =
          scratch.run({"/rt", "notes.txt", real_edit ? "line" : "absent", "LINE"});
      EXPECT_EQ(next.status, 0);
      EXPECT_EQ(next.out + next.err, "");
      const std::string content = scratch.read("notes.txt");
      if (real_edit) {
        EXPECT_TRUE(content == replace_all(original, "line", "LINE") ||
                    content == replace_all(expected, "line", "LINE"));
      } else {
        EXPECT_TRUE(content == original || content == expected);
      }
      EXPECT_EQ(scratch.names(), Names{"notes.txt"});
    }
  }
}

// What a run killed as its commit begins leaves is completed by the next run
// only when it is proven this user's run's, for this target, whole, and the
// target is what such a kill leaves. Each case here changes one thing after
// the kill: nothing is then rolled forward, nothing foreign is removed or read
// into the target, and the next run goes on with its own edit, or refuses
// with the kept copy named where the target is no longer what the kill left.
TEST_F(Faults, WhatAKilledRunLeftIsTrustedOnlyWhenProvenItsOwn) {
  if (scratch.windows()) GTEST_SKIP() << "POSIX owners, links and locks";
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void()> change;
    bool refused;  // the target is no longer what the kill left
  };
  int held = -1;  // a lock of another run's, when a case takes one
  const std::vector<Case> cases = {
      {"another user's files",
       [&] {
         ASSERT_EQ(::chown(scratch.path("notes.txt.tmp").c_str(), 65534, 65534), 0);
         ASSERT_EQ(::chown(scratch.path("notes.txt.tmp.rec").c_str(), 65534, 65534), 0);
       },
       false},
      {"a record of another file, the target replaced by a copy",
       [&] {
         scratch.write("copy", original);
         ASSERT_EQ(std::rename(scratch.path("copy").c_str(), scratch.path("notes.txt").c_str()), 0);
       },
       false},
      {"a wrong checksum",
       [&] { scratch.write("notes.txt.tmp", expected.substr(0, expected.size() - 1) + "X"); },
       false},
      {"a truncated content",
       [&] { scratch.write("notes.txt.tmp", expected.substr(0, expected.size() - 1)); }, false},
      {"a link to a secret file at the temporary name",
       [&] {
         scratch.write("../secret", expected);
         ASSERT_EQ(::chmod(scratch.path("../secret").c_str(), 0600), 0);
         ASSERT_EQ(std::remove(scratch.path("notes.txt.tmp").c_str()), 0);
         ASSERT_EQ(::symlink("../secret", scratch.path("notes.txt.tmp").c_str()), 0);
       },
       false},
      {"a lock a live run holds",
       [&] {
         held = ::open(scratch.path("notes.txt.tmp").c_str(), O_RDWR);
         struct flock lock_byte {};
         lock_byte.l_type = F_WRLCK;
         lock_byte.l_whence = SEEK_SET;
         lock_byte.l_start = std::numeric_limits<off_t>::max() - 15;
         lock_byte.l_len = 1;
         ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &lock_byte), 0);
       },
       false},
      {"the target changed before its first change",
       [&] { scratch.write("notes.txt", "LINE" + original.substr(4)); }, true},
  };
  for (const Case& forged : cases) {
    SCOPED_TRACE(forged.name);
    if (!root && forged.name == std::string("another user's files")) continue;
    ASSERT_EQ(edit("before_commit 1 kill 0").status, 1000 + SIGKILL);
    ASSERT_EQ(scratch.names(), (Names{"notes.txt", "notes.txt.tmp", "notes.txt.tmp.rec"}));
    forged.change();
    const std::string target = scratch.read("notes.txt");
    const std::string kept = scratch.read("notes.txt.tmp");
    const std::string record = scratch.read("notes.txt.tmp.rec");
    const RunResult next = scratch.run({"/rt", "notes.txt", "absent", "x"});
    if (held >= 0) ::close(held);
    held = -1;
    EXPECT_EQ(next.status, forged.refused ? 252 : 0);
    EXPECT_EQ(next.out, forged.refused ? kIncomplete : "");
    EXPECT_TRUE(scratch.read("notes.txt") == target);
    EXPECT_TRUE(scratch.read("notes.txt.tmp") == kept);
    EXPECT_TRUE(scratch.read("notes.txt.tmp.rec") == record);
    EXPECT_EQ(scratch.read("../secret"),
              forged.name == std::string("a link to a secret file at the temporary name")
                  ? expected
                  : "<missing>");
    std::remove(scratch.path("../secret").c_str());
  }
}

// On a file system that shares blocks (XFS), an edit that keeps the length
// makes its temporary file a clone of the target and writes only the changed
// blocks to it and to the target. A run killed at any call is completed or
// cleared by the next; and the clone never lets a write to one file show in
// the other.
TEST(SharedBlocks, AnEditThatKeepsTheLengthSharesItsUnchangedBlocksSafely) {
  const XfsImage disk;
  if (faulty_binary().ends_with(".exe") || !disk.mounted()) {
    GTEST_SKIP() << "needs root, xfsprogs and loop devices, and the Linux program";
  }
  {
    ScratchDirectory scratch(faulty_binary(), disk.mount_point());
    std::string original;
    for (int line = 0; original.size() < (std::size_t{1} << 20); ++line) {
      original += "line " + std::to_string(line) + (line % 4000 == 7 ? " a cat sat\n" : " plain\n");
    }
    const std::string expected = replace_all(original, "cat", "dog");
    const auto edit = [&](const std::string& fault) {
      for (const std::string& name : scratch.names()) std::remove(scratch.path(name).c_str());
      scratch.write("notes.txt", original);
      RunOptions options;
      options.environment = {"ZIBEL_TEST_FAULT=" + fault};
      return scratch.run({"/rt", "notes.txt", "cat", "dog"}, options);
    };
    // Killed once the target is committed: the temporary file, a clone with
    // the changed blocks written, shares the rest with the target.
    ASSERT_EQ(edit("after_commit 1 kill 0").status, 1000 + SIGKILL);
    ASSERT_TRUE(scratch.read("notes.txt") == expected);
    ASSERT_TRUE(scratch.read("notes.txt.tmp") == expected);
    const auto overwrite = [&](const std::string& name) {
      const int fd = ::open(scratch.path(name).c_str(), O_WRONLY);
      EXPECT_EQ(::pwrite(fd, "XXXX", 4, 300000), 4);
      ::close(fd);
    };
    overwrite("notes.txt");
    EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
    overwrite("notes.txt.tmp");
    EXPECT_EQ(scratch.read("notes.txt").substr(300000, 4), "XXXX");
    EXPECT_EQ(scratch.read("notes.txt"),
              expected.substr(0, 300000) + "XXXX" + expected.substr(300004));

    // Killed at every call of such an edit.
    for (const char* kind : {"clone", "write", "flush", "link", "preallocate", "copy", "remove"}) {
      for (unsigned call = 1; call <= 3; ++call) {
        const std::string fault = std::string(kind) + " " + std::to_string(call) + " kill 0";
        SCOPED_TRACE(fault);
        const RunResult killed = edit(fault);
        EXPECT_TRUE(killed.status == 1000 + SIGKILL || killed.status == 0) << killed.status;
        expect_next_run_leaves_old_or_new(scratch, original, expected);
      }
    }
  }
}

// A directory on the way swapped for a link to another just before the
// temporary files' directory is opened: the directory opened no longer holds
// the target, and nothing is made, read or left in the other.
TEST_F(Faults, ADirectorySwappedOnTheWayNeverGetsTheTemporaryFiles) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  reset();
  ASSERT_EQ(::mkdir(scratch.path("d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(scratch.path("other").c_str(), 0755), 0);
  ASSERT_EQ(std::rename(scratch.path("notes.txt").c_str(), scratch.path("d/notes.txt").c_str()), 0);
  scratch.write("other/notes.txt", "other cat");
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=open 3 hook 0",
                         "ZIBEL_TEST_HOOK=mv d d.real && ln -s other d"};
  const RunResult result = scratch.run({"/rt", "d/notes.txt", "cat", "tiger"}, options);
  EXPECT_EQ(result.status, 253);
  EXPECT_EQ(result.out, kCannotWrite);
  EXPECT_TRUE(scratch.read("d.real/notes.txt") == original);
  EXPECT_EQ(scratch.names("other"), Names{"notes.txt"});
  EXPECT_EQ(scratch.names("d.real"), Names{"notes.txt"});
}

// Files of the user's own under the names the tool gives its files are not a
// run's leftovers, even private and empty, and even when a run was killed
// just as it found the temporary name taken: the next run leaves them.
TEST_F(Faults, TheUsersOwnFilesUnderTheToolsNamesAreNeverRemoved) {
  const int killed = scratch.windows() ? 137 : 1000 + SIGKILL;
  for (const auto& [name, mine] : {std::pair<std::string, std::string>{"notes.txt.tmp.rec", ""},
                                   {"notes.txt.tmp", "mine\n"}}) {
    SCOPED_TRACE(name);
    reset();
    scratch.write(name, mine);
    ASSERT_EQ(::chmod(scratch.path(name).c_str(), 0600), 0);
    RunOptions options;
    options.environment = {"ZIBEL_TEST_FAULT=create 2 kill 0"};
    ASSERT_EQ(scratch.run({"/rt", "notes.txt", old_string, new_string}, options).status, killed);
    EXPECT_EQ(scratch.run({"/rt", "notes.txt", "absent", "x"}).status, 0);
    EXPECT_TRUE(scratch.read("notes.txt") == original);
    EXPECT_EQ(scratch.read(name), mine);
  }
}

// Where files are named as they are made, a run killed just after its record
// said `preparing` names a temporary name that was free then. notes.txt.1.tmp,
// the second name of notes.txt, is the first of notes.txt.1, whose run may
// keep its new content there, killed in its commit: a run on notes.txt must
// leave that copy, and the next run on notes.txt.1 completes its commit.
TEST_F(Faults, ARecordLeftBeforeTheCommitNeverRemovesAnotherFilesKeptCopy) {
  if (!scratch.windows() && ::geteuid() != 0) GTEST_SKIP() << "hiding /proc needs root";
#if defined(__SANITIZE_ADDRESS__)
  if (!scratch.windows()) GTEST_SKIP() << "the sanitizers' runtime cannot start without /proc";
#endif
  reset();
  scratch.write("notes.txt.tmp", "mine\n");
  const auto killed_after_record = [&] {
    RunOptions options;
    options.environment = {"ZIBEL_TEST_TRACE=" + scratch.path("../trace")};
    if (scratch.run({"/rt", "notes.txt", "cat", "dog"}, options).status != 0) return false;
    for (const TracedCall& call : read_trace(scratch.path("../trace"))) {
      if (call.point == "create" && call.name == "notes.txt.1.tmp") {
        options.environment = {"ZIBEL_TEST_FAULT=create " + std::to_string(call.count) + " kill 0"};
      }
    }
    scratch.write("notes.txt", original);
    return scratch.run({"/rt", "notes.txt", "cat", "dog"}, options).status != 0;
  };
  if (scratch.windows()) {
    ASSERT_TRUE(killed_after_record());
  } else {
    // Without /proc, Linux names new files as they are made too.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("none", "/proc", "tmpfs", 0, nullptr), 0);
    const bool killed = killed_after_record();
    ASSERT_EQ(::umount2("/proc", 0), 0);
    ASSERT_TRUE(killed);
  }
  // notes.txt.1 shrinks: its commit cuts it first, and is killed then.
  scratch.write("notes.txt.1", original);
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=before_commit 1 kill 0"};
  ASSERT_NE(scratch.run({"/rt", "notes.txt.1", "cat", "c"}, options).status, 0);
  EXPECT_EQ(scratch.run({"/rt", "notes.txt", "absent", "x"}).status, 0);
  EXPECT_EQ(scratch.run({"/rt", "notes.txt.1", "absent", "x"}).status, 0);
  EXPECT_TRUE(scratch.read("notes.txt.1") == replace_all(original, "cat", "c"));
  EXPECT_EQ(scratch.read("notes.txt.tmp"), "mine\n");
}

// The completion of a commit that a run left is a commit too: a signal waits
// until it is complete, and never tears the target.
TEST_F(Faults, ASignalWaitsForTheCompletionOfACommitLeftBehind) {
  if (scratch.windows()) GTEST_SKIP() << "the kernel's copy, in chunks of 1 MiB";
  while (original.size() < (3u << 20)) original += original;
  expected = replace_all(original, old_string, new_string);
  ASSERT_EQ(edit("before_commit 1 kill 0").status, 1000 + SIGKILL);
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=copy 2 signal " + std::to_string(SIGTERM)};
  EXPECT_EQ(scratch.run({"/rt", "notes.txt", "absent", "x"}, options).status, 1000 + SIGTERM);
  EXPECT_TRUE(scratch.read("notes.txt") == expected);
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});
}

// A commit is complete once the target is flushed, even when its temporary
// file cannot be removed then: what another program writes to the target
// afterwards is never rolled back by the next run. The same goes for the
// completion of a commit that a killed run left.
TEST_F(Faults, AFinishedCommitIsNeverCompletedAgain) {
  const std::string cannot_remove = "remove 1 fail " + std::to_string(EACCES);
  for (const bool left_by_a_killed_run : {false, true}) {
    SCOPED_TRACE(left_by_a_killed_run ? "completed by the next run" : "the run's own commit");
    if (left_by_a_killed_run) {
      ASSERT_NE(edit("before_commit 1 kill 0").status, 0);
      RunOptions options;
      options.environment = {"ZIBEL_TEST_FAULT=" + cannot_remove};
      ASSERT_EQ(scratch.run({"/rt", "notes.txt", "absent", "x"}, options).status, 0);
    } else {
      ASSERT_EQ(edit(cannot_remove).status, 0);
    }
    ASSERT_TRUE(scratch.read("notes.txt") == expected);
    std::string changed = expected;
    changed.replace(changed.rfind("plain"), 5, "PLAIN");
    scratch.write("notes.txt", changed);
    EXPECT_EQ(scratch.run({"/rt", "notes.txt", "absent", "x"}).status, 0);
    EXPECT_TRUE(scratch.read("notes.txt") == changed);
  }
}

// Windows has one kind of interrupt (Ctrl-C), which ends a program with
// STATUS_CONTROL_C_EXIT, 0xC000013A; Wine passes on its low byte.
constexpr int kControlCExit = 0x3A;

// Every signal whose default action ends a process: before the commit it
// ends the run as it would, with the temporary file removed and the target
// untouched; during the commit it waits until the commit is complete. The
// target is never torn. Windows has one kind of interrupt, whatever the number.
std::vector<int> ending_signals(bool windows) {
  if (windows) return {SIGINT, SIGTERM, SIGHUP};
  return {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2,   SIGALRM,  SIGVTALRM, SIGPROF,
          SIGXCPU, SIGIO,   SIGPWR, SIGSYS,  SIGTRAP, SIGSTKFLT, SIGRTMIN, SIGRTMAX};
}

TEST_F(Faults, EndingSignalsNeverTearTheTarget) {
  const auto calls = count_calls();
  int before_commit = 0;
  int after_commit = 0;
  for (const int signal_number : ending_signals(scratch.windows())) {
    for (const std::string& operation : call_kinds()) {
      for (unsigned call = 1; call <= calls.at(operation); ++call) {
        const std::string fault =
            operation + " " + std::to_string(call) + " signal " + std::to_string(signal_number);
        SCOPED_TRACE(fault);
        const RunResult result = edit(fault);
        EXPECT_EQ(result.status, scratch.windows() ? kControlCExit : 1000 + signal_number);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(scratch.names(), Names{"notes.txt"});
        const std::string content = scratch.read("notes.txt");
        if (content == original) {
          ++before_commit;
        } else {
          EXPECT_EQ(content, expected);
          ++after_commit;
        }
      }
    }
  }
  EXPECT_GT(before_commit, 0);
  EXPECT_GT(after_commit, 0);
}

// Signals 32 and 33, which the C library keeps for itself and will neither
// handle nor block, still end a program: during the commit they wait, as the
// others do, until it is complete and told. (Before it, they end the run as
// SIGKILL would.)
TEST_F(Faults, SignalsTheLibraryKeepsWaitForTheCommit) {
  if (scratch.windows()) GTEST_SKIP() << "POSIX signals";
  for (const auto& [fault, signal_number] :
       {std::pair{"before_commit 1 signal 32", 32}, std::pair{"truncate 1 signal 33", 33}}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault);
    EXPECT_EQ(result.status, 1000 + signal_number);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// Interrupts that the caller blocked stay blocked: holding them back around
// the temporary file and the commit must not let them through.
TEST_F(Faults, InterruptsBlockedByTheCallerStayBlocked) {
  if (scratch.windows()) GTEST_SKIP() << "Windows has no signal masks";
  RunOptions options;
  options.interrupts_blocked = true;
  for (const std::string fault :
       {"write 1 signal 2", "before_commit 1 signal 15", "lock 1 signal 1"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// The commit writes the target only from its first changed byte: an edit
// near the end of a large file writes a tenth of what one at its start writes.
TEST_F(Faults, TheCommitWritesOnlyFromTheFirstChange) {
  const auto written_to_target = [&] {
    long long target = -1;
    long long written = 0;
    for (const TracedCall& call : trace_calls()) {
      if (call.point == "read" && target == -1) target = call.file;  // the pass reads it first
      if ((call.point == "write" || call.point == "copy") && call.file == target) {
        written += call.result;
      }
    }
    return written;
  };
  const std::string plain(4u << 20, '.');
  original = "cat" + plain;
  expected = "tiger" + plain;
  const long long early = written_to_target();
  original = plain.substr(0, plain.size() / 10 * 9) + "cat" + plain.substr(plain.size() / 10 * 9);
  expected = replace_all(original, "cat", "tiger");
  const long long late = written_to_target();
  EXPECT_LT(late, early / 5) << "bytes written: " << early << " early, " << late << " late";
}

// The kernel copy refused (as some sandboxes answer it with EPERM) or ending
// at once: until it has copied anything, the copy goes through memory
// instead; once bytes have gone through, a failure is a failure.
TEST_F(Faults, KernelCopyFallsBackOnlyBeforeItHasCopiedAnything) {
  if (scratch.windows()) GTEST_SKIP() << "Windows copies through memory always";
  // Large enough that the commit's copy takes several calls.
  while (original.size() < (std::size_t{3} << 20)) original += original;
  expected = replace_all(original, "cat", "tiger");
  const unsigned copies = count_calls().at("copy");
  ASSERT_GE(copies, 3u);  // the unchanged start, then the commit in pieces
  for (unsigned call = 1; call <= copies; ++call) {
    for (const std::string effect : {"fail 1", "zero 0"}) {
      const std::string fault = "copy " + std::to_string(call) + " " + effect;
      SCOPED_TRACE(fault);
      const RunResult result = edit(fault);
      // Calls 1 and 2 are the first of their copies.
      if (call <= 2) {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(scratch.read("notes.txt") == expected);
        EXPECT_EQ(scratch.names(), Names{"notes.txt"});
      } else {
        EXPECT_EQ(result.status, 252);
        EXPECT_EQ(result.out, kIncomplete);
        EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
      }
    }
  }
}

// Another program renames a file of its own onto the temporary file's name,
// at the moment of each call of an edit: its bytes never reach the target, and
// its file is never removed.
TEST_F(Faults, AFileSwappedInUnderTheTemporaryNameNeverReachesTheTarget) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  const auto calls = count_calls();
  const std::string foreign = "FOREIGN bytes of another program\n";
  RunOptions options;
  options.environment = {"ZIBEL_TEST_HOOK=printf '" + foreign +
                         "' > ../foreign && mv -f ../foreign notes.txt.tmp"};
  for (const std::string& operation : call_kinds()) {
    for (unsigned call = 1; call <= calls.at(operation); ++call) {
      const std::string fault = operation + " " + std::to_string(call) + " hook 0";
      SCOPED_TRACE(fault);
      const RunResult result = edit(fault, options);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out + result.err, "");
      EXPECT_TRUE(scratch.read("notes.txt") == expected);
      EXPECT_EQ(scratch.names(), (Names{"notes.txt", "notes.txt.tmp"}));
      EXPECT_EQ(scratch.read("notes.txt.tmp"), "FOREIGN bytes of another program\n");
    }
  }
}

// The same with a signal that ends the run just after the swap: the signal's
// cleanup looks before it removes, and the other program's file stays.
TEST_F(Faults, ASignalNeverRemovesAFileSwappedInUnderTheTemporaryName) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {
      "ZIBEL_TEST_HOOK=printf foreign > ../foreign && mv -f ../foreign notes.txt.tmp && "
      "kill -TERM $PPID"};
  for (const std::string fault : {"write 2 hook 0", "flush 1 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 1000 + SIGTERM);
    EXPECT_TRUE(scratch.read("notes.txt") == original);
    EXPECT_EQ(scratch.names(), (Names{"notes.txt", "notes.txt.tmp"}));
    EXPECT_EQ(scratch.read("notes.txt.tmp"), "foreign");
  }
}

// A second run of the tool started on the temporary file, at moments after it
// was made: it waits until the first run has ended, so the first run's result
// holds nothing of the second's edit.
TEST_F(Faults, ASecondRunOnTheTemporaryFileWaitsUntilTheEditHasEnded) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {
      "ZIBEL_TEST_HOOK=(env -u ZIBEL_TEST_FAULT -u ZIBEL_TEST_HOOK ../zibel /rt notes.txt.tmp "
      "tiger LION; echo $? > ../second.status) >/dev/null & sleep 0.3"};
  for (const std::string fault : {"write 2 hook 0", "temporary_durable 1 hook 0",
                                  "before_commit 1 hook 0", "truncate 1 hook 0"}) {
    SCOPED_TRACE(fault);
    std::remove(scratch.path("../second.status").c_str());
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    // The second run ends once the first has.
    std::string second;
    for (int wait = 0; wait < 500 && second.empty(); ++wait) {
      ::usleep(10000);
      const std::string status = scratch.read("../second.status");
      if (status != "<missing>" && status.find('\n') != std::string::npos) second = status;
    }
    // Not found, or found gone once its turn came (the first run removed the
    // name meanwhile): either way it changed nothing.
    EXPECT_TRUE(second == "254\n" || second == "253\n") << second;
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// The lock that keeps runs of the tool apart is not one other programs ask
// for: while an edit holds it, a script's `flock -n` on the file succeeds.
TEST_F(Faults, OtherProgramsLockTheFileDuringAnEdit) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {"ZIBEL_TEST_HOOK=flock -n -x notes.txt true"};
  for (const std::string fault :
       {"read 2 hook 0", "temporary_durable 1 hook 0", "before_commit 1 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
  }
}

// Another program appends to the target after the tool has read it and before
// the commit (a log written to meanwhile): its bytes are never cut off. The
// edit gives up with the target as the other program left it.
TEST_F(Faults, BytesAppendedByAnotherProgramBeforeTheCommitAreKept) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {"ZIBEL_TEST_HOOK=printf 'appended by a logger\\n' >> notes.txt"};
  for (const std::string fault :
       {"write 2 hook 0", "flush 1 hook 0", "temporary_durable 1 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, kCannotUpdate);
    EXPECT_TRUE(scratch.read("notes.txt") == original + "appended by a logger\n");
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// Another program rewrites the start of the target without changing its
// length between the pass and the commit: the target ends up as that program
// left it, never as a mixture of its change and the edit. (The hook waits a
// moment first, so that even a coarse file system clock tells the write.)
TEST_F(Faults, ASameLengthChangeBeforeTheCommitIsNeverMixedIn) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {
      "ZIBEL_TEST_HOOK=sleep 0.02 && printf LINE | dd of=notes.txt conv=notrunc status=none"};
  const std::string theirs = "LINE" + original.substr(4);
  for (const std::string fault :
       {"read 2 hook 0", "flush 1 hook 0", "temporary_durable 1 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, kCannotUpdate);
    EXPECT_TRUE(scratch.read("notes.txt") == theirs);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// A target whose last name is too long for the ending: the kept copy is still
// named after it, not a bare ".tmp" shared by every such file, and a UTF-8 name
// is cut between its characters.
TEST_F(Faults, TheKeptCopyOfAnOverlongNameIsNamedAfterIt) {
  if (scratch.windows()) GTEST_SKIP() << "a POSIX name";
  std::string accents;  // 127 two-byte characters and one byte: 255 bytes
  for (int i = 0; i < 127; ++i) accents += "\u00e9";
  const std::string latin1(255, '\xB0');  // Latin-1 degree signs, not UTF-8
  for (const auto& [name, kept] : {std::pair{latin1, latin1.substr(0, 251)},
                                   std::pair{accents + "x", accents.substr(0, 250)}}) {
    reset();
    ASSERT_EQ(std::rename(scratch.path("notes.txt").c_str(), scratch.path(name).c_str()), 0);
    RunOptions options;
    options.environment = {"ZIBEL_TEST_FAULT=truncate 1 fail 5"};
    const RunResult result = scratch.run({"/rt", name, "cat", "tiger"}, options);
    EXPECT_EQ(result.status, 252);
    EXPECT_EQ(result.out,
              "\nFile update incomplete!\nThe new content is kept in " + kept + ".tmp\n");
  }
}

// An outcome told to a pipe that nobody reads: the commit is over, and the
// run can still be ended while the message waits.
TEST_F(Faults, ARunWaitingToTellItsOutcomeCanStillBeEnded) {
  reset();
  RunOptions options;
  options.output = RunOptions::Output::full_pipe;
  options.environment = {"ZIBEL_TEST_FAULT=truncate 1 fail 5"};
  const Started run = scratch.start({"/rt", "notes.txt", "cat", "tiger"}, options);
  ::usleep(scratch.windows() ? 2000000 : 300000);
  // Wine passes SIGINT on to a console program as Ctrl-C.
  ::kill(run.pid, scratch.windows() ? SIGINT : SIGTERM);
  const auto result = scratch.wait_for(run, std::chrono::seconds(10));
  ASSERT_TRUE(result.has_value()) << "the run could not be ended";
  EXPECT_EQ(result->status, scratch.windows() ? kControlCExit : 1000 + SIGTERM);
  EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
}

// A pipe renamed onto the target's name, before the tool looks at it or
// between the look and the open for writing: it is never opened for reading
// or writing, so a writer waiting on it stays waiting with its data, and the
// file looked at is the file edited, or none is.
TEST_F(Faults, APipeSwappedInIsNeverOpened) {
  if (scratch.windows()) GTEST_SKIP() << "a POSIX pipe";
  const std::string fifo = scratch.path("../pipe");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"open 1 hook 0", kCannotOpen},   // before the look: a pipe is refused
      {"look 2 hook 0", kCannotWrite},  // after it: the name no longer leads to the file
  };
  for (const auto& [fault, message] : cases) {
    SCOPED_TRACE(fault);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
      const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits for a reader
      ::_exit(fd >= 0 && ::write(fd, "data", 4) == 4 ? 0 : 1);
    }
    ASSERT_GT(writer, 0);
    RunOptions options;
    options.environment = {"ZIBEL_TEST_HOOK=mv ../pipe notes.txt"};
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, message);
    int status = 0;
    EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the writer was released";
    // The test is the reader the writer waited for.
    const int reader = ::open(scratch.path("notes.txt").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(::waitpid(writer, &status, 0), writer);
    char data[8] = {};
    EXPECT_EQ(::read(reader, data, sizeof data), 4);
    ::close(reader);
    EXPECT_EQ(std::string(data), "data");
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// Without /proc (a chroot, a container), the target is opened by its name,
// looked at before and after.
TEST_F(Faults, WithoutProcTheTargetIsOpenedByItsName) {
  if (scratch.windows()) GTEST_SKIP() << "Linux's /proc";
  const RunResult result = edit("open 2 fail " + std::to_string(ENOENT));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(scratch.read("notes.txt") == expected);
  EXPECT_EQ(scratch.names(), Names{"notes.txt"});
}

// With standard input and output closed, the files the tool opens would take
// their numbers, and anything printed would land in them: the run starts with
// both on the null device instead.
TEST_F(Faults, ClosedStandardDescriptorsAreNeverGivenToAFile) {
  if (scratch.windows()) GTEST_SKIP() << "the hook reads Linux's /proc";
  RunOptions options;
  options.output = RunOptions::Output::closed;
  options.environment = {
      "ZIBEL_TEST_HOOK=readlink /proc/$PPID/fd/0 /proc/$PPID/fd/1 > ../descriptors"};
  for (const std::string fault : {"read 1 hook 0", "write 1 hook 0", "copy 2 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("../descriptors"), "/dev/null\n/dev/null\n");
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
  }
}

// When the target is a symbolic link, the temporary file lies beside the file
// it leads to, and the message names it there.
TEST_F(Faults, TheKeptCopyLiesBesideTheFileALinkLeadsTo) {
  if (scratch.windows()) GTEST_SKIP() << "Wine has no symbolic links";
  reset();
  ASSERT_EQ(::mkdir(scratch.path("real").c_str(), 0755), 0);
  ASSERT_EQ(std::rename(scratch.path("notes.txt").c_str(), scratch.path("real/notes.txt").c_str()),
            0);
  ASSERT_EQ(::symlink("real/notes.txt", scratch.path("link.txt").c_str()), 0);
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=truncate 1 fail 5"};
  const RunResult result = scratch.run({"/rt", "link.txt", "cat", "tiger"}, options);
  EXPECT_EQ(result.status, 252);
  EXPECT_EQ(result.out,
            "\nFile update incomplete!\nThe new content is kept in real/notes.txt.tmp\n");
  EXPECT_TRUE(scratch.read("real/notes.txt.tmp") == expected);
  EXPECT_EQ(scratch.names(), (Names{"link.txt", "real"}));
}

// The message names the kept copy as it is. On Windows, output that is not a
// console gets the console's code page (the ANSI code page 1252 here, with no
// console), where a character it lacks shows as '?', never as a look-alike.
// The copy is private: mode 0600 on Linux; under Wine, which turns the
// copy's DACL into mode bits, nothing for others.
TEST_F(Faults, TheKeptCopyIsNamedAsItIsAndPrivate) {
  reset();
  const std::string name = "café 日本.txt";
  ASSERT_EQ(std::rename(scratch.path("notes.txt").c_str(), scratch.path(name).c_str()), 0);
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=truncate 1 fail 5"};
  const RunResult result = scratch.run({"/rt", name, "cat", "tiger"}, options);
  EXPECT_EQ(result.status, 252);
  const std::string shown = scratch.windows() ? "caf\xE9 ??.txt.tmp" : name + ".tmp";
  EXPECT_EQ(result.out, "\nFile update incomplete!\nThe new content is kept in " + shown + "\n");
  EXPECT_TRUE(scratch.read(name + ".tmp") == expected);
  EXPECT_EQ(scratch.names(), (Names{name, name + ".tmp", name + ".tmp.rec"}));
  struct stat kept {};
  ASSERT_EQ(::stat(scratch.path(name + ".tmp").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & (scratch.windows() ? 0007u : 0077u), 0u) << std::oct << kept.st_mode;
}

}  // namespace
}  // namespace zibel::testing
