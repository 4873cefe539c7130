// The real program killed at random moments of an edit of a large file on
// disk, and eight runs editing one file at the same time.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zibel_runner.h"

namespace zibel::testing {
namespace {

using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// After every kill the next run leaves the target holding its old or its new
// content, whole, and no other file: it completes a commit the kill cut short.
// The scratch directory is made in the test's working directory, which is on
// disk, not in memory.
TEST(CrashSafety, AKilledEditIsCompletedOrClearedByTheNextRun) {
  ScratchDirectory scratch(binary_under_test(), ".");
  std::string original;
  for (int block = 0; original.size() < (std::size_t{104} << 20); ++block) {
    original += "block " + std::to_string(block) + ": a needle in a haystack of text, " +
                std::string(4000, 'h') + "\n";
  }
  const std::string expected = replace_all(original, "needle", "thread!");

  // The length of a whole edit sets the range of the moments to kill at.
  scratch.write("big.txt", original);
  const auto started = Clock::now();
  ASSERT_EQ(scratch.run({"/rt", "big.txt", "needle", "thread!"}).status, 0);
  const auto whole_edit = Clock::now() - started;
  ASSERT_EQ(scratch.read("big.txt"), expected);

  std::mt19937 random(20261207);
  int old_kept = 0;
  int new_kept = 0;
  int torn = 0;
  for (int round = 0; round < 12; ++round) {
    for (const std::string& name : scratch.names()) std::remove(scratch.path(name).c_str());
    scratch.write("big.txt", original);
    const Started run = scratch.start({"/rt", "big.txt", "needle", "thread!"});
    std::this_thread::sleep_for(whole_edit * (random() % 1000) / 1000);
    ::kill(run.pid, SIGKILL);
    scratch.wait(run);
    const std::string left = scratch.read("big.txt");
    if (left != original && left != expected) ++torn;

    const RunResult next = scratch.run({"/rt", "big.txt", "absent", "x"});
    EXPECT_EQ(next.status, 0) << "round " << round;
    EXPECT_EQ(next.out + next.err, "") << "round " << round;
    const std::string target = scratch.read("big.txt");
    EXPECT_TRUE(target == original || target == expected) << "round " << round;
    EXPECT_EQ(scratch.names(), Names{"big.txt"}) << "round " << round;
    ++(target == original ? old_kept : new_kept);
  }
  std::cout << "killed " << torn << " times in mid-commit; the target then held its old content "
            << old_kept << " times and its new content " << new_kept << " times\n";
}

// Each run locks the target from before its read until its commit has ended,
// so runs on one file take turns and every edit is kept.
TEST(ConcurrentRuns, EightEditsOfOneFileAtOnceAreAllKept) {
  ScratchDirectory scratch;
  const std::vector<std::string> words = {"alpha", "bravo",   "charlie", "delta",
                                          "echo",  "foxtrot", "golf",    "hotel"};
  std::string line;
  for (const std::string& word : words) line += word + " ";
  line += "\n";
  std::string original;
  while (original.size() < (std::size_t{2} << 20)) original += line;
  scratch.write("shared.txt", original);

  std::vector<Started> runs;
  for (const std::string& word : words) {
    std::string upper = word;
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
    runs.push_back(scratch.start({"/rt", "shared.txt", word, upper}));
  }
  for (const Started& run : runs) {
    const RunResult result = scratch.wait(run);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
  }

  std::string expected = original;
  for (const std::string& word : words) {
    std::string upper = word;
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
    expected = replace_all(expected, word, upper);
  }
  EXPECT_TRUE(scratch.read("shared.txt") == expected);
  EXPECT_EQ(scratch.names(), Names{"shared.txt"});
}

}  // namespace
}  // namespace zibel::testing
