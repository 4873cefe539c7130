// Times each search strategy on its own, and the finder that composes them,
// against the C library's memmem, over one work buffer's worth of input (the
// pass searches 128 KiB at a time): every occurrence found, as the pass finds
// them. bench/search runs it and makes the table in BENCHMARKS.md.
//
// Each benchmark is named "<input>/<strategy>"; the finder's label is the
// strategy it settles on for that input.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "rewrite/finder.h"

namespace zibel {
namespace {

constexpr std::size_t kBufferSize = std::size_t{128} << 10;

// Text lines of made-up words, letters drawn with English frequencies (so 'e'
// is about a tenth of all bytes); about one line in a hundred holds the word
// "needle". The same recipe as bench/run's files.
std::string english_like_text() {
  std::mt19937 random(7);
  const std::string letters = "etaoinshrdlcumwfgypbvkjxqz";
  std::discrete_distribution<std::size_t> letter({12.7, 9.1, 8.2, 7.5, 7.0,  6.7,  6.3, 6.1, 6.0,
                                                  4.3,  4.0, 2.8, 2.8, 2.4,  2.4,  2.2, 2.0, 2.0,
                                                  1.9,  1.5, 1.0, 0.8, 0.15, 0.15, 0.1, 0.07});
  std::vector<std::string> words(5000);
  for (auto& word : words) {
    const std::size_t length = 2 + random() % 8;
    for (std::size_t i = 0; i < length; ++i) word += letters[letter(random)];
  }
  std::string text;
  while (text.size() < kBufferSize) {
    const std::size_t count = 4 + random() % 11;
    const std::size_t needle_at = random() % 100 == 0 ? random() % count : count;
    for (std::size_t i = 0; i < count; ++i) {
      if (i == needle_at) text += "needle ";
      text += words[random() % words.size()];
      text += i + 1 < count ? ' ' : '\n';
    }
  }
  text.resize(kBufferSize);
  return text;
}

std::string repeated(std::string_view piece) {
  std::string text;
  while (text.size() < kBufferSize) text += piece;
  text.resize(kBufferSize);
  return text;
}

// `length` bytes of the text from the first line start at three quarters of it.
std::string stretch_of(const std::string& text, std::size_t length) {
  return text.substr(text.find('\n', text.size() * 3 / 4) + 1, length);
}

using Search = std::function<const char*(const char* from, const char* to)>;
using ScanFunction = Scan (*)(const Pattern&, const char*, const char*, PrefilterCost&);

// A prefilter on its own: where it gives up, it goes on itself.
Search alone(const Pattern& pattern, ScanFunction scan) {
  return [&pattern, scan](const char* from, const char* to) {
    for (;;) {
      PrefilterCost cost;
      const Scan result = scan(pattern, from, to, cost);
      if (result.end == Scan::End::searched) return result.at;
      from = result.at;
    }
  };
}

// Every occurrence in the buffer, as the pass looks for them.
std::size_t count_occurrences(const Search& find, const std::string& text, std::size_t length) {
  std::size_t count = 0;
  const char* const end = text.data() + text.size();
  for (const char* from = text.data(); (from = find(from, end)) != end; from += length) ++count;
  return count;
}

// The strategy the finder settles on for this input: its scans run as the
// finder runs them, over the buffer as often as a benchmark's first rounds.
const char* finder_strategy(const Pattern& pattern, const std::string& text) {
  if (pattern.bytes.size() == 1) return "memchr";
  PrefilterCost cost;
  ScanFunction scan = scan_rare_byte;
  const char* const end = text.data() + text.size();
  for (int round = 0; round < 16; ++round) {
    for (const char* from = text.data(); from != end;) {
      const Scan result = scan(pattern, from, end, cost);
      if (result.end == Scan::End::prefilter_defeated) {
#if defined(__GLIBC__)
        return "memmem";
#else
        return "linear";
#endif
      }
      if (result.end == Scan::End::rare_byte_common) scan = scan_pair;
      from = result.end != Scan::End::searched || result.at == end
                 ? result.at
                 : result.at + pattern.bytes.size();
    }
  }
  return scan == scan_pair ? "pair" : "rare byte";
}

struct Case {
  std::string name;
  const std::string* text;
  std::string pattern;
};

void register_case(const Case& c) {
  const auto run = [c](benchmark::State& state, const std::string& strategy) {
    const std::string& text = *c.text;
    const Pattern pattern(c.pattern);
    Finder finder(c.pattern);  // one for every round, as for the buffers of one file
    Search search;
    if (strategy == "rare byte") search = alone(pattern, scan_rare_byte);
    if (strategy == "pair") search = alone(pattern, scan_pair);
    if (strategy == "linear") {
      search = [&pattern](const char* from, const char* to) {
        return search_linear(pattern, from, to);
      };
    }
    if (strategy == "finder") {
      search = [&finder](const char* from, const char* to) { return finder.find(from, to); };
      state.SetLabel(finder_strategy(pattern, text));
    }
    if (strategy == "memmem") {
      search = [&c](const char* from, const char* to) {
        const void* hit =
            memmem(from, static_cast<std::size_t>(to - from), c.pattern.data(), c.pattern.size());
        return hit == nullptr ? to : static_cast<const char*>(hit);
      };
    }
    std::size_t occurrences = 0;
    for (auto _ : state) {
      occurrences = count_occurrences(search, text, c.pattern.size());
      benchmark::DoNotOptimize(occurrences);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["occurrences"] = static_cast<double>(occurrences);
  };
  for (const char* strategy : {"rare byte", "pair", "linear", "finder", "memmem"}) {
    benchmark::RegisterBenchmark((c.name + "/" + strategy).c_str(), run, std::string(strategy));
  }
}

}  // namespace
}  // namespace zibel

int main(int argc, char** argv) {
  using zibel::Case;
  const std::string text = zibel::english_like_text();
  const std::string only_q = zibel::repeated("q");
  const std::string only_ab = zibel::repeated("ab");
  const std::string aab = zibel::repeated("aab");
  const std::string a3b = zibel::repeated("aaab");
  std::mt19937 random(7);
  auto random_ab = [&random](std::size_t length) {
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += "ab"[random() % 2];
    return s;
  };
  const std::string ab_at_random = random_ab(zibel::kBufferSize);
  const std::string half_a = std::string(500, 'a');
  const Case cases[] = {
      {"text, 'needle'", &text, "needle"},
      {"text, 'Quilt' (absent)", &text, "Quilt"},
      {"text, 'the' (common letters)", &text, "the"},
      {"text, 'zqxjzqxj' (absent)", &text, "zqxjzqxj"},
      {"text, 100 bytes of it", &text, zibel::stretch_of(text, 100)},
      {"text, 1000 bytes of it", &text, zibel::stretch_of(text, 1000)},
      {"all 'q', 3 'q' + 'x'", &only_q, "qqqx"},
      {"all 'q', 1000 'q' + 'x'", &only_q, std::string(1000, 'q') + "x"},
      {"all 'ab', 500 'ab' + 'c'", &only_ab, zibel::repeated("ab").substr(0, 1000) + "c"},
      {"all 'aab', 500 'a' + 'b' + 499 'a'", &aab, half_a + "b" + half_a.substr(1)},
      {"all 'aaab', 10 'a' + 'b' + 10 'a'", &a3b, "aaaaaaaaaabaaaaaaaaaa"},
      {"'a' and 'b' at random, 1000 of them", &ab_at_random, random_ab(1000)},
  };
  for (const Case& c : cases) zibel::register_case(c);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
