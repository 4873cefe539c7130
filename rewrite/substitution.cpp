#include "rewrite/substitution.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "rewrite/finder.h"
#include "rewrite/simd.h"

namespace zibel {
namespace {

// How many of the `length` bytes at `from`, whose first is `byte`, reach up to
// and include its last occurrence among them.
std::size_t through_last(const char* from, std::size_t length, char byte) {
  const simd::Vector wanted = simd::broadcast(byte);
  for (; length >= simd::kWidth; length -= simd::kWidth) {
    const std::uint32_t found =
        simd::bits(simd::equal(simd::load(from + length - simd::kWidth), wanted));
    if (found != 0) return length - simd::kWidth + static_cast<std::size_t>(std::bit_width(found));
  }
  while (from[length - 1] != byte) --length;
  return length;
}

// Gathers small pieces of output into large writes.
class OutputGather {
 public:
  OutputGather(PassStreams& streams, std::span<char> buffer) : streams_(streams), buffer_(buffer) {}

  bool put(const char* bytes, std::size_t length) {
    if (length > buffer_.size() - used_) {
      if (!flush()) return false;
      // A piece as large as the whole buffer goes out directly.
      if (length >= buffer_.size()) return streams_.write(bytes, length);
    }
    if (length > 0) std::memcpy(buffer_.data() + used_, bytes, length);
    used_ += length;
    return true;
  }

  // Appends bytes with every `from` byte turned into `to`.
  bool put_mapped(const char* bytes, std::size_t length, char from, char to) {
    const simd::Vector old_byte = simd::broadcast(from);
    const simd::Vector new_byte = simd::broadcast(to);
    while (length > 0) {
      if (used_ == buffer_.size() && !flush()) return false;
      const std::size_t piece = std::min(length, buffer_.size() - used_);
      char* out = buffer_.data() + used_;
      std::size_t i = 0;
      for (; i + simd::kWidth <= piece; i += simd::kWidth) {
        const simd::Vector in = simd::load(bytes + i);
        simd::store(out + i, simd::select(simd::equal(in, old_byte), new_byte, in));
      }
      for (; i < piece; ++i) out[i] = bytes[i] == from ? to : bytes[i];
      used_ += piece;
      bytes += piece;
      length -= piece;
    }
    return true;
  }

  // The longest new string that put_expanded takes: one store of a SIMD vector.
  static constexpr std::size_t kMaxExpansion = simd::kWidth;

  // Appends bytes with every `from` byte replaced by `to`, which is at most
  // kMaxExpansion bytes long, many input bytes at a time.
  bool put_expanded(const char* bytes, std::size_t length, char from, std::string_view to) {
    const simd::Vector old_byte = simd::broadcast(from);
    simd::Vector new_bytes{};
    if (!to.empty()) std::memcpy(&new_bytes, to.data(), to.size());
    std::size_t i = 0;
    if (buffer_.size() >= kStepRoom) {
      // Straight into the buffer, as many steps as fit at a time: the hot
      // loop keeps its place in locals, which the stores of bytes cannot
      // alias.
      while (length - i >= kStepReach) {
        if (buffer_.size() - used_ < kStepRoom && !flush()) return false;
        char* const start = buffer_.data() + used_;
        char* const last = buffer_.data() + buffer_.size() - kStepRoom;
        char* out = start;
        for (; length - i >= kStepReach && out <= last; i += kStep) {
          out += expand_step(bytes + i, out, old_byte, new_bytes, to.size());
        }
        used_ += static_cast<std::size_t>(out - start);
      }
    } else {
      // A buffer too small for a step: through one of the step's own.
      char staging[kStepRoom];
      for (; length - i >= kStepReach; i += kStep) {
        if (!put(staging, expand_step(bytes + i, staging, old_byte, new_bytes, to.size()))) {
          return false;
        }
      }
    }
    // The last bytes, too few for a step and what it reads past its end.
    for (const char* rest = bytes + i; rest < bytes + length;) {
      const auto left = static_cast<std::size_t>(bytes + length - rest);
      const auto* hit = static_cast<const char*>(std::memchr(rest, from, left));
      const std::size_t kept = hit == nullptr ? left : static_cast<std::size_t>(hit - rest);
      if (!put(rest, kept)) return false;
      if (hit == nullptr) break;
      if (!put(to.data(), to.size())) return false;
      rest = hit + 1;
    }
    return true;
  }

