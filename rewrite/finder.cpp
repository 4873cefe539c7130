#include "rewrite/finder.h"

#include <cstring>

#include "rewrite/simd.h"

namespace zibel {
namespace {

// How common a byte is in text files, higher for more common. Only the order
// matters: it picks the bytes of the pattern that the prefilter looks for.
constexpr int byte_commonness(unsigned char byte) {
  constexpr std::string_view kLettersByFrequency = "etaoinshrdlcumwfgypbvkjxqz";
  if (byte == ' ') return 255;
  if (byte == '\n') return 230;
  if (byte >= 'a' && byte <= 'z') {
    return 250 - 5 * static_cast<int>(kLettersByFrequency.find(static_cast<char>(byte)));
  }
  if (byte >= 'A' && byte <= 'Z') {
    return 110 - static_cast<int>(kLettersByFrequency.find(static_cast<char>(byte - 'A' + 'a')));
  }
  if (byte >= '0' && byte <= '9') return 100;
  if (std::string_view(",.-'\"\r\t").find(static_cast<char>(byte)) != std::string_view::npos) {
    return 120;
  }
  if (byte >= 0x80) return 60;  // the bytes of UTF-8 sequences
  if (byte > ' ' && byte < 0x7F) return 50;
  return 10;
}

int commonness_at(std::string_view pattern, std::size_t offset) {
  return byte_commonness(static_cast<unsigned char>(pattern[offset]));
}

// The rarest byte counts as rare while memchr stops, on average, no more
// than once in this many bytes, judged once it has stopped often enough.
constexpr std::uint64_t kRareByteDistance = 64;
constexpr std::uint64_t kRareByteProbe = 256;

bool rare_byte_common(const PrefilterCost& cost, std::uint64_t searched) {
  return cost.stops >= kRareByteProbe && cost.stops * kRareByteDistance > searched;
}

// Failed candidates may cost up to this many compared bytes per searched byte
// before the prefilters are given up; the total work stays linear either way.
constexpr std::uint64_t kFailedWorkPerSearchedByte = 4;
constexpr std::uint64_t kFailedWorkAllowance = 64 * 1024;

bool prefilter_defeated(const PrefilterCost& cost) {
  return cost.failed_work > kFailedWorkAllowance + kFailedWorkPerSearchedByte * cost.searched;
}

// Compares the whole pattern at a candidate, and counts the work of a failure.
bool verify(const Pattern& pattern, const char* candidate, const char* to, PrefilterCost& cost) {
  const std::size_t length = pattern.bytes.size();
  if (static_cast<std::size_t>(to - candidate) < length) return false;
  if (std::memcmp(candidate, pattern.bytes.data(), length) == 0) return true;
  cost.failed_work += length;
  return false;
}

Scan found(const Pattern& pattern, const char* from, const char* occurrence, PrefilterCost& cost) {
  cost.searched += static_cast<std::uint64_t>(occurrence - from) + pattern.bytes.size();
  return {Scan::End::searched, occurrence};
}

// Ends a scan that found nothing in [from, to).
Scan none(const char* from, const char* to, PrefilterCost& cost) {
  cost.searched += static_cast<std::uint64_t>(to - from);
  return {Scan::End::searched, to};
}

// Ends a scan that gives up with every place before `resume` checked.
Scan give_up(Scan::End end, const char* from, const char* resume, PrefilterCost& cost) {
  cost.searched += static_cast<std::uint64_t>(resume - from);
  return {end, resume};
}

// The search for input that defeats both prefilters. On glibc its memmem,
// whose time is linear in the worst case too (Two-Way for patterns over 256
// bytes, below that a Horspool search whose work per byte the length
// bounds): on such inputs it was up to a hundred times faster than
// Knuth-Morris-Pratt, and at worst 1.6 times slower (bench/search has three
// of them). Knuth-Morris-Pratt where the C library has no memmem, as on
// Windows.
#if defined(__GLIBC__)
const char* search_defeating_input(const Pattern& pattern, const char* from, const char* to) {
  const void* hit =
      memmem(from, static_cast<std::size_t>(to - from), pattern.bytes.data(), pattern.bytes.size());
  return hit == nullptr ? to : static_cast<const char*>(hit);
}
#else
const char* search_defeating_input(const Pattern& pattern, const char* from, const char* to) {
  return search_linear(pattern, from, to);
}
#endif

}  // namespace

Pattern::Pattern(std::string_view pattern) : bytes(pattern) {
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    if (commonness_at(pattern, i) < commonness_at(pattern, rare_offset)) rare_offset = i;
  }
  // The second byte is the rarest one at another offset, a different byte
  // value where the pattern has one.
  other_offset = rare_offset == 0 ? pattern.size() - 1 : 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (i == rare_offset) continue;
    const bool differs = pattern[i] != pattern[rare_offset];
    const bool other_differs = pattern[other_offset] != pattern[rare_offset];
    if ((differs && !other_differs) ||
        (differs == other_differs &&
         commonness_at(pattern, i) < commonness_at(pattern, other_offset))) {
      other_offset = i;
    }
  }

  std::size_t length = 0;
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    while (length > 0 && pattern[i] != pattern[length]) length = border[length - 1];
    if (pattern[i] == pattern[length]) ++length;
    border[i] = static_cast<std::uint16_t>(length);
  }
}

