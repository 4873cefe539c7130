#include "rewrite/substitution.h"

#include <cstring>

namespace zibel {
namespace {

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

  bool flush() {
    if (used_ == 0) return true;
    const std::size_t pending = used_;
    used_ = 0;
    return streams_.write(buffer_.data(), pending);
  }

 private:
  PassStreams& streams_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
};

// The leftmost occurrence of `pattern` that lies wholly inside [from, to), or
// `to` when there is none.
const char* find_occurrence(const char* from, const char* to, std::string_view pattern) {
  const std::size_t rest = pattern.size() - 1;
  while (static_cast<std::size_t>(to - from) >= pattern.size()) {
    const auto* candidate = static_cast<const char*>(
        std::memchr(from, pattern.front(), static_cast<std::size_t>(to - from) - rest));
    if (candidate == nullptr) return to;
    if (std::memcmp(candidate + 1, pattern.data() + 1, rest) == 0) return candidate;
    from = candidate + 1;
  }
  return to;
}

}  // namespace

PassResult substitute(PassStreams& streams, std::string_view old_string,
                      std::string_view new_string, std::span<char> work_buffer,
                      std::span<char> output_buffer) {
  OutputGather output(streams, output_buffer);
  char* const buffer = work_buffer.data();
  std::uint64_t buffer_offset = 0;  // input offset of buffer[0]
  std::size_t length = 0;           // bytes held in the buffer
  std::size_t search_position = 0;  // every byte before it has been dealt with
  bool made_temporary = false;
  bool searching = true;  // false once the first NUL byte has been reached

  for (;;) {
    const std::ptrdiff_t count = streams.read(buffer + length, work_buffer.size() - length);
    if (count < 0) return PassResult::read_failed;
    std::size_t search_end = length + static_cast<std::size_t>(count);
    if (searching) {
      // The held bytes were searched for a NUL already; only the new ones need it.
      const void* nul = std::memchr(buffer + length, '\0', static_cast<std::size_t>(count));
      if (nul != nullptr)
        search_end = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer);
    }
    length += static_cast<std::size_t>(count);

    while (searching) {
      const char* found =
          find_occurrence(buffer + search_position, buffer + search_end, old_string);
      if (found == buffer + search_end) break;
      const auto at = static_cast<std::size_t>(found - buffer);
      if (!made_temporary) {
        // Nothing has been written yet: the output starts with the whole input
        // before this first occurrence.
        if (!streams.start_output(buffer_offset + at)) return PassResult::write_failed;
        made_temporary = true;
      } else if (!output.put(buffer + search_position, at - search_position)) {
        return PassResult::write_failed;
      }
      if (!output.put(new_string.data(), new_string.size())) return PassResult::write_failed;
      search_position = at + old_string.size();
    }
    if (search_end < length) searching = false;
    if (!searching && !made_temporary) return PassResult::no_occurrence;
    if (count == 0) break;

    // Hold back the bytes that may begin an occurrence that the next read completes.
    const std::size_t held_back =
        searching ? std::min(old_string.size() - 1, length - search_position) : 0;
    const std::size_t done = length - held_back;
    if (made_temporary && !output.put(buffer + search_position, done - search_position)) {
      return PassResult::write_failed;
    }
    std::memmove(buffer, buffer + done, held_back);
    buffer_offset += done;
    length = held_back;
    search_position = 0;
  }

  if (!made_temporary) return PassResult::no_occurrence;
  if (!output.put(buffer + search_position, length - search_position) || !output.flush()) {
    return PassResult::write_failed;
  }
  return PassResult::replaced;
}

}  // namespace zibel
