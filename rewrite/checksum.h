// A 64-bit checksum of a stream of bytes, computed as they pass through the
// tool's buffers at several times the speed of copying them. It tells a
// complete, undamaged file from an incomplete or damaged one; it is no
// defence against someone who damages a file on purpose, who can make another
// content with the same value.
//
// The value depends only on the bytes added and on their order, not on how
// they were split between calls to add, and is the same on every system the
// tool is built for: values written by one version of the tool are read by the
// next, so the algorithm and its constants never change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zibel {

class Checksum {
 public:
  // The bytes are taken in stripes of this many, each folded into eight 64-bit
  // accumulators.
  static constexpr std::size_t kStripeSize = 64;

  Checksum();

  // Adds `length` bytes after those added so far; `bytes` may be null when
  // `length` is 0.
  void add(const char* bytes, std::size_t length);

  // The checksum of every byte added so far. Adding more bytes afterwards goes
  // on from where it was.
  std::uint64_t value() const;

 private:
  void add_stripes(const char* stripes, std::size_t count, std::uint64_t first);

  std::uint64_t accumulators_[8];
  // The first length_ % kStripeSize bytes are those of the stripe not yet
  // complete.
  char pending_[kStripeSize];
  std::uint64_t length_ = 0;
};

}  // namespace zibel