// memchr looks at many more bytes at once than the pair scan, but pays for
// each byte it stops at: it wins while the pattern's rarest byte is rare in
// the input, and gives up for the pair scan once that byte proves common.
Scan scan_rare_byte(const Pattern& pattern, const char* from, const char* to, PrefilterCost& cost) {
  const std::size_t length = pattern.bytes.size();
  if (static_cast<std::size_t>(to - from) < length) return {Scan::End::searched, to};
  const char* const last = to - length;  // the last place an occurrence can start
  const char rare = pattern.bytes[pattern.rare_offset];
  const char other = pattern.bytes[pattern.other_offset];
  for (const char* candidate = from; candidate <= last;) {
    const void* hit = std::memchr(candidate + pattern.rare_offset, rare,
                                  static_cast<std::size_t>(last - candidate) + 1);
    if (hit == nullptr) break;
    candidate = static_cast<const char*>(hit) - pattern.rare_offset;
    if (candidate[pattern.other_offset] == other && verify(pattern, candidate, to, cost)) {
      return found(pattern, from, candidate, cost);
    }
    ++candidate;
    ++cost.stops;
    if (prefilter_defeated(cost)) {
      return give_up(Scan::End::prefilter_defeated, from, candidate, cost);
    }
    if (rare_byte_common(cost, cost.searched + static_cast<std::uint64_t>(candidate - from))) {
      return give_up(Scan::End::rare_byte_common, from, candidate, cost);
    }
  }
  return none(from, to, cost);
}

// Compares a SIMD vector of places at a time: for each, the rare byte and
// the other byte at their offsets.
Scan scan_pair(const Pattern& pattern, const char* from, const char* to, PrefilterCost& cost) {
  using simd::kWidth;
  const std::size_t rare_offset = pattern.rare_offset;
  const std::size_t other_offset = pattern.other_offset;
  const simd::Vector rare = simd::broadcast(pattern.bytes[rare_offset]);
  const simd::Vector other = simd::broadcast(pattern.bytes[other_offset]);
  const std::size_t reach = (rare_offset > other_offset ? rare_offset : other_offset) + kWidth;
  const char* candidate = from;
  for (; static_cast<std::size_t>(to - candidate) >= reach; candidate += kWidth) {
    const simd::Mask hits = simd::equal(simd::load(candidate + rare_offset), rare) &
                            simd::equal(simd::load(candidate + other_offset), other);
    if (!simd::any(hits)) continue;
    for (std::size_t i = 0; i < kWidth; ++i) {
      if (hits[i] != 0 && verify(pattern, candidate + i, to, cost)) {
        return found(pattern, from, candidate + i, cost);
      }
    }
    if (prefilter_defeated(cost)) {
      return give_up(Scan::End::prefilter_defeated, from, candidate + kWidth, cost);
    }
  }
  for (; static_cast<std::size_t>(to - candidate) >= pattern.bytes.size(); ++candidate) {
    if (candidate[rare_offset] == pattern.bytes[rare_offset] &&
        candidate[other_offset] == pattern.bytes[other_offset] &&
        verify(pattern, candidate, to, cost)) {
      return found(pattern, from, candidate, cost);
    }
  }
  return none(from, to, cost);
}

// Knuth-Morris-Pratt: every byte is looked at a bounded number of times.
const char* search_linear(const Pattern& pattern, const char* from, const char* to) {
  const std::string_view bytes = pattern.bytes;
  std::size_t matched = 0;
  for (const char* at = from; at < to; ++at) {
    while (matched > 0 && *at != bytes[matched]) matched = pattern.border[matched - 1];
    if (*at == bytes[matched]) ++matched;
    if (matched == bytes.size()) return at + 1 - bytes.size();
  }
  return to;
}

const char* Finder::find(const char* from, const char* to) {
  if (static_cast<std::size_t>(to - from) < pattern_.bytes.size()) return to;
  if (pattern_.bytes.size() == 1) {
    const void* hit =
        std::memchr(from, pattern_.bytes.front(), static_cast<std::size_t>(to - from));
    return hit == nullptr ? to : static_cast<const char*>(hit);
  }
  if (strategy_ == Strategy::rare_byte) {
    const Scan scan = scan_rare_byte(pattern_, from, to, cost_);
    if (scan.end == Scan::End::searched) return scan.at;
    strategy_ = scan.end == Scan::End::rare_byte_common ? Strategy::pair : Strategy::linear;
    from = scan.at;
  }
  if (strategy_ == Strategy::pair) {
    const Scan scan = scan_pair(pattern_, from, to, cost_);
    if (scan.end == Scan::End::searched) return scan.at;
    strategy_ = Strategy::linear;
    from = scan.at;
  }
  return search_defeating_input(pattern_, from, to);
}

}  // namespace zibel
