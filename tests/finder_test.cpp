// The search for the old string: each strategy on its own and the finder that
// composes them, against std::string_view::find, on inputs that favour the
// prefilters and on inputs built to defeat them.
#include "rewrite/finder.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace zibel {
namespace {

using Search = std::function<const char*(const char* from, const char* to)>;
using ScanFunction = Scan (*)(const Pattern&, const char*, const char*, PrefilterCost&);

// A prefilter on its own: where it gives up, it goes on itself. Starting from
// `cost`, which can make it give up at every candidate that fails.
Search alone(const Pattern& pattern, ScanFunction scan, PrefilterCost start = {}) {
  return [&pattern, scan, start](const char* from, const char* to) {
    for (;;) {
      PrefilterCost cost = start;
      const Scan result = scan(pattern, from, to, cost);
      if (result.end == Scan::End::searched) return result.at;
      from = result.at;
    }
  };
}

// Every occurrence a search reports when called as the pass calls it: again
// after the end of each one found.
std::vector<std::size_t> occurrences(const Search& find, std::string_view text,
                                     std::size_t pattern_length) {
  std::vector<std::size_t> found;
  const char* const end = text.data() + text.size();
  for (const char* from = text.data(); (from = find(from, end)) != end; from += pattern_length) {
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

Search finder_search(Finder& finder) {
  return [&finder](const char* from, const char* to) { return finder.find(from, to); };
}

TEST(Finder, EachStrategyAgreesWithAPlainSearchOnRandomText) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    const std::string alphabet = round % 2 == 0 ? "ab" : "abcdefgh \n";
    auto text = [&](std::size_t length) {
      std::string s;
      for (std::size_t i = 0; i < length; ++i) s += alphabet[random() % alphabet.size()];
      return s;
    };
    const std::string pattern_bytes = text(1 + random() % 24);
    const std::string haystack = text(random() % 700);
    const Pattern pattern(pattern_bytes);
    Finder finder(pattern_bytes);
    // Giving up at every failed candidate, a prefilter must resume where it
    // checked every place before.
    constexpr std::uint64_t kSpent = std::uint64_t{1} << 40;
    const std::pair<const char*, Search> searches[] = {
        {"rare byte", alone(pattern, scan_rare_byte)},
        {"rare byte, stops spent", alone(pattern, scan_rare_byte, {.stops = kSpent})},
        {"rare byte, failures spent", alone(pattern, scan_rare_byte, {.failed_work = kSpent})},
        {"pair", alone(pattern, scan_pair)},
        {"pair, failures spent", alone(pattern, scan_pair, {.failed_work = kSpent})},
        {"linear",
         [&pattern](const char* from, const char* to) { return search_linear(pattern, from, to); }},
        {"finder", finder_search(finder)}};
    for (const auto& [name, search] : searches) {
      ASSERT_EQ(occurrences(search, haystack, pattern_bytes.size()),
                expected_occurrences(haystack, pattern_bytes))
          << "round " << round << ", " << name << ", pattern " << pattern_bytes;
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

// The two bytes the prefilters look for (the 'b' and the first 'a') are in
// place at every third byte of the text, but the whole pattern is only at the
// end.
const std::string kDefeatingPattern = std::string(500, 'a') + "b" + std::string(499, 'a');
std::string defeating_text() {
  std::string text;
  while (text.size() < 400'000) text += "aab";
  return text + kDefeatingPattern + "ab" + kDefeatingPattern;
}

TEST(Finder, SearchesInputThatDefeatsThePrefiltersCorrectly) {
  const std::string text = defeating_text();
  Finder finder(kDefeatingPattern);
  EXPECT_EQ(occurrences(finder_search(finder), text, kDefeatingPattern.size()),
            expected_occurrences(text, kDefeatingPattern));
}

// How a prefilter's first scan over the whole text that gives up ends, as the
// finder runs it: one cost for the whole text.
Scan::End first_give_up(ScanFunction scan, const Pattern& pattern, std::string_view text) {
  PrefilterCost cost;
  const char* const end = text.data() + text.size();
  for (const char* from = text.data(); from != end;) {
    const Scan result = scan(pattern, from, end, cost);
    if (result.end != Scan::End::searched) return result.end;
    from = result.at == end ? end : result.at + pattern.bytes.size();
  }
  return Scan::End::searched;
}

TEST(Finder, APrefilterGivesUpWhereTheInputDefeatsIt) {
  std::string lines;
  for (int line = 0; line < 20'000; ++line) {
    lines += "the needles and the threads, line " + std::to_string(line) + "\n";
    if (line % 100 == 0) lines += "a needle\n";
  }
  const std::string defeating = defeating_text();
  const struct {
    const char* name;
    ScanFunction scan;
    std::string_view pattern;
    const std::string& text;
    Scan::End expected;
  } cases[] = {
      // The 'Q' of "Quilt" is nowhere: memchr runs through.
      {"rare byte, Quilt", scan_rare_byte, "Quilt", lines, Scan::End::searched},
      // Every byte of "needle\n" is common here: memchr would stop too often.
      {"rare byte, needle", scan_rare_byte, "needle\n", lines, Scan::End::rare_byte_common},
      {"pair, needle", scan_pair, "needle\n", lines, Scan::End::searched},
      {"rare byte, defeated", scan_rare_byte, kDefeatingPattern, defeating,
       Scan::End::prefilter_defeated},
      {"pair, defeated", scan_pair, kDefeatingPattern, defeating, Scan::End::prefilter_defeated},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(first_give_up(c.scan, Pattern(c.pattern), c.text), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace zibel
