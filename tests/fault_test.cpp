// Every system call of a real edit, broken on purpose one at a time: made to
// fail, interrupted, cut short, or hit by an interrupt signal. Whatever
// happens, the target keeps its old content unless the new content is complete
// somewhere the user is told about, and no stray file is left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "zibel_runner.h"

namespace zibel::testing {
namespace {

using Names = std::vector<std::string>;

const std::vector<std::string> kOperations = {"open",     "create", "read",  "write",  "copy",
                                              "truncate", "flush",  "close", "remove", "lock"};

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
    options.environment = {"ZIBEL_TEST_FAULT=" + fault};
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
    EXPECT_EQ(scratch.read("notes.txt"), expected);
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
        // that was only read, and removing the temporary file at the end.
        EXPECT_TRUE(operation == "close" || operation == "remove")
            << "a failure reported as success";
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(scratch.read("notes.txt"), expected);
        if (operation == "remove" && names.size() == 2) {
          EXPECT_EQ(names, (Names{"notes.txt", "notes.txt.tmp"}));
          EXPECT_EQ(scratch.read("notes.txt.tmp"), expected);
        } else {
          EXPECT_EQ(names, Names{"notes.txt"});
        }
        break;
      case 253:
        EXPECT_EQ(scratch.read("notes.txt"), original);
        EXPECT_EQ(names, Names{"notes.txt"});
        if (operation == "read") {
          EXPECT_EQ(result.out, kFailureMessages.at("read"));
        }
        if (operation == "lock") {
          EXPECT_EQ(result.out, kFailureMessages.at("open"));
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
        EXPECT_EQ(scratch.read("notes.txt.tmp"), expected);
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
  for (const std::string& operation : kOperations) {
    EXPECT_GE(calls.at(operation), 1u) << operation;
  }
  EXPECT_GE(calls.at("read"), 3u);   // the file is larger than the buffer
  EXPECT_GE(calls.at("write"), 2u);  // and so is the new content
}

TEST_F(Faults, AnyFailingCallLosesNothingAndIsReported) {
  const auto calls = count_calls();
  std::set<int> statuses;
  for (const std::string& operation : kOperations) {
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
  for (const std::string& operation : kOperations) {
    for (unsigned call = 1; call <= calls.at(operation); ++call) {
      for (const std::string effect : {"interrupt", "short"}) {
        const std::string fault = operation + " " + std::to_string(call) + " " + effect + " 0";
        SCOPED_TRACE(fault);
        const RunResult result = edit(fault);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(scratch.read("notes.txt"), expected);
        EXPECT_EQ(scratch.names(), Names{"notes.txt"});
      }
    }
  }
}

// Windows has one kind of interrupt (Ctrl-C), which ends a program with
// STATUS_CONTROL_C_EXIT, 0xC000013A; Wine passes on its low byte.
constexpr int kControlCExit = 0x3A;

// An interrupt before the commit ends the run as the signal would, with the
// temporary file removed and the target untouched; one during the commit
// waits until the commit is complete. The target is never torn.
TEST_F(Faults, InterruptSignalsNeverTearTheTarget) {
  const auto calls = count_calls();
  int before_commit = 0;
  int after_commit = 0;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    for (const std::string& operation : kOperations) {
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
    EXPECT_EQ(scratch.read("notes.txt"), expected);
    EXPECT_EQ(scratch.names(), Names{"notes.txt"});
  }
}

}  // namespace
}  // namespace zibel::testing