  bool flush() {
    if (used_ == 0) return true;
    const std::size_t pending = used_;
    used_ = 0;
    return streams_.write(buffer_.data(), pending);
  }

 private:
  // The input bytes one step of put_expanded takes: four SIMD vectors, so
  // that its loop over the replaced bytes ends, and is mispredicted, once for
  // every 64 bytes. Their hits are the bits of one 64-bit word.
  static constexpr std::size_t kStep = 4 * simd::kWidth;
  // What a step may write: every byte replaced by the longest new string, and
  // the stores of a copy past the end.
  static constexpr std::size_t kStepRoom = kStep * kMaxExpansion + kStep;
  // The input a step reads: its own bytes, and a copy from its last byte.
  static constexpr std::size_t kStepReach = 2 * kStep;

  // Copies a step's worth of bytes: more than are wanted, where later stores
  // overwrite the rest.
  static void copy_step(char* to, const char* from) {
    using simd::kWidth;
    simd::store(to, simd::load(from));
    simd::store(to + kWidth, simd::load(from + kWidth));
    simd::store(to + 2 * kWidth, simd::load(from + 2 * kWidth));
    simd::store(to + 3 * kWidth, simd::load(from + 3 * kWidth));
  }

  // Writes the kStep bytes at `in` to `out` with each `old_byte` replaced by
  // the first `new_length` bytes of `new_bytes`; returns the bytes made.
  // Each run of kept bytes and each new string is written whole, with stores
  // past its end that the next run or string overwrites.
  static std::size_t expand_step(const char* in, char* out, simd::Vector old_byte,
                                 simd::Vector new_bytes, std::size_t new_length) {
    using simd::kWidth;
    const simd::Mask first = simd::equal(simd::load(in), old_byte);
    const simd::Mask second = simd::equal(simd::load(in + kWidth), old_byte);
    const simd::Mask third = simd::equal(simd::load(in + 2 * kWidth), old_byte);
    const simd::Mask fourth = simd::equal(simd::load(in + 3 * kWidth), old_byte);
    if (!simd::any(first | second | third | fourth)) {
      copy_step(out, in);
      return kStep;
    }
    std::uint64_t hits = std::uint64_t{simd::bits(first)} |
                         std::uint64_t{simd::bits(second)} << kWidth |
                         std::uint64_t{simd::bits(third)} << 2 * kWidth |
                         std::uint64_t{simd::bits(fourth)} << 3 * kWidth;
    char* at = out;
    std::size_t kept = 0;  // the first byte of the step not yet written
    do {
      const auto hit = static_cast<std::size_t>(std::countr_zero(hits));
      hits &= hits - 1;
      copy_step(at, in + kept);
      at += hit - kept;
      simd::store(at, new_bytes);
      at += new_length;
      kept = hit + 1;
    } while (hits != 0);
    copy_step(at, in + kept);
    return static_cast<std::size_t>(at - out) + kStep - kept;
  }

  PassStreams& streams_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
};

// One run of the pass. The work buffer holds input from `buffer_offset_` on;
// every byte before `search_position_` has been dealt with: written out, or
// replaced within an occurrence, or (before the first occurrence) left for
// start_output to copy.
class Pass {
 public:
  Pass(PassStreams& streams, std::string_view old_string, std::string_view new_string,
       std::span<char> work_buffer, std::span<char> output_buffer)
      : streams_(streams),
        old_string_(old_string),
        new_string_(new_string),
        buffer_(work_buffer),
        output_(streams, output_buffer),
        finder_(old_string),
        maps_bytes_(old_string.size() == 1 && new_string.size() == 1),
        expands_bytes_(old_string.size() == 1 && new_string.size() != 1 &&
                       new_string.size() <= OutputGather::kMaxExpansion) {}

  PassResult run() {
    for (;;) {
      const std::ptrdiff_t count =
          streams_.read(buffer_.data() + length_, buffer_.size() - length_);
      if (count < 0) return PassResult::read_failed;
      take(static_cast<std::size_t>(count));
      if (searching_ && !replace_occurrences()) return PassResult::write_failed;
      if (!searching_ && !made_temporary_) return PassResult::no_occurrence;
      if (count == 0) return finish();
      if (!pass_on_final_bytes()) return PassResult::write_failed;
    }
  }

