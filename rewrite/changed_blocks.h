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

  // Calls write(from, to) for each part [from, to) of the bytes [offset, end)
  // that lies in the changed blocks noted so far, in order, and returns false
  // as soon as a call does. Calls come with offsets that only grow. The last
  // range may still grow at its end, as a later change in the block after it
  // is noted: what was passed is never visited again, but that range is.
  template <typename Write>
  bool each_changed(std::uint64_t offset, std::uint64_t end, Write write) {
    while (passed_ + 1 < count_ && ranges_[passed_].end <= offset) ++passed_;
    for (std::size_t i = passed_; i < count_ && ranges_[i].begin < end; ++i) {
      const std::uint64_t from = ranges_[i].begin > offset ? ranges_[i].begin : offset;
      const std::uint64_t to = ranges_[i].end < end ? ranges_[i].end : end;
      if (from < to && !write(from, to)) return false;
    }
    if (unrecorded_from_ >= end) return true;
    return write(unrecorded_from_ > offset ? unrecorded_from_ : offset, end);
  }

 private:
  std::uint64_t block_;
  ByteRange ranges_[kCapacity];
  std::size_t count_ = 0;
  std::size_t passed_ = 0;  // the ranges before it end before what each_changed was last given
  std::uint64_t unrecorded_from_ = kNone;
};

}  // namespace zibel
