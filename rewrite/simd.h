// SIMD vectors of sixteen bytes. The compiler turns these into the machine's
// vector instructions where it has them, and into plain loops where not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zibel::simd {

constexpr std::size_t kWidth = 16;  // bytes in a vector
using Vector = unsigned char __attribute__((vector_size(kWidth)));
// The result of a comparison: all bits set in the bytes where it holds.
using Mask = signed char __attribute__((vector_size(kWidth)));

inline Vector load(const char* at) {
  Vector vector;
  std::memcpy(&vector, at, sizeof vector);
  return vector;
}

inline void store(char* at, Vector vector) {
  std::memcpy(at, &vector, sizeof vector);
}

inline Vector broadcast(char byte) {
  Vector vector;
  std::memset(&vector, byte, sizeof vector);
  return vector;
}

inline Mask equal(Vector a, Vector b) {
  return a == b;
}

// True when the comparison held in any byte.
inline bool any(Mask mask) {
  std::uint64_t halves[2];
  std::memcpy(halves, &mask, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The bytes of `if_set` where the mask is set, of `if_clear` elsewhere.
inline Vector select(Mask mask, Vector if_set, Vector if_clear) {
  const auto bits = reinterpret_cast<Vector>(mask);
  return (if_set & bits) | (if_clear & ~bits);
}

// The mask as bits, bit i for byte i.
inline std::uint32_t bits(Mask mask) {
  // Each set byte keeps the bit of its place among the eight bytes of its
  // half; the bytes of a half then add up, without carries, to its bits.
  const Vector place = Vector{1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const Vector byte_bits = reinterpret_cast<Vector>(mask) & place;
  std::uint64_t halves[2];
  std::memcpy(halves, &byte_bits, sizeof halves);
  constexpr std::uint64_t kAddBytes = 0x0101010101010101;
  const auto low = static_cast<std::uint32_t>((halves[0] * kAddBytes) >> 56);
  const auto high = static_cast<std::uint32_t>((halves[1] * kAddBytes) >> 56);
  return low | high << 8;
}

}  // namespace zibel::simd