 private:
  // Counts `count` newly read bytes in, and ends the search region at the
  // first NUL among them.
  void take(std::size_t count) {
    search_end_ = length_ + count;
    if (searching_) {
      // The held bytes were looked at before; only the new ones can hold a NUL.
      const void* nul = std::memchr(buffer_.data() + length_, '\0', count);
      if (nul != nullptr) search_end_ = offset_in_buffer(static_cast<const char*>(nul));
    }
    length_ += count;
  }

  // Replaces every occurrence that lies wholly in the search region.
  bool replace_occurrences() {
    const char* const end = buffer_.data() + search_end_;
    for (const char* found;
         (found = finder_.find(buffer_.data() + search_position_, end)) != end;) {
      const std::size_t at = offset_in_buffer(found);
      if (!made_temporary_) {
        // Nothing has been written yet: the output starts with the whole input
        // before this first occurrence.
        if (!streams_.start_output(buffer_offset_ + at)) return false;
        made_temporary_ = true;
      } else if (!output_.put(buffer_.data() + search_position_, at - search_position_)) {
        return false;
      }
      if (maps_bytes_) {
        // One byte for another: the rest of the region is one translation,
        // whose changes end at the byte's last occurrence.
        streams_.replaced(buffer_offset_ + at,
                          through_last(found, search_end_ - at, old_string_[0]));
        if (!output_.put_mapped(found, search_end_ - at, old_string_[0], new_string_[0])) {
          return false;
        }
        search_position_ = search_end_;
        break;
      }
      if (expands_bytes_) {
        // One byte for a short string: the rest of the region is expanded
        // 64 bytes at a time, however often the byte comes.
        streams_.replaced(buffer_offset_ + at, search_end_ - at);
        if (!output_.put_expanded(found, search_end_ - at, old_string_[0], new_string_)) {
          return false;
        }
        search_position_ = search_end_;
        break;
      }
      streams_.replaced(buffer_offset_ + at, old_string_.size());
      if (!output_.put(new_string_.data(), new_string_.size())) return false;
      search_position_ = at + old_string_.size();
    }
    if (search_end_ < length_) searching_ = false;  // the first NUL ends all searching
    return true;
  }

  // Writes out the bytes that no later occurrence can reach and moves the
  // rest, the start of a possible occurrence, to the front of the buffer.
  bool pass_on_final_bytes() {
    const std::size_t held_back =
        searching_ ? std::min(old_string_.size() - 1, length_ - search_position_) : 0;
    const std::size_t final_end = length_ - held_back;  // no later occurrence reaches below it
    if (made_temporary_ &&
        !output_.put(buffer_.data() + search_position_, final_end - search_position_)) {
      return false;
    }
    std::memmove(buffer_.data(), buffer_.data() + final_end, held_back);
    buffer_offset_ += final_end;
    length_ = held_back;
    search_position_ = 0;
    return true;
  }

  // At the end of the input: writes the tail.
  PassResult finish() {
    if (!made_temporary_) return PassResult::no_occurrence;
    if (!output_.put(buffer_.data() + search_position_, length_ - search_position_) ||
        !output_.flush()) {
      return PassResult::write_failed;
    }
    return PassResult::replaced;
  }

  std::size_t offset_in_buffer(const char* p) const {
    return static_cast<std::size_t>(p - buffer_.data());
  }

  PassStreams& streams_;
  const std::string_view old_string_;
  const std::string_view new_string_;
  const std::span<char> buffer_;
  OutputGather output_;
  Finder finder_;
  const bool maps_bytes_;            // a one-byte old string and a one-byte new string
  const bool expands_bytes_;         // a one-byte old string and a new string of another length
  std::uint64_t buffer_offset_ = 0;  // input offset of the buffer's first byte
  std::size_t length_ = 0;           // bytes held in the buffer
  std::size_t search_end_ = 0;       // where the search region ends: the data or the first NUL
  std::size_t search_position_ = 0;
  bool made_temporary_ = false;
  bool searching_ = true;
};

}  // namespace

PassResult substitute(PassStreams& streams, std::string_view old_string,
                      std::string_view new_string, std::span<char> work_buffer,
                      std::span<char> output_buffer) {
  return Pass(streams, old_string, new_string, work_buffer, output_buffer).run();
}

}  // namespace zibel
