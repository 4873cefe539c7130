// The search for the old string: the leftmost occurrence in a stretch of
// memory, at close to the speed of memchr when the old string is rare, and
// never worse than linear in the length searched.
//
// Three strategies, each a function of its own, which the finder composes:
//   - scan_rare_byte: memchr on the pattern's rarest byte, the whole pattern
//     compared only where that byte and a second one are in place;
//   - scan_pair: those two bytes looked for a SIMD vector of places at a time,
//     for input where the rarest byte turns out to be common;
//   - search_linear: Knuth-Morris-Pratt, which never backs up, for input that
//     defeats both prefilters; on glibc the finder uses memmem there instead,
//     which is linear too and mostly much faster.
// bench/search times each against the C library's memmem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zibel {

// A pattern, with what the strategies need to know of it worked out once.
struct Pattern {
  static constexpr std::size_t kMaxLength = 2047;

  // `bytes` must not be empty nor longer than kMaxLength, and must outlive
  // the pattern.
  explicit Pattern(std::string_view bytes);

  std::string_view bytes;
  // Offsets of two bytes that are rare in text; a prefilter's candidate must
  // have both before the whole pattern is compared.
  std::size_t rare_offset = 0;
  std::size_t other_offset = 0;
  // For the linear search: border[i] is the length of the longest proper
  // border of the pattern's first i + 1 bytes.
  std::uint16_t border[kMaxLength] = {};
};

// What the candidates of the prefilters have cost so far. One search over a
// long input hands the same one to every scan, which counts into it and
// gives up once the input proves adversarial for it.
struct PrefilterCost {
  std::uint64_t searched = 0;     // bytes scanned by the prefilters
  std::uint64_t stops = 0;        // bytes memchr stopped at that began no occurrence
  std::uint64_t failed_work = 0;  // a pattern length for each candidate that was no occurrence
};

// How a prefilter's scan ended.
struct Scan {
  enum class End {
    searched,           // `at` is the leftmost occurrence, or `to` when there is none
    rare_byte_common,   // memchr stopped too often: go on with scan_pair from `at`
    prefilter_defeated  // candidates failed too often: go on with a linear search from `at`
  };
  End end;
  const char* at;  // after giving up, every place before it has been checked
};

// The strategies. Each looks for the leftmost occurrence of the pattern that
// lies wholly inside [from, to).
Scan scan_rare_byte(const Pattern& pattern, const char* from, const char* to, PrefilterCost& cost);
Scan scan_pair(const Pattern& pattern, const char* from, const char* to, PrefilterCost& cost);
// Returns the occurrence, or `to` when there is none.
const char* search_linear(const Pattern& pattern, const char* from, const char* to);

// The search the substitution pass uses. It starts with scan_rare_byte, and
// moves on, for good, when the input makes a scan give up.
class Finder {
 public:
  static constexpr std::size_t kMaxPatternLength = Pattern::kMaxLength;

  // `pattern` must not be empty nor longer than kMaxPatternLength, and must
  // outlive the finder.
  explicit Finder(std::string_view pattern) : pattern_(pattern) {}

  // The leftmost occurrence of the pattern that lies wholly inside [from, to),
  // or `to` when there is none.
  const char* find(const char* from, const char* to);

 private:
  enum class Strategy { rare_byte, pair, linear };

  Pattern pattern_;
  PrefilterCost cost_;
  Strategy strategy_ = Strategy::rare_byte;
};

}  // namespace zibel
