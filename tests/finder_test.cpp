// The search for the old string, against std::string_view::find, on inputs
// that favour its prefilter and on inputs built to defeat it.
#include "rewrite/finder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace zibel {
namespace {

// Every occurrence the finder reports when called as the pass calls it:
// again after the end of each one found.
std::vector<std::size_t> occurrences(Finder& finder, const std::string& text,
                                     std::size_t pattern_length) {
  std::vector<std::size_t> found;
  const char* const end = text.data() + text.size();
  for (const char* from = text.data(); (from = finder.find(from, end)) != end;
       from += pattern_length) {
    found.push_back(static_cast<std::size_t>(from - text.data()));
  }
  return found;
}

std::vector<std::size_t> expected_occurrences(std::string_view text, std::string_view pattern) {
  std::vector<std::size_t> found;
  for (std::size_t at = 0; (at = text.find(pattern, at)) != std::string_view::npos;
       at += pattern.size()) {
    found.push_back(at);
  }
  return found;
}

TEST(Finder, AgreesWithAPlainSearchOnRandomText) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    const std::string alphabet = round % 2 == 0 ? "ab" : "abcdefgh \n";
    auto text = [&](std::size_t length) {
      std::string s;
      for (std::size_t i = 0; i < length; ++i) s += alphabet[random() % alphabet.size()];
      return s;
    };
    const std::string pattern = text(1 + random() % 24);
    const std::string haystack = text(random() % 700);
    for (const auto strategy :
         {Finder::Strategy::rare_byte, Finder::Strategy::pair, Finder::Strategy::linear}) {
      Finder finder(pattern);
      finder.use(strategy);
      ASSERT_EQ(occurrences(finder, haystack, pattern.size()),
                expected_occurrences(haystack, pattern))
          << "round " << round << ", strategy " << static_cast<int>(strategy) << ", pattern "
          << pattern;
    }
  }
}

TEST(Finder, OnlyReportsOccurrencesThatEndBeforeTheLimit) {
  const std::string text = "xxneedle";
  Finder finder("needle");
  EXPECT_EQ(finder.find(text.data(), text.data() + 7), text.data() + 7);
  EXPECT_EQ(finder.find(text.data(), text.data() + 8), text.data() + 2);
  EXPECT_EQ(finder.find(text.data() + 3, text.data() + 8), text.data() + 8);
}

TEST(Finder, GivesUpThePrefilterOnInputThatDefeatsIt) {
  // The two bytes the prefilter looks for (the 'b' and the first 'a') are in
  // place at every third byte of the text, but the whole pattern is only at
  // the end.
  const std::string pattern = std::string(500, 'a') + "b" + std::string(499, 'a');
  std::string text;
  while (text.size() < 400'000) text += "aab";
  text += pattern + "ab" + pattern;

  Finder finder(pattern);
  EXPECT_EQ(occurrences(finder, text, pattern.size()), expected_occurrences(text, pattern));
  EXPECT_EQ(finder.strategy(), Finder::Strategy::linear);
}

TEST(Finder, PicksItsStrategyByWhatTheInputHolds) {
  std::string text;
  for (int line = 0; line < 20'000; ++line) {
    text += "the needles and the threads, line " + std::to_string(line) + "\n";
    if (line % 100 == 0) text += "a needle\n";
  }
  // Every byte of "needle\n" is common here: memchr would stop too often.
  Finder common("needle\n");
  EXPECT_EQ(occurrences(common, text, 7), expected_occurrences(text, "needle\n"));
  EXPECT_EQ(common.strategy(), Finder::Strategy::pair);

  // The 'Q' of "Quilt" is nowhere.
  Finder rare("Quilt");
  EXPECT_EQ(occurrences(rare, text, 5), expected_occurrences(text, "Quilt"));
  EXPECT_EQ(rare.strategy(), Finder::Strategy::rare_byte);
}

}  // namespace
}  // namespace zibel
