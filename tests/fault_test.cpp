// Every system call of a real edit, broken on purpose one at a time: made to
// fail, interrupted, cut short, or hit by an interrupt signal. Whatever
// happens, the target keeps its old content unless the new content is complete
// somewhere the user is told about, and no stray file is left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "zibel_runner.h"

namespace zibel::testing {
namespace {

using Names = std::vector<std::string>;
using platform::faults::kOperationNames;

const std::string kIncomplete =
    "\nFile update incomplete!\nThe new content is kept in notes.txt.tmp\n";
const std::map<std::string, std::string> kFailureMessages = {
    {"open", "\nCannot open file!\n"},
    {"read", "\nCannot read file!\n"},
    {"write", "\nCannot write temporary file!\n"},
    {"update", "\nCannot update file!\n"},
};

// The error each kind of call fails with.
int error_for(const std::string& operation) {
  if (operation == "write" || operation == "copy" || operation == "create") return ENOSPC;
  if (operation == "remove") return EBUSY;
  return EIO;
}

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

  // Puts the target back as it was, alone in its folder.
  void reset() {
    for (const std::string& name : scratch.names()) std::remove(scratch.path(name).c_str());
    scratch.write("notes.txt", original);
  }

  RunResult edit(const std::string& fault, RunOptions options = {}) {
    reset();
    options.environment.push_back("ZIBEL_TEST_FAULT=" + fault);
    return scratch.run({"/rt", "notes.txt", "cat", "tiger"}, options);
  }

