// The substitution pass over strings in memory, and the plain result it must
// give: shared by the unit tests and the fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rewrite/substitution.h"

namespace zibel {

// The input from a string, handed out in reads of at most `read_size` bytes;
// the output into a string. Can be told to fail a read or a write.
class MemoryStreams final : public PassStreams {
 public:
  MemoryStreams(std::string input, std::size_t read_size)
      : input_(std::move(input)), read_size_(read_size) {}

  std::ptrdiff_t read(char* into, std::size_t capacity) override {
    if (read_position_ >= fail_read_at) return -1;
    const std::size_t count = std::min({capacity, read_size_, input_.size() - read_position_});
    input_.copy(into, count, read_position_);
    read_position_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }

  bool start_output(std::uint64_t prefix_length) override {
    if (output.has_value()) misuse = true;  // started twice
    if (fail_start) return false;
    output = input_.substr(
        0, static_cast<std::size_t>(std::min<std::uint64_t>(prefix_length, input_.size())));
    return true;
  }

  // Where the output may differ from the input: every byte outside is checked
  // to be written unchanged (old and new strings of one length only).
  void replaced(std::uint64_t offset, std::size_t length) override {
    if (!output.has_value() || offset < replaced_end)
      misuse = true;  // before the start, or not in order
    replaced_ranges.emplace_back(offset, length);
    replaced_end = offset + length;
  }

  bool write(const char* bytes, std::size_t length) override {
    if (!output.has_value()) {
      misuse = true;  // written before the start
      return false;
    }
    if (writes_left-- == 0) return false;
    output->append(bytes, length);
    return true;
  }

  std::optional<std::string> output;
  std::size_t fail_read_at = SIZE_MAX;
  bool fail_start = false;
  std::size_t writes_left = SIZE_MAX;
  bool misuse = false;  // the pass broke the order of the calls
  std::vector<std::pair<std::uint64_t, std::size_t>> replaced_ranges;
  std::uint64_t replaced_end = 0;

 private:
  std::string input_;
  std::size_t read_size_;
  std::size_t read_position_ = 0;
};

// What one pass over the whole input in memory gives; nothing when no
// occurrence lies before the first NUL byte.
inline std::optional<std::string> reference(const std::string& data, const std::string& old_string,
                                            const std::string& new_string) {
  const std::size_t search_end = std::min(data.find('\0'), data.size());
  std::string result;
  std::size_t position = 0;
  bool found = false;
  for (std::size_t at; (at = data.find(old_string, position)) != std::string::npos &&
                       at + old_string.size() <= search_end;) {
    result.append(data, position, at - position).append(new_string);
    position = at + old_string.size();
    found = true;
  }
  if (!found) return std::nullopt;
  return result.append(data, position);
}

}  // namespace zibel
