// The search for the old string: the leftmost occurrence in a stretch of
// memory, at close to the speed of memchr when the old string is rare, and
// never worse than linear in the length searched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zibel {

class Finder {
 public:
  static constexpr std::size_t kMaxPatternLength = 2047;

  // `pattern` must not be empty nor longer than kMaxPatternLength, and must
  // outlive the finder.
  explicit Finder(std::string_view pattern);

  // The leftmost occurrence of the pattern that lies wholly inside [from, to),
  // or `to` when there is none.
  const char* find(const char* from, const char* to);

  // How the search goes. It starts with memchr on the pattern's rarest byte,
  // moves to the pair scan when that byte turns out to be common in the input,
  // and to the linear search when the candidates of either keep failing.
  enum class Strategy { rare_byte, pair, linear };
  Strategy strategy() const { return strategy_; }

  // Moves to a later strategy at once, as the input could make it; for tests.
  void use(Strategy strategy) { strategy_ = strategy; }

 private:
  const char* find_byte(const char* from, const char* to) const;
  const char* find_by_rare_byte(const char* from, const char* to);
  const char* find_by_pair(const char* from, const char* to);
  const char* find_linear(const char* from, const char* to) const;
  bool verify(const char* candidate, const char* to);
  const char* found(const char* from, const char* occurrence);
  const char* give_up_prefilter(const char* from, const char* resume, const char* to);

  std::string_view pattern_;
  // Offsets of two pattern bytes that are rare in text; a candidate must have
  // both before the whole pattern is compared.
  std::size_t rare_offset_ = 0;
  std::size_t other_offset_ = 0;
  // Work spent on candidates that failed, against the bytes searched: when
  // the first outgrows the second the input is adversarial for the prefilter.
  std::uint64_t failed_work_ = 0;
  std::uint64_t searched_ = 0;
  Strategy strategy_ = Strategy::rare_byte;
  std::uint64_t rare_byte_hits_ = 0;  // bytes memchr stopped at that were no occurrence
  // For the linear search: border_[i] is the length of the longest proper
  // border of the pattern's first i + 1 bytes.
  std::uint16_t border_[kMaxPatternLength] = {};
};

}  // namespace zibel
