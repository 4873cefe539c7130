// The substitution pass: one pass from left to right over a stream of bytes,
// through fixed buffers, replacing each occurrence of the old string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zibel {

// Where the pass takes its input from and puts its output. The file-backed
// implementation reads the target and writes the temporary file; tests use
// memory.
class PassStreams {
 public:
  // Reads up to `capacity` bytes of input: returns how many, 0 at the end of
  // the input, or -1 on failure.
  virtual std::ptrdiff_t read(char* into, std::size_t capacity) = 0;

  // Called once, at the first occurrence, which starts `prefix_length` bytes
  // into the input: makes the output and fills it with those bytes unchanged.
  virtual bool start_output(std::uint64_t prefix_length) = 0;

  // Tells that the `length` bytes of input from `offset` on are replaced: an
  // occurrence, or a stretch whose every occurrence is replaced at once. Told
  // in order, after start_output, before the output that replaces them is
  // written; every byte not told of is written out unchanged.
  virtual void replaced(std::uint64_t offset, std::size_t length) = 0;

  // Appends bytes to the output.
  virtual bool write(const char* bytes, std::size_t length) = 0;

 protected:
  ~PassStreams() = default;
};

enum class PassResult { no_occurrence, replaced, read_failed, write_failed };

// The smallest work buffer the pass accepts for an old string of this length.
constexpr std::size_t minimum_work_buffer(std::size_t old_length) {
  return old_length + 1;
}

// Streams the input to the output with every occurrence of `old_string`
// replaced by `new_string`. Occurrences are matched byte for byte, leftmost
// first and never overlapping, and the new string is never searched again.
// Searching stops at the first NUL byte of the input; everything from there on
// is copied unchanged. Without an occurrence no output is made at all.
//
// `old_string` must not be empty nor hold a NUL byte; `work_buffer` must be at
// least minimum_work_buffer(old_string.size()) bytes; `output_buffer` must not
// be empty. The result on return is exactly what one pass over the whole input
// in memory would give, whatever the buffer sizes and read sizes.
PassResult substitute(PassStreams& streams, std::string_view old_string,
                      std::string_view new_string, std::span<char> work_buffer,
                      std::span<char> output_buffer);

}  // namespace zibel
