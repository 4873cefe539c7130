// Sixteen bytes handled at once. The compiler turns these into the machine's
// vector instructions where it has them, and into plain loops where not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zibel::lanes {

constexpr std::size_t kCount = 16;
using Lanes = unsigned char __attribute__((vector_size(kCount)));
// The result of a comparison: all bits set in the lanes where it holds.
using Mask = signed char __attribute__((vector_size(kCount)));

inline Lanes load(const char* at) {
  Lanes lanes;
  std::memcpy(&lanes, at, sizeof lanes);
  return lanes;
}

inline void store(char* at, Lanes lanes) {
  std::memcpy(at, &lanes, sizeof lanes);
}

inline Lanes broadcast(char byte) {
  Lanes lanes;
  std::memset(&lanes, byte, sizeof lanes);
  return lanes;
}

inline Mask equal(Lanes a, Lanes b) {
  return a == b;
}

// True when the comparison held in any lane.
inline bool any(Mask mask) {
  std::uint64_t halves[2];
  std::memcpy(halves, &mask, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The lanes of `if_set` where the mask is set, of `if_clear` elsewhere.
inline Lanes select(Mask mask, Lanes if_set, Lanes if_clear) {
  const auto bits = reinterpret_cast<Lanes>(mask);
  return (if_set & bits) | (if_clear & ~bits);
}

// The mask as bits, bit i for lane i.
inline std::uint32_t bits(Mask mask) {
  // Each set lane keeps the bit of its place among the eight lanes of its
  // half; the bytes of a half then add up, without carries, to its bits.
  const Lanes place = Lanes{1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const Lanes lane_bits = reinterpret_cast<Lanes>(mask) & place;
  std::uint64_t halves[2];
  std::memcpy(halves, &lane_bits, sizeof halves);
  constexpr std::uint64_t kAddBytes = 0x0101010101010101;
  const auto low = static_cast<std::uint32_t>((halves[0] * kAddBytes) >> 56);
  const auto high = static_cast<std::uint32_t>((halves[1] * kAddBytes) >> 56);
  return low | high << 8;
}

}  // namespace zibel::lanes
