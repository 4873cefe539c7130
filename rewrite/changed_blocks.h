// The blocks an edit that keeps the length changes, so that its commit writes
// only those, and its temporary file, where it shares the target's blocks,
// gets only those written. Whole blocks of the file system, so that every
// unchanged block stays shared; in a table of fixed size, past which every
// block from the first change that did not fit counts as changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zibel {

// Bytes [begin, end) of a file.
struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

class ChangedBlocks {
 public:
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::uint64_t kNone = UINT64_MAX;

  explicit ChangedBlocks(std::uint64_t block_size = 4096) : block_(block_size) {}

  // Takes note that the bytes [offset, offset + length) change. Notes come in
  // order of their offsets.
  void add(std::uint64_t offset, std::uint64_t length) {
    if (unrecorded_from_ != kNone || length == 0) return;
    const std::uint64_t begin = offset - offset % block_;
    const std::uint64_t end = (offset + length + block_ - 1) / block_ * block_;
    if (count_ > 0 && begin <= ranges_[count_ - 1].end) {
      if (end > ranges_[count_ - 1].end) ranges_[count_ - 1].end = end;
    } else if (count_ < kCapacity) {
      ranges_[count_++] = {begin, end};
    } else {
      unrecorded_from_ = begin;
    }
  }

  // The changed blocks noted, as ranges in order.
  std::span<const ByteRange> ranges() const { return {ranges_, count_}; }

  // Where the first change that did not fit the table starts, or kNone: from
  // there on every byte counts as changed.
  std::uint64_t unrecorded_from() const { return unrecorded_from_; }

 private:
  std::uint64_t block_;
  ByteRange ranges_[kCapacity];
  std::size_t count_ = 0;
  std::uint64_t unrecorded_from_ = kNone;
};

}  // namespace zibel