  // How many calls of each kind an edit without faults makes.
  std::map<std::string, unsigned> count_calls() {
    reset();
    const std::string calls_path = scratch.path("../calls");
    RunOptions options;
    options.environment = {"ZIBEL_TEST_CALLS=" + calls_path};
    const RunResult result = scratch.run({"/rt", "notes.txt", "cat", "tiger"}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    std::map<std::string, unsigned> calls;
    std::ifstream file(calls_path);
    std::string operation;
    unsigned count = 0;
    while (file >> operation >> count) calls[operation] = count;
    return calls;
  }

  // Checks what a run with one failing call left: an honest message and
  // status, and the file in one of the states that lose nothing.
  void expect_nothing_lost(const std::string& operation, const RunResult& result) {
    EXPECT_EQ(result.err, "");
    const Names names = scratch.names();
    switch (result.status) {
      case 0:
        // Only failures that cannot matter may go unreported: closing a file
        // that was only read, removing the temporary file at the end, and a
        // kernel copy that fails before it copied anything, which is then
        // made through memory.
        EXPECT_TRUE(operation == "close" || operation == "remove" ||
                    (operation == "copy" && !scratch.windows()))
            << "a failure reported as success";
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(scratch.read("notes.txt") == expected);
        if (operation == "remove" && names.size() == 2) {
          EXPECT_EQ(names, (Names{"notes.txt", "notes.txt.tmp"}));
          EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
        } else {
          EXPECT_EQ(names, Names{"notes.txt"});
        }
        break;
      case 253:
        EXPECT_TRUE(scratch.read("notes.txt") == original);
        EXPECT_EQ(names, Names{"notes.txt"});
        if (operation == "read") {
          EXPECT_EQ(result.out, kFailureMessages.at("read"));
        }
        if (operation == "reserve") {
          EXPECT_EQ(result.out, kFailureMessages.at("update"));
        }
        if (operation == "create" || operation == "write") {
          EXPECT_EQ(result.out, kFailureMessages.at("write"));
        }
        EXPECT_TRUE(std::any_of(kFailureMessages.begin(), kFailureMessages.end(),
                                [&](const auto& message) { return message.second == result.out; }))
            << result.out;
        break;
      case 252:
        EXPECT_EQ(result.out, kIncomplete);
        EXPECT_EQ(names, (Names{"notes.txt", "notes.txt.tmp"}));
        EXPECT_TRUE(scratch.read("notes.txt.tmp") == expected);
        break;
      default:
        ADD_FAILURE() << "status " << result.status << ", printed: " << result.out;
    }
  }

  ScratchFolder scratch;
  std::string original;
  std::string expected;
};

TEST_F(Faults, AnEditMakesEveryKindOfCall) {
  const auto calls = count_calls();
  for (const std::string_view operation : kOperationNames) {
    EXPECT_GE(calls.at(std::string(operation)), 1u) << operation;
  }
  EXPECT_EQ(calls.at("lock"), 2u);   // the target, and the temporary file
  EXPECT_GE(calls.at("read"), 3u);   // the file is larger than the buffer
  EXPECT_GE(calls.at("write"), 2u);  // and so is the new content
}

TEST_F(Faults, AnyFailingCallLosesNothingAndIsReported) {
  const auto calls = count_calls();
  std::set<int> statuses;
  for (const std::string_view name : kOperationNames) {
    const std::string operation(name);
    for (unsigned call = 1; call <= calls.at(operation); ++call) {
      const std::string fault =
          operation + " " + std::to_string(call) + " fail " + std::to_string(error_for(operation));
      SCOPED_TRACE(fault);
      const RunResult result = edit(fault);
      statuses.insert(result.status);
      expect_nothing_lost(operation, result);
    }
  }
  // Failures before the commit and during it were both reached.
  EXPECT_TRUE(statuses.count(253) && statuses.count(252));
}

TEST_F(Faults, InterruptedAndShortCallsAreCarriedOn) {
  const auto calls = count_calls();
  for (const std::string_view name : kOperationNames) {
    const std::string operation(name);
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
    for (const std::string_view name : kOperationNames) {
      const std::string operation(name);
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

// Interrupts that the caller blocked stay blocked: holding them back around
// the temporary file and the commit must not let them through.
TEST_F(Faults, InterruptsBlockedByTheCallerStayBlocked) {
  if (scratch.windows()) GTEST_SKIP() << "Windows has no signal masks";
  RunOptions options;
  options.interrupts_blocked = true;
  for (const std::string fault : {"write 1 signal 2", "copy 2 signal 15", "lock 1 signal 1"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(scratch.read("notes.txt") == expected);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// The commit writes the target only from its first changed byte: an edit
// near the end of a large file copies about as much as one at its start, not
// the whole file twice.
TEST_F(Faults, TheCommitWritesOnlyFromTheFirstChange) {
  const std::string plain(4u << 20, '.');
  original = "cat" + plain;
  expected = "tiger" + plain;
  const unsigned early = count_calls().at("copy");
  original = plain.substr(0, plain.size() / 10 * 9) + "cat" + plain.substr(plain.size() / 10 * 9);
  expected = replace_all(original, "cat", "tiger");
  const unsigned late = count_calls().at("copy");
  EXPECT_LT(late, early * 3 / 2) << "copies: " << early << " early, " << late << " late";
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
  for (const std::string_view name : kOperationNames) {
    const std::string operation(name);
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

// A second run of the tool started on the temporary file, at moments after it
// was made: it waits until the first run has ended, so the first run's result
// holds nothing of the second's edit.
TEST_F(Faults, ASecondRunOnTheTemporaryFileWaitsUntilTheEditHasEnded) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {
      "ZIBEL_TEST_HOOK=(env -u ZIBEL_TEST_FAULT -u ZIBEL_TEST_HOOK ../zibel /rt notes.txt.tmp "
      "tiger LION; echo $? > ../second.status) >/dev/null & sleep 0.3"};
  for (const std::string fault : {"write 2 hook 0", "flush 1 hook 0", "flush 2 hook 0",
                                  "reserve 1 hook 0", "copy 2 hook 0", "truncate 1 hook 0"}) {
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
  for (const std::string fault : {"read 2 hook 0", "flush 1 hook 0", "copy 2 hook 0"}) {
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
  for (const std::string fault : {"write 2 hook 0", "flush 1 hook 0", "flush 2 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, kFailureMessages.at("update"));
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
  for (const std::string fault : {"read 2 hook 0", "flush 1 hook 0", "flush 2 hook 0"}) {
    SCOPED_TRACE(fault);
    const RunResult result = edit(fault, options);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, kFailureMessages.at("update"));
    EXPECT_TRUE(scratch.read("notes.txt") == theirs);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

// A target whose last name is not UTF-8 and too long for the ending: the kept
// copy is still named after it, not a bare ".tmp" shared by every such file.
TEST_F(Faults, TheKeptCopyOfAnOverlongNameIsNamedAfterIt) {
  if (scratch.windows()) GTEST_SKIP() << "a POSIX name";
  reset();
  const std::string name(255, '\xB0');  // Latin-1 degree signs
  ASSERT_EQ(std::rename(scratch.path("notes.txt").c_str(), scratch.path(name).c_str()), 0);
  RunOptions options;
  options.environment = {"ZIBEL_TEST_FAULT=truncate 1 fail 5"};
  const RunResult result = scratch.run({"/rt", name, "cat", "tiger"}, options);
  EXPECT_EQ(result.status, 252);
  EXPECT_EQ(result.out, "\nFile update incomplete!\nThe new content is kept in " +
                            name.substr(0, 251) + ".tmp\n");
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

// The target swapped for another file between the look at it and the open:
// the file that was looked at is not the one opened, and neither is edited.
TEST_F(Faults, ATargetSwappedBeforeTheOpenIsRefused) {
  if (scratch.windows()) GTEST_SKIP() << "the hook runs a POSIX shell";
  RunOptions options;
  options.environment = {"ZIBEL_TEST_HOOK=printf 'other cat' > ../other && mv ../other notes.txt"};
  const RunResult result = edit("open 1 hook 0", options);
  EXPECT_EQ(result.status, 253);
  EXPECT_EQ(result.out, "\nCannot open file!\n");
  EXPECT_EQ(scratch.read("notes.txt"), "other cat");
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
  EXPECT_EQ(scratch.names(), (Names{name, name + ".tmp"}));
  struct stat kept {};
  ASSERT_EQ(::stat(scratch.path(name + ".tmp").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & (scratch.windows() ? 0007u : 0077u), 0u) << std::oct << kept.st_mode;
}

}  // namespace
}  // namespace zibel::testing
