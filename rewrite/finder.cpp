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

// Failed candidates may cost up to this many compared bytes per searched byte
// before the prefilter is given up; the total work stays linear either way.
constexpr std::uint64_t kFailedWorkPerSearchedByte = 4;
constexpr std::uint64_t kFailedWorkAllowance = 64 * 1024;

}  // namespace

Finder::Finder(std::string_view pattern) : pattern_(pattern) {
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    if (commonness_at(pattern, i) < commonness_at(pattern, rare_offset_)) rare_offset_ = i;
  }
  // The second byte is the rarest one at another offset, a different byte
  // value where the pattern has one.
  other_offset_ = rare_offset_ == 0 ? pattern.size() - 1 : 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (i == rare_offset_) continue;
    const bool differs = pattern[i] != pattern[rare_offset_];
    const bool other_differs = pattern[other_offset_] != pattern[rare_offset_];
    if ((differs && !other_differs) ||
        (differs == other_differs &&
         commonness_at(pattern, i) < commonness_at(pattern, other_offset_))) {
      other_offset_ = i;
    }
  }

  std::size_t border = 0;
  for (std::size_t i = 1; i < pattern.size(); ++i) {
    while (border > 0 && pattern[i] != pattern[border]) border = border_[border - 1];
    if (pattern[i] == pattern[border]) ++border;
    border_[i] = static_cast<std::uint16_t>(border);
  }
}

const char* Finder::find(const char* from, const char* to) {
  if (static_cast<std::size_t>(to - from) < pattern_.size()) return to;
  if (pattern_.size() == 1) return find_byte(from, to);
  switch (strategy_) {
    case Strategy::rare_byte:
      return find_by_rare_byte(from, to);
    case Strategy::pair:
      return find_by_pair(from, to);
    case Strategy::linear:
      break;
  }
  return find_linear(from, to);
}

const char* Finder::find_byte(const char* from, const char* to) const {
  const void* found = std::memchr(from, pattern_.front(), static_cast<std::size_t>(to - from));
  return found == nullptr ? to : static_cast<const char*>(found);
}

// memchr looks at many more bytes at once than the pair scan, but pays for
// each byte it stops at: it is used while the pattern's rarest byte is rare in
// the input, and given up for the pair scan once it is not.
const char* Finder::find_by_rare_byte(const char* from, const char* to) {
  const char* const last = to - pattern_.size();  // the last place an occurrence can start
  for (const char* candidate = from; candidate <= last;) {
    const void* hit = std::memchr(candidate + rare_offset_, pattern_[rare_offset_],
                                  static_cast<std::size_t>(last - candidate) + 1);
    if (hit == nullptr) break;
    candidate = static_cast<const char*>(hit) - rare_offset_;
    if (candidate[other_offset_] == pattern_[other_offset_] && verify(candidate, to)) {
      return found(from, candidate);
    }
    if (strategy_ == Strategy::linear) return give_up_prefilter(from, candidate + 1, to);
    ++candidate;
    ++rare_byte_hits_;
    const auto searched = searched_ + static_cast<std::uint64_t>(candidate - from);
    if (rare_byte_hits_ >= kRareByteProbe && rare_byte_hits_ * kRareByteDistance > searched) {
      strategy_ = Strategy::pair;
      searched_ = searched;
      return find_by_pair(candidate, to);
    }
  }
  searched_ += static_cast<std::uint64_t>(to - from);
  return to;
}

const char* Finder::find_by_pair(const char* from, const char* to) {
  using simd::kWidth;
  const simd::Vector rare = simd::broadcast(pattern_[rare_offset_]);
  const simd::Vector other = simd::broadcast(pattern_[other_offset_]);
  const auto hits_at = [&](const char* block) {
    return simd::equal(simd::load(block + rare_offset_), rare) &
           simd::equal(simd::load(block + other_offset_), other);
  };
  const std::size_t reach = (rare_offset_ > other_offset_ ? rare_offset_ : other_offset_) + kWidth;
  const char* candidate = from;
  for (; static_cast<std::size_t>(to - candidate) >= reach; candidate += kWidth) {
    const simd::Mask hits = hits_at(candidate);
    if (!simd::any(hits)) continue;
    for (std::size_t i = 0; i < kWidth; ++i) {
      if (hits[i] != 0 && verify(candidate + i, to)) return found(from, candidate + i);
    }
    if (strategy_ == Strategy::linear) return give_up_prefilter(from, candidate + kWidth, to);
  }
  for (; static_cast<std::size_t>(to - candidate) >= pattern_.size(); ++candidate) {
    if (candidate[rare_offset_] == pattern_[rare_offset_] &&
        candidate[other_offset_] == pattern_[other_offset_] && verify(candidate, to)) {
      return found(from, candidate);
    }
  }
  searched_ += static_cast<std::uint64_t>(to - from);
  return to;
}

// Goes on with the linear search from `resume`, every candidate before it
// having been checked.
const char* Finder::give_up_prefilter(const char* from, const char* resume, const char* to) {
  searched_ += static_cast<std::uint64_t>(resume - from);
  return find_linear(resume, to);
}

const char* Finder::found(const char* from, const char* occurrence) {
  searched_ += static_cast<std::uint64_t>(occurrence - from) + pattern_.size();
  return occurrence;
}

// Compares the whole pattern at a candidate; counts the work of a failure and
// gives up the prefilter when failures outweigh the bytes searched.
bool Finder::verify(const char* candidate, const char* to) {
  if (static_cast<std::size_t>(to - candidate) < pattern_.size()) return false;
  if (std::memcmp(candidate, pattern_.data(), pattern_.size()) == 0) return true;
  failed_work_ += pattern_.size();
  if (failed_work_ > kFailedWorkAllowance + kFailedWorkPerSearchedByte * searched_) {
    strategy_ = Strategy::linear;
  }
  return false;
}

// Knuth-Morris-Pratt: every byte is looked at a bounded number of times.
const char* Finder::find_linear(const char* from, const char* to) const {
  std::size_t matched = 0;
  for (const char* at = from; at < to; ++at) {
    while (matched > 0 && *at != pattern_[matched]) matched = border_[matched - 1];
    if (*at == pattern_[matched]) ++matched;
    if (matched == pattern_.size()) return at + 1 - pattern_.size();
  }
  return to;
}

}  // namespace zibel
